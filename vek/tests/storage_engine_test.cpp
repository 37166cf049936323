#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "vek_combinedstorage.h"
#include "vek_memory.h"
#include "vek_storageengine.h"
#include "vek_test_engines.h"
#include "vek_test_support.h"

namespace {

std::vector<uint8_t> counting(size_t n, uint8_t from = 0) {
  std::vector<uint8_t> v(n);
  std::iota(v.begin(), v.end(), from);
  return v;
}

// A sink that hands each line to a ring buffer and records the window after every advance.
class RingProbe : public VEK_NoOutputEngine, public VEK_BufferInputEngine {
 public:
  explicit RingProbe(VEK_Manager* m) : VEK_NoOutputEngine(m), VEK_BufferInputEngine(m) {}
  using VEK_NoOutputEngine::src_buffer;
  bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_KernelAttr kernel,
                std::vector<std::vector<uint8_t>>* windows) {
    if (!VEK_BufferInputEngine::initiate(header, source)) return false;
    windows_ = windows;
    ring_ = VEK_RingBuffer::create(manager_, source, header, kernel);
    height_ = kernel.height;
    return ring_ != nullptr;
  }
  bool execute() override {
    if (calls_++ >= 6 || !ring_->advance()) return false;
    std::vector<uint8_t> window;
    for (uint32_t i = 0; i < height_; ++i)
      window.insert(window.end(), ring_->lines()[i], ring_->lines()[i] + ring_->line_stride());
    windows_->push_back(window);
    return true;
  }
  bool terminate() override {
    vek_destroy(ring_);
    return VEK_BufferInputEngine::terminate(created_);
  }

 private:
  VEK_RingBuffer* ring_ = nullptr;
  std::vector<std::vector<uint8_t>>* windows_ = nullptr;
  uint32_t height_ = 0, calls_ = 0;
};

class RingFamily : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* probe(VEK_Engine* source, VEK_KernelAttr k, std::vector<std::vector<uint8_t>>* w) {
    return create_sink<RingProbe>(source, k, w);
  }
};

}  // namespace

TEST(RingBuffer, VerticalWindowRepeatsTheEdgeLines) {
  VEK_TestManager m;
  VEK_Header h(&m);
  make(h, 4, 3, 8);
  const std::vector<uint8_t> image = counting(12, 10);  // lines 10..13, 14..17, 18..21
  std::vector<std::vector<uint8_t>> windows;
  RingFamily rings(&m);
  run(rings.probe(VEK_ReadMemory(&m).engine(h, image.data(), 12), VEK_KernelAttr(1, 3, 0, 1), &windows));
  ASSERT_GE(windows.size(), 4u);
  auto line = [&](int y) { return std::vector<uint8_t>(image.begin() + 4 * y, image.begin() + 4 * y + 4); };
  auto entry = [&](size_t call, int e) {
    return std::vector<uint8_t>(windows[call].begin() + 4 * e, windows[call].begin() + 4 * e + 4);
  };
  EXPECT_EQ(entry(0, 0), line(0));
  EXPECT_EQ(entry(0, 1), line(0));
  EXPECT_EQ(entry(0, 2), line(1));
  EXPECT_EQ(entry(1, 1), line(1));
  EXPECT_EQ(entry(2, 2), line(2));
  EXPECT_EQ(entry(3, 1), line(2));
  EXPECT_EQ(entry(3, 2), line(2));  // past the image: the last line again
  VEK_Status st(&m);
  EXPECT_TRUE(m.status(st));
  EXPECT_EQ(m.memory_manager().live(), 3u);
}

