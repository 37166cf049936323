#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "vek_buffer.h"
#include "vek_test_support.h"

namespace {

// A block buffer driven by hand: this test plays the writer; the buffer is its own front,
// so pulls find no engine and deliver only what was written.
struct Rig {
  VEK_TestManager m;
  VEK_STBlockDstBuffer* buffer = nullptr;

  Rig(uint32_t total, uint32_t w) {
    buffer = vek_new<VEK_STBlockDstBuffer>(&m);
    EXPECT_TRUE(buffer->initiate(total));
    buffer->created(true);
    EXPECT_TRUE(buffer->block_bytes(w));
    EXPECT_TRUE(buffer->front(buffer));
  }
  ~Rig() {
    buffer->destroy();
    // Readers depend on the buffer: it goes with the last of them.
  }
  VEK_SrcBuffer* reader(uint32_t r) {
    VEK_SrcBuffer* s = buffer->create_src_buffer(buffer);
    EXPECT_NE(s, nullptr);
    EXPECT_TRUE(s->block_bytes(r));
    return s;
  }
  void write(uint32_t n, uint8_t value) {
    void* p = buffer->get();
    ASSERT_NE(p, nullptr);
    std::memset(p, value, n);
    ASSERT_TRUE(buffer->release(n));
  }
};

}  // namespace

TEST(BlockBuffer, MemoryBlockHoldsAWriteBlockAndIsAMultipleOfTheReadBlock) {
  Rig a(100000, 4096);
  VEK_SrcBuffer* ra = a.reader(1000);
  a.write(4096, 1);
  EXPECT_EQ(a.buffer->memory_block_bytes(), 5000u);
  ra->destroy();

  Rig b(100000, 8192);
  VEK_SrcBuffer* rb = b.reader(4096);
  b.write(10, 1);
  EXPECT_EQ(b.buffer->memory_block_bytes(), 12288u);
  rb->destroy();

  Rig c(1000, 100);
  VEK_SrcBuffer* rc = c.reader(300);
  c.write(100, 1);
  EXPECT_EQ(c.buffer->memory_block_bytes(), 300u);
  rc->destroy();
}

TEST(BlockBuffer, WriteCrossingBlocksGoesThroughTheSpillBlock) {
  Rig rig(1000, 150);
  VEK_SrcBuffer* r = rig.reader(100);
  rig.write(150, 0xAA);
  rig.write(150, 0xBB);
  ASSERT_EQ(rig.buffer->memory_block_bytes(), 200u);
  ASSERT_EQ(rig.buffer->block_count(), 2u);
  const uint8_t* b0 = rig.buffer->block(0)->data;
  const uint8_t* b1 = rig.buffer->block(1)->data;
  for (int i = 0; i < 150; ++i) ASSERT_EQ(b0[i], 0xAA);
  for (int i = 150; i < 200; ++i) ASSERT_EQ(b0[i], 0xBB);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(b1[i], 0xBB);
  // The reader sees the stream in order.
  uint8_t line[100];
  uint32_t got = 0;
  ASSERT_TRUE(r->get(line, &got));
  EXPECT_EQ(line[99], 0xAA);
  ASSERT_TRUE(r->get(line, &got));
  EXPECT_EQ(line[49], 0xAA);
  EXPECT_EQ(line[50], 0xBB);
  r->destroy();
}

TEST(BlockBuffer, OneBlockKeptAndTheCacheReusedWhenReadsFollowWrites) {
  Rig rig(10000, 100);
  VEK_SrcBuffer* r = rig.reader(100);
  uint64_t before = 0;
  for (int line = 0; line < 50; ++line) {
    if (line == 1) before = rig.m.memory_manager().allocations();
    rig.write(100, uint8_t(line));
    uint32_t got = 0;
    const uint8_t* p = static_cast<const uint8_t*>(r->get(&got));
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(got, 100u);
    ASSERT_EQ(p[0], uint8_t(line));
    ASSERT_LE(rig.buffer->block_count(), 1u);
    ASSERT_TRUE(r->release());
    ASSERT_EQ(rig.buffer->block_count(), 0u);
  }
  // Every block after the first came from the cache.
  EXPECT_EQ(rig.m.memory_manager().allocations() - before, 0u);
  r->destroy();
}

TEST(BlockBuffer, TwoReadersFreeOnlyBelowTheSmallerReleasedOffset) {
  Rig rig(10000, 100);
  VEK_Vector<VEK_SrcBuffer*> readers = rig.buffer->create_src_buffer(rig.buffer, 2);
  ASSERT_EQ(readers.size(), 2u);
  ASSERT_TRUE(readers[0]->block_bytes(100));
  for (int i = 0; i < 4; ++i) rig.write(100, uint8_t(i));
  uint8_t line[100];
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(readers[0]->get(line, nullptr));
    ASSERT_TRUE(readers[0]->release());
  }
  ASSERT_TRUE(readers[1]->get(line, nullptr));
  EXPECT_EQ(line[0], 0);
  ASSERT_TRUE(readers[1]->release());
  EXPECT_EQ(rig.buffer->base(), 100u);
  EXPECT_EQ(rig.buffer->block_count(), 3u);
  ASSERT_TRUE(readers[1]->get(line, nullptr));
  EXPECT_EQ(line[0], 1);
  ASSERT_TRUE(readers[1]->release());
  EXPECT_EQ(rig.buffer->base(), 200u);
  readers[0]->destroy();
  readers[1]->destroy();
}

