#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "vek_memory.h"
#include "vek_test_engines.h"
#include "vek_test_ops.h"
#include "vek_test_support.h"

namespace {

struct SampleType {
  const VEK_DataType* type;
  uint16_t bits;
};

}  // namespace

TEST(MemoryEndPoints, RoundTripForEverySampleType) {
  const SampleType types[] = {{VEK_DataType::u_integer, 8},  {VEK_DataType::s_integer, 8},
                              {VEK_DataType::u_integer, 16}, {VEK_DataType::s_integer, 16},
                              {VEK_DataType::u_integer, 32}, {VEK_DataType::s_integer, 32},
                              {VEK_DataType::floating, 32},  {VEK_DataType::floating, 64}};
  for (const SampleType& t : types) {
    for (uint16_t channels : {1, 3}) {
      VEK_TestManager m;
      VEK_Header h(&m);
      make(h, 17, 5, t.bits, channels, t.type);
      const uint32_t bytes = h.line_bytes() * 5;
      const std::vector<uint8_t> in = random_bytes(bytes, t.bits * 10 + channels);
      std::vector<uint8_t> out(bytes, 0);
      uint32_t read = 0, written = 0;
      VEK_ReadMemory reader(&m);
      VEK_WriteMemory writer(&m);
      VEK_RewriteHeader pass(&m);
      VEK_Engine* e = pass.engine(reader.engine(h, in.data(), bytes, &read), &h);
      VEK_Engine* sink = writer.engine(e, out.data(), bytes, &written);
      ASSERT_NE(sink, nullptr);
      run(sink);
      VEK_Status st(&m);
      EXPECT_TRUE(m.status(st)) << st.method();
      EXPECT_EQ(out, in) << t.bits << " bits, " << channels << " channels";
      EXPECT_EQ(read, bytes);
      EXPECT_EQ(written, bytes);
      EXPECT_EQ(m.memory_manager().live(), 3u);
    }
  }
}

TEST(MemoryEndPoints, OneBitLinesKeepTheirUnusedBitsClear) {
  VEK_TestManager m;
  VEK_Header h(&m);
  make(h, 10, 4, 1, 1, VEK_DataType::u_integer);
  ASSERT_EQ(h.line_bytes(), 2u);
  const std::vector<uint8_t> in(8, 0xFF);
  std::vector<uint8_t> out(8, 0x55);
  VEK_ReadMemory reader(&m);
  VEK_WriteMemory writer(&m);
  VEK_RewriteHeader pass(&m);
  run(writer.engine(pass.engine(reader.engine(h, in.data(), 8), &h), out.data(), 8));
  EXPECT_EQ(out, std::vector<uint8_t>({0xFF, 0xC0, 0xFF, 0xC0, 0xFF, 0xC0, 0xFF, 0xC0}));
  VEK_Status st(&m);
  EXPECT_TRUE(m.status(st));
}

namespace {
std::vector<uint8_t>* g_second_block = nullptr;
std::vector<uint32_t> g_counts;
bool hand_out_second(VEK_WriteMemoryCallbackInfo* info) {
  g_counts.push_back(info->count);
  if (g_second_block == nullptr) return false;
  info->pointer = g_second_block->data();
  info->size = uint32_t(g_second_block->size());
  g_second_block = nullptr;
  return true;
}
bool empty_block(VEK_WriteMemoryCallbackInfo* info) {
  info->size = 0;
  return true;
}
}  // namespace