TEST(RingBuffer, HorizontalMarginsDoubleWholeEdgePixels) {
  VEK_TestManager m;
  VEK_Header gray(&m);
  make(gray, 3, 1, 8);
  const std::vector<uint8_t> g = {5, 6, 7};
  std::vector<std::vector<uint8_t>> windows;
  RingFamily rings(&m);
  run(rings.probe(VEK_ReadMemory(&m).engine(gray, g.data(), 3), VEK_KernelAttr(3, 3, 1, 1), &windows));
  ASSERT_GE(windows.size(), 2u);
  EXPECT_EQ(windows[0], std::vector<uint8_t>({5, 5, 6, 7, 7, 5, 5, 6, 7, 7, 5, 5, 6, 7, 7}));
  EXPECT_EQ(windows[1], windows[0]);  // one line: it fills every entry, for good

  VEK_Header rgb(&m);
  make(rgb, 2, 1, 8, 3);
  rgb.color_type(VEK_ColorType_s_rgb::instance());
  const std::vector<uint8_t> c = {1, 2, 3, 4, 5, 6};
  windows.clear();
  run(rings.probe(VEK_ReadMemory(&m).engine(rgb, c.data(), 6), VEK_KernelAttr(3, 1, 1, 0), &windows));
  ASSERT_GE(windows.size(), 1u);
  EXPECT_EQ(windows[0], std::vector<uint8_t>({1, 2, 3, 1, 2, 3, 4, 5, 6, 4, 5, 6}));
  VEK_Status st(&m);
  EXPECT_TRUE(m.status(st));

  VEK_Header one_bit(&m);
  make(one_bit, 8, 1, 1);
  const uint8_t b = 0xAA;
  EXPECT_EQ(rings.probe(VEK_ReadMemory(&m).engine(one_bit, &b, 1), VEK_KernelAttr(1, 1), &windows), nullptr);
  EXPECT_EQ(m.status().full_code(), 0x81000000u);
  EXPECT_EQ(m.status().line(), 78u);
  m.clear();
  EXPECT_EQ(rings.probe(VEK_ReadMemory(&m).engine(gray, g.data(), 3), VEK_KernelAttr(3, 1, 3, 0), &windows), nullptr);
  EXPECT_EQ(m.status().line(), 58u);
  m.clear();
  EXPECT_EQ(m.memory_manager().live(), 3u);
}

TEST(StorageEngines, ReadsBigEndianLinesWithOffsetAndGap) {
  VEK_TestManager m;
  // 10 bytes of preamble, then two 6-byte lines of three big-endian 16-bit samples, 2 bytes apart.
  std::vector<uint8_t> file(10, 0xEE);
  const std::vector<uint8_t> line0 = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06}, line1 = {0x11, 0x12, 0x13, 0x14, 0x15, 0x16};
  file.insert(file.end(), line0.begin(), line0.end());
  file.insert(file.end(), {0xEE, 0xEE});
  file.insert(file.end(), line1.begin(), line1.end());
  VEK_ByteArrayInputStorage* in = vek_create<VEK_ByteArrayInputStorage>(&m, file.data(), int32_t(file.size()));
  VEK_Header h(&m);
  make(h, 3, 2, 16);
  VEK_Engine* reader = VEK_ReadStorage(&m).engine(in, h, 10, 2, 0);
  ASSERT_NE(reader, nullptr);
  std::vector<uint8_t> out;
  VEK_Engine* sink = TestFamily(&m).collect(reader, &out);
  run(sink);
  EXPECT_EQ(out, std::vector<uint8_t>({0x02, 0x01, 0x04, 0x03, 0x06, 0x05, 0x12, 0x11, 0x14, 0x13, 0x16, 0x15}));
  VEK_Status st(&m);
  EXPECT_TRUE(m.status(st));

  // A storage that ends inside the second line.
  VEK_ByteArrayInputStorage* shorter = vek_create<VEK_ByteArrayInputStorage>(&m, file.data(), int32_t(file.size() - 1));
  out.clear();
  run(TestFamily(&m).collect(VEK_ReadStorage(&m).engine(shorter, h, 10, 2, 0), &out));
  EXPECT_EQ(out.size(), 6u);
  EXPECT_EQ(m.status().full_code(), 0x80400000u);
  EXPECT_EQ(m.status().line(), 123u);
  m.clear();

  // An offset past the end of the storage: nothing there to read, for encoded data too.
  VEK_Header encoded(&m);
  make(encoded, 3, 2, 8);
  encoded.encode_type(VEK_EncodeType_qk_rle::instance());
  EXPECT_EQ(VEK_ReadStorage(&m).engine(in, encoded, int32_t(file.size()) + 5), nullptr);
  EXPECT_REPORT(m, 0x80400000u, "VEK_ReadStorageEngine::initiate()", 72u);
  in->destroy();
  shorter->destroy();
  EXPECT_EQ(m.memory_manager().live(), 3u);
}