TEST(BlockBuffer, EndOfImageAndShortLastBlock) {
  Rig rig(250, 100);
  VEK_SrcBuffer* r = rig.reader(100);
  rig.write(100, 1);
  rig.write(100, 2);
  rig.write(50, 3);
  uint8_t line[100];
  uint32_t got = 0;
  ASSERT_TRUE(r->get(line, &got));
  ASSERT_TRUE(r->get(line, &got));
  ASSERT_TRUE(r->get(line, &got));
  EXPECT_EQ(got, 50u);
  EXPECT_EQ(line[49], 3);
  EXPECT_FALSE(r->get(line, &got));  // at the end: nothing
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(r->get(&got), nullptr);
  r->destroy();

  Rig short_rig(250, 100);
  VEK_SrcBuffer* s = short_rig.reader(100);
  short_rig.write(100, 1);
  short_rig.write(100, 2);
  short_rig.write(50, 3);
  ASSERT_TRUE(s->get(line, nullptr));
  ASSERT_TRUE(s->get(line, nullptr));
  EXPECT_FALSE(s->get(line, nullptr));  // without a count a short block is a failure
  EXPECT_EQ(short_rig.m.status().full_code(), 0u);
  s->destroy();
}

// A read that lends its memory and gets nothing must take that memory back: the writer's
// next block may not land in it.
TEST(BlockBuffer, FailedDirectReadKeepsNoHoldOnTheReadersMemory) {
  Rig rig(300, 100);
  VEK_SrcBuffer* r = rig.reader(100);
  uint32_t got = 0;
  auto* lent = new std::vector<uint8_t>(100, 0xEE);
  EXPECT_FALSE(r->get(lent->data(), &got));  // nothing written yet
  EXPECT_EQ(rig.buffer->block_count(), 0u);
  delete lent;
  rig.write(100, 7);
  uint8_t line[100];
  ASSERT_TRUE(r->get(line, &got));
  EXPECT_EQ(got, 100u);
  EXPECT_EQ(line[99], 7);
  ASSERT_TRUE(r->release());
  r->destroy();
}

TEST(BlockBuffer, StateErrorsAreReportedWithTheirLines) {
  Rig rig(1000, 100);
  VEK_SrcBuffer* r = rig.reader(100);
  ASSERT_NE(rig.buffer->get(), nullptr);
  EXPECT_EQ(rig.buffer->get(), nullptr);
  EXPECT_EQ(rig.m.status().full_code(), 0x80080000u);
  EXPECT_STREQ(rig.m.status().method(), "VEK_STBlockDstBuffer::get()");
  EXPECT_STREQ(rig.m.status().file(), "vek_stblockdstbuffer.cpp");
  EXPECT_EQ(rig.m.status().line(), 59u);
  rig.m.clear();
  ASSERT_TRUE(rig.buffer->release(100));
  EXPECT_FALSE(rig.buffer->release(100));
  EXPECT_EQ(rig.m.status().line(), 143u);
  rig.m.clear();
  EXPECT_FALSE(rig.buffer->block_bytes(50));  // started already
  EXPECT_EQ(rig.m.status().line(), 69u);
  rig.m.clear();
  EXPECT_FALSE(r->release());
  EXPECT_STREQ(rig.m.status().method(), "VEK_SrcBufferImpl::release()");
  EXPECT_EQ(rig.m.status().line(), 137u);
  rig.m.clear();
  uint8_t line[100];
  ASSERT_TRUE(r->get(line, nullptr));
  EXPECT_FALSE(r->block_bytes(50));
  EXPECT_EQ(rig.m.status().line(), 38u);
  rig.m.clear();
  EXPECT_EQ(rig.buffer->create_src_buffer(rig.buffer), nullptr);
  EXPECT_EQ(rig.m.status().line(), 36u);
  rig.m.clear();
  // A writer committing more than its block would write past the memory it was given.
  ASSERT_NE(rig.buffer->get(), nullptr);
  EXPECT_FALSE(rig.buffer->release(101));
  EXPECT_EQ(rig.m.status().code(), 0x80800000u);
  r->destroy();
}

TEST(BlockBuffer, BlockSizeLimitsAndProxyAttach) {
  VEK_TestManager m;
  VEK_STBlockDstBuffer* real = vek_new<VEK_STBlockDstBuffer>(&m);
  ASSERT_TRUE(real->initiate(500));
  real->created(true);
  EXPECT_FALSE(real->block_bytes(501));
  EXPECT_EQ(m.status().line(), 75u);
  m.clear();

  VEK_DstBufferProxy* proxy = vek_new<VEK_DstBufferProxy>(&m);
  proxy->created(true);
  EXPECT_FALSE(proxy->block_bytes(0));
  EXPECT_EQ(m.status().line(), 80u);
  m.clear();
  ASSERT_TRUE(proxy->block_bytes(50));
  EXPECT_FALSE(proxy->attach(nullptr));
  EXPECT_EQ(proxy->real(), nullptr);
  EXPECT_EQ(proxy->block_bytes(), 50u);
  ASSERT_TRUE(proxy->attach(real));
  EXPECT_EQ(real->block_bytes(), 50u);
  proxy->destroy();  // takes the real buffer with it
  EXPECT_EQ(m.status().full_code(), 0u);
}