TEST(MemoryEndPoints, WriteMemoryContinuesInTheCallersNextBlock) {
  VEK_TestManager m;
  VEK_Header h(&m);
  make(h, 150, 2, 8, 1, VEK_DataType::u_integer);
  TestFamily family(&m);
  std::vector<uint8_t> first(100), second(200);
  g_second_block = &second;
  g_counts.clear();
  uint32_t counter = 0;
  VEK_WriteMemory writer(&m);
  VEK_Engine* sink = writer.engine(family.pattern(h), first.data(), 100, &counter, hand_out_second);
  ASSERT_NE(sink, nullptr);
  ASSERT_TRUE(sink->execute());
  EXPECT_EQ(g_counts, std::vector<uint32_t>{1});
  EXPECT_EQ(counter, 150u);
  ASSERT_TRUE(sink->execute());
  EXPECT_EQ(counter, 300u);
  EXPECT_FALSE(sink->execute());
  const std::vector<uint8_t> expected = expected_pattern(150, 2);
  EXPECT_TRUE(std::equal(first.begin(), first.end(), expected.begin()));
  EXPECT_TRUE(std::equal(second.begin(), second.end(), expected.begin() + 100));
  VEK_Status st(&m);
  EXPECT_TRUE(m.status(st));

  // Memory running out is reported; a callback that hands out nothing likewise.
  std::vector<uint8_t> small(100);
  run(VEK_WriteMemory(&m).engine(family.pattern(h), small.data(), 100, nullptr, hand_out_second));
  EXPECT_EQ(m.status().full_code(), 0x80020000u);
  EXPECT_EQ(m.status().line(), 154u);
  m.clear();
  run(VEK_WriteMemory(&m).engine(family.pattern(h), small.data(), 100, nullptr, empty_block));
  EXPECT_EQ(m.status().line(), 146u);
  m.clear();
  EXPECT_EQ(m.memory_manager().live(), 3u);
}

TEST(MemoryEndPoints, ShortCallerMemoryIsReportedAndNothingWritten) {
  VEK_TestManager m;
  VEK_Header h(&m);
  make(h, 16, 4, 8, 1, VEK_DataType::u_integer);
  TestFamily family(&m);
  std::vector<uint8_t> out(63, 0xEE);
  VEK_WriteRawByteArray writer(&m);
  run(writer.engine(family.pattern(h), out.data(), 63));
  EXPECT_EQ(m.status().full_code(), 0x80020000u);
  EXPECT_STREQ(m.status().method(), "VEK_WriteRawByteArrayEngine::execute()");
  EXPECT_EQ(m.status().line(), 146u);
  EXPECT_EQ(out, std::vector<uint8_t>(63, 0xEE));
  VEK_Status st(&m);
  EXPECT_FALSE(m.status(st));

  // The same in line mode (1-bit, masked) stops before the line that does not fit.
  VEK_Header bits(&m);
  make(bits, 10, 4, 1, 1, VEK_DataType::u_integer);
  std::vector<uint8_t> seven(7, 0);
  run(writer.engine(family.pattern(bits), seven.data(), 7));
  EXPECT_EQ(m.status().line(), 119u);
  EXPECT_EQ(seven[6], 0);
  m.clear();
}

TEST(MemoryEndPoints, ByteArrayReaderServesTheArrayItself) {
  VEK_TestManager m;
  VEK_Header h(&m);
  make(h, 12, 3, 8, 1, VEK_DataType::u_integer);
  const std::vector<uint8_t> in = random_bytes(36, 5);
  uint32_t counter = 0;
  VEK_ReadByteArray reader(&m);
  VEK_Engine* source = reader.engine(h, in.data(), 36, &counter);
  ASSERT_NE(source, nullptr);
  EXPECT_FALSE(source->execute());
  EXPECT_EQ(m.status().line(), 35u);
  m.clear();
  VEK_Engine* source2 = reader.engine(h, in.data(), 36, &counter);
  TestFamily family(&m);
  std::vector<uint8_t> out;
  run(family.collect(source2, &out));
  EXPECT_EQ(out, in);
  EXPECT_EQ(counter, 36u);
  EXPECT_EQ(m.status().full_code(), 0u);
  auto* buffer = static_cast<VEK_BufferOutputEngine*>(source2)->dst_buffer();
  EXPECT_FALSE(buffer->src_block_bytes(6));
  EXPECT_EQ(m.status().line(), 107u);
  m.clear();

  // One byte short: the last line is refused with a report.
  VEK_Engine* shorter = reader.engine(h, in.data(), 35);
  out.clear();
  run(family.collect(shorter, &out));
  EXPECT_EQ(out.size(), 24u);
  EXPECT_EQ(m.status().full_code(), 0x80400000u);
  EXPECT_EQ(m.status().line(), 159u);
  m.clear();
  EXPECT_EQ(m.memory_manager().live(), 3u);
}