TEST(StorageEngines, WritesWithOffsetPadGapAndMask) {
  VEK_TestManager m;
  VEK_Header h(&m);
  make(h, 3, 2, 8);
  VEK_MemoryOutputStorage* out = VEK_MemoryOutputStorage::create(&m, 16);
  TestFamily family(&m);
  run(VEK_WriteStorage(&m).engine(family.pattern(h), out, 100, 2, 3));
  VEK_InputStorage* back = out->create_input_storage();
  std::vector<uint8_t> bytes(back->size());
  back->read(bytes.data(), int32_t(bytes.size()));
  const auto p = expected_pattern(3, 2);
  std::vector<uint8_t> expected(100, 0);
  expected.insert(expected.end(), p.begin(), p.begin() + 3);
  expected.insert(expected.end(), {0, 0, 0, 0, 0});
  expected.insert(expected.end(), p.begin() + 3, p.end());
  expected.insert(expected.end(), {0, 0});
  EXPECT_EQ(bytes, expected);

  VEK_Header bits(&m);
  make(bits, 10, 2, 1);
  VEK_MemoryOutputStorage* out1 = VEK_MemoryOutputStorage::create(&m, 16);
  const std::vector<uint8_t> ones(4, 0xFF);
  run(VEK_WriteStorage(&m).engine(VEK_ReadMemory(&m).engine(bits, ones.data(), 4), out1));
  VEK_InputStorage* back1 = out1->create_input_storage();
  uint8_t four[4];
  ASSERT_EQ(back1->read(four, 4), 4);
  EXPECT_EQ(four[1], 0xC0);
  EXPECT_EQ(four[3], 0xC0);
  VEK_Status st(&m);
  EXPECT_TRUE(m.status(st));
  EXPECT_EQ(VEK_WriteStorage(&m).engine(nullptr, out), nullptr);
  EXPECT_STREQ(m.status().method(), "VEK_WriteStorage::engine()");
  m.clear();
  for (VEK_Object* o : std::initializer_list<VEK_Object*>{back, out, back1, out1}) o->destroy();
  EXPECT_EQ(m.memory_manager().live(), 3u);
}

// An offset past the written end of a storage that already holds bytes is reached with
// zeros, not clamped to that end.
TEST(StorageEngines, OffsetBeyondWrittenBytesIsPaddedNotClamped) {
  VEK_TestManager m;
  VEK_Header h(&m);
  make(h, 3, 2, 8);
  VEK_MemoryOutputStorage* out = VEK_MemoryOutputStorage::create(&m, 16);
  const std::vector<uint8_t> head(10, 0xAA);
  ASSERT_EQ(out->write(head.data(), 10), 10);
  TestFamily family(&m);
  run(VEK_WriteStorage(&m).engine(family.pattern(h), out, 20));
  std::vector<uint8_t> expected(head);
  expected.resize(20, 0);
  const auto p = expected_pattern(3, 2);
  expected.insert(expected.end(), p.begin(), p.end());
  VEK_InputStorage* back = out->create_input_storage();
  std::vector<uint8_t> bytes(back->size());
  back->read(bytes.data(), int32_t(bytes.size()));
  EXPECT_EQ(bytes, expected);
  VEK_Status st(&m);
  EXPECT_TRUE(m.status(st));
  back->destroy();
  out->destroy();
  EXPECT_EQ(m.memory_manager().live(), 3u);
}

// Reading and positioning run the chain only as far as the new position needs; the size and
// the end run it to its end.
TEST(StorageEngines, EngineFedStorageRunsTheChainOnlyAsFarAsNeeded) {
  VEK_TestManager m;
  VEK_Header h(&m);
  make(h, 16, 50, 8);
  TestFamily family(&m);
  VEK_DstEngineInputStorage* s = VEK_DstEngineInputStorage::create(&m, family.pattern(h, 2));
  ASSERT_NE(s, nullptr);
  uint8_t four[4];
  ASSERT_EQ(s->read(four, 4), 4);
  EXPECT_EQ(four[3], test_pattern(0, 3, 2));
  EXPECT_EQ(s->tell(), 4);
  EXPECT_EQ(s->skip(20), 20);
  EXPECT_EQ(s->get(), test_pattern(1, 8, 2));
  EXPECT_TRUE(s->seek(40));
  EXPECT_EQ(s->tell(), 40);
  EXPECT_EQ(s->get(), test_pattern(2, 8, 2));
  EXPECT_EQ(s->advance(100), 100);
  EXPECT_EQ(s->tell(), 141);
  EXPECT_EQ(s->get(), test_pattern(8, 13, 2));
  EXPECT_TRUE(s->seek(3));  // back, within what is made
  EXPECT_EQ(s->get(), test_pattern(0, 3, 2));
  EXPECT_TRUE(s->seek(799));
  EXPECT_EQ(s->get(), test_pattern(49, 15, 2));
  EXPECT_EQ(s->get(), -1);
  EXPECT_EQ(s->size(), 800);
  EXPECT_TRUE(s->seek(0));
  EXPECT_EQ(s->advance(1000), 800) << "advance stops at the end of the image";
  EXPECT_TRUE(s->is_end());
  EXPECT_TRUE(s->seek(1000)) << "clamped to the size, as every storage does";
  EXPECT_EQ(s->tell(), 800);
  EXPECT_TRUE(s->seek_end(-1));
  EXPECT_EQ(s->get(), test_pattern(49, 15, 2));
  EXPECT_TRUE(s->is_end());
  s->destroy();

  VEK_DstEngineInputStorage* t = VEK_DstEngineInputStorage::create(&m, family.pattern(h, 6));
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->get(), test_pattern(0, 0, 6));
  EXPECT_TRUE(t->to_end());
  EXPECT_EQ(t->tell(), 800);
  EXPECT_EQ(t->get(), -1);
  EXPECT_TRUE(t->to_begin());
  EXPECT_EQ(t->get(), test_pattern(0, 0, 6));
  t->destroy();
  VEK_Status st(&m);
  EXPECT_TRUE(m.status(st));
  EXPECT_EQ(m.memory_manager().live(), 3u);
  EXPECT_EQ(VEK_DstEngineInputStorage::create(&m, nullptr), nullptr);
  EXPECT_EQ(m.status().line(), 147u);
  m.clear();
}

namespace {

// All that an encoded stream read from storage at offset delivers, read back in one go; the
// reading must have reached the stream's end.
std::vector<uint8_t> read_encoded(VEK_TestManager& m, VEK_InputStorage* storage, int32_t offset) {
  VEK_Header encoded(&m);
  make(encoded, 3, 2, 8);
  encoded.encode_type(VEK_EncodeType_qk_rle::instance());
  VEK_DstEngineInputStorage* stream =
      VEK_DstEngineInputStorage::create(&m, VEK_ReadStorage(&m).engine(storage, encoded, offset));
  if (stream == nullptr) return {};
  std::vector<uint8_t> got(1 << 16, 0xCC);
  const int32_t n = stream->read(got.data(), int32_t(got.size()));
  got.resize(n > 0 ? size_t(n) : 0);
  EXPECT_TRUE(stream->is_end());
  EXPECT_EQ(stream->get(), -1);
  stream->destroy();
  return got;
}

}  // namespace

// An encoded stream has no height to stop at: the reader hands on blocks until the storage
// ends, the last one short, and stops without a report, also when the end falls on a block
// or comes at once.
TEST(StorageEngines, EncodedStreamIsReadToItsEnd) {
  VEK_TestManager m;
  const uint32_t block = m.block_bytes();
  std::vector<uint8_t> data(7 + 2 * block + 5);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 13 + i / 251);
  for (const uint32_t length : {uint32_t(data.size()), 7 + 2 * block, 7u, 8u}) {
    SCOPED_TRACE(length);
    VEK_ByteArrayInputStorage* in = vek_create<VEK_ByteArrayInputStorage>(&m, data.data(), int32_t(length));
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(read_encoded(m, in, 7), std::vector<uint8_t>(data.begin() + 7, data.begin() + length));
    VEK_Status st(&m);
    EXPECT_TRUE(m.status(st));
    EXPECT_EQ(st.full_code(), 0u) << st.method() << " " << st.line();
    in->destroy();
    EXPECT_EQ(m.memory_manager().live(), 3u);
  }

  // The segments of an RLE frame are read as windows onto the file: the stream ends with its
  // window, not with the file.
  VEK_ByteArrayInputStorage* file = vek_create<VEK_ByteArrayInputStorage>(&m, data.data(), int32_t(data.size()));
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(file->skip(20), 20);
  const int32_t window = int32_t(block) + 3;
  VEK_InputStorageBound* segment = VEK_InputStorageBound::create(&m, file, window);
  ASSERT_NE(segment, nullptr);
  EXPECT_EQ(read_encoded(m, segment, 2), std::vector<uint8_t>(data.begin() + 22, data.begin() + 20 + window));
  VEK_Status st(&m);
  EXPECT_TRUE(m.status(st));
  EXPECT_EQ(st.full_code(), 0u) << st.method() << " " << st.line();
  segment->destroy();
  file->destroy();
  EXPECT_EQ(m.memory_manager().live(), 3u);
}