namespace {
const std::vector<uint8_t>* g_read_blocks = nullptr;
size_t g_read_next = 0;
bool next_read_block(VEK_ReadMemoryCallbackInfo* info) {
  if (g_read_next >= 3) return false;
  info->pointer = const_cast<uint8_t*>(g_read_blocks->data() + 10 * g_read_next);
  info->size = 10;
  ++g_read_next;
  return true;
}
}  // namespace

TEST(MemoryEndPoints, ReadMemoryGathersCallerBlocks) {
  VEK_TestManager m;
  VEK_Header h(&m);
  make(h, 7, 6, 8, 1, VEK_DataType::u_integer);  // 42 bytes: 12 given first, 30 by callback
  const std::vector<uint8_t> in = random_bytes(42, 9);
  const std::vector<uint8_t> rest(in.begin() + 12, in.end());
  g_read_blocks = &rest;
  g_read_next = 0;
  uint32_t counter = 0;
  VEK_ReadMemory reader(&m);
  TestFamily family(&m);
  std::vector<uint8_t> out;
  run(family.collect(reader.engine(h, in.data(), 12, &counter, next_read_block), &out));
  EXPECT_EQ(out, in);
  EXPECT_EQ(counter, 42u);
  VEK_Status st(&m);
  EXPECT_TRUE(m.status(st));

  // Running dry inside a raw image is invalid data.
  g_read_next = 1;
  out.clear();
  run(family.collect(reader.engine(h, in.data(), 12, nullptr, next_read_block), &out));
  EXPECT_EQ(m.status().full_code(), 0x80400000u);
  EXPECT_EQ(m.status().line(), 145u);
  m.clear();
}

TEST(MemoryEndPoints, EncodedStreamsMoveInWorkflowBlocks) {
  VEK_TestManager m;
  VEK_Header h(&m);
  make(h, 100, 100, 1, 1, VEK_DataType::u_integer);
  h.encode_type(VEK_EncodeType_qk_rle::instance());
  const std::vector<uint8_t> stream = random_bytes(10000, 3);
  std::vector<uint8_t> out(10000, 0);
  uint32_t written = 0;
  VEK_ReadMemory reader(&m);
  VEK_WriteMemory writer(&m);
  VEK_RewriteHeader pass(&m);
  VEK_Engine* e = pass.engine(reader.engine(h, stream.data(), 10000), &h);
  run(writer.engine(e, out.data(), 10000, &written, hand_out_second));
  EXPECT_EQ(written, 10000u);
  EXPECT_EQ(out, stream);
  VEK_Status st(&m);
  EXPECT_TRUE(m.status(st)) << st.method() << " " << st.line();
}

TEST(MemoryEndPoints, EveryRefusedAllocationLeavesNoLeak) {
  for (uint64_t n = 1; n < 60; ++n) {
    VEK_TestManager m;
    VEK_Header h(&m);
    make(h, 9, 4, 16, 1, VEK_DataType::u_integer);
    const std::vector<uint8_t> in = random_bytes(72, 1);
    std::vector<uint8_t> out(72);
    m.memory_manager().fail_nth(n);
    VEK_ReadMemory reader(&m);
    VEK_WriteMemory writer(&m);
    VEK_RewriteHeader pass(&m);
    run(writer.engine(pass.engine(reader.engine(h, in.data(), 72), &h), out.data(), 72));
    VEK_Status st(&m);
    if (m.status(st)) {
      EXPECT_EQ(out, in) << n;
    }
    EXPECT_EQ(m.memory_manager().live(), 3u) << "refusing allocation " << n;
  }
}