// The job's end destroys the chain behind the storage; reading on must not call into it.
TEST(StorageEngines, EngineFedStorageOutlivesItsJob) {
  VEK_TestManager m;
  VEK_Header h(&m);
  make(h, 16, 50, 8);
  TestFamily family(&m);
  VEK_DstEngineInputStorage* s = VEK_DstEngineInputStorage::create(&m, family.pattern(h, 2));
  ASSERT_NE(s, nullptr);
  uint8_t line[32];
  ASSERT_EQ(s->read(line, 4), 4);
  VEK_Status st(&m);
  EXPECT_TRUE(m.status(st));
  EXPECT_EQ(s->read(line, 32), 12);  // the rest of the one line that was made
  EXPECT_EQ(s->size(), 16);
  s->destroy();
  EXPECT_TRUE(m.relation()->empty());
  EXPECT_EQ(m.memory_manager().live(), 3u);
}

TEST(CombinedStorage, PartsReadAsOneStream) {
  VEK_TestManager m;
  const auto a = counting(3, 0), b = counting(4, 10), c = counting(5, 20);
  VEK_Vector<VEK_InputStorage*> parts(&m);
  for (const auto* v : {&a, &b, &c})
    parts.push_back(vek_create<VEK_ByteArrayInputStorage>(&m, v->data(), int32_t(v->size())));
  VEK_CombinedInputStorage* s = VEK_CombinedInputStorage::create(&m, parts);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->size(), 12);
  uint8_t buf[12];
  ASSERT_EQ(s->read(buf, 10), 10);
  EXPECT_EQ(buf[2], 2);
  EXPECT_EQ(buf[3], 10);
  EXPECT_EQ(buf[9], 22);
  EXPECT_EQ(s->tell(), 10);
  EXPECT_EQ(s->skip(-5), -5);
  EXPECT_EQ(s->tell(), 5);
  EXPECT_EQ(s->get(), 12);
  ASSERT_TRUE(s->seek(6));
  EXPECT_EQ(s->get(), 13);
  EXPECT_EQ(s->skip(100), 5);
  EXPECT_TRUE(s->is_end());
  EXPECT_EQ(s->read(buf, 4), 0);
  EXPECT_TRUE(s->to_begin());
  EXPECT_EQ(s->read(buf, 12), 12);
  EXPECT_EQ(s->read(nullptr, 1), 0);
  EXPECT_STREQ(m.status().method(), "VEK_CombinedInputStorage::read()");
  m.clear();
  s->terminate();
  EXPECT_EQ(s->read(buf, 1), 0);
  EXPECT_EQ(m.status().full_code(), 0u);
  s->destroy();

  VEK_Vector<VEK_InputStorage*> with_empty(parts);
  with_empty.push_back(vek_new<VEK_ByteArrayInputStorage>(&m));
  EXPECT_EQ(VEK_CombinedInputStorage::create(&m, with_empty), nullptr);
  EXPECT_EQ(m.status().full_code(), 0x80800000u);
  m.clear();
  EXPECT_EQ(VEK_CombinedInputStorage::create(&m, VEK_Vector<VEK_InputStorage*>(&m)), nullptr);
  m.clear();
  VEK_CombinedInputStorage* huge = vek_new<VEK_CombinedInputStorage>(&m);
  VEK_Vector<int> sizes(&m, 3, INT32_MAX);
  EXPECT_FALSE(huge->initiate(parts, sizes));
  EXPECT_EQ(m.status().line(), 237u);
  m.clear();
  huge->destroy();
  for (VEK_InputStorage* p : with_empty) p->destroy();
}
