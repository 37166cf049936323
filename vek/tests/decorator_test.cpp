#include <gtest/gtest.h>

#include <numeric>
#include <thread>
#include <vector>

#include "vek_decorator.h"
#include "vek_memorystorage.h"
#include "vek_test_support.h"

namespace {

std::vector<uint8_t> counting(size_t n) {
  std::vector<uint8_t> v(n);
  std::iota(v.begin(), v.end(), uint8_t(0));
  return v;
}

VEK_ByteArrayInputStorage* over(VEK_TestManager& m, const std::vector<uint8_t>& bytes) {
  return vek_create<VEK_ByteArrayInputStorage>(&m, bytes.data(), int32_t(bytes.size()));
}

}  // namespace

TEST(BoundedInput, AWindowOfFiveBytes) {
  VEK_TestManager m;
  const auto bytes = counting(100);
  VEK_ByteArrayInputStorage* base = over(m, bytes);
  base->seek(10);
  VEK_InputStorageBound* w = VEK_InputStorageBound::create(&m, base, 5);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w->size(), 5);
  uint8_t buf[8];
  EXPECT_EQ(w->read(buf, 8), 5);
  EXPECT_EQ(buf[0], 10);
  EXPECT_EQ(buf[4], 14);
  EXPECT_EQ(w->get(), -1);
  EXPECT_TRUE(w->is_end());
  EXPECT_TRUE(w->seek_end(-2));
  EXPECT_EQ(w->read(buf, 8), 2);
  EXPECT_EQ(buf[0], 13);
  EXPECT_TRUE(w->to_begin());
  EXPECT_EQ(base->tell(), 10);
  EXPECT_EQ(w->skip(1), 1);
  EXPECT_EQ(w->skip(-3), -1);
  EXPECT_FALSE(w->unget());
  EXPECT_EQ(w->tell(), 0);
  EXPECT_EQ(base->tell(), 10);

  // Beyond the storage: refused, position and window kept.
  EXPECT_FALSE(w->set_bound(200));
  EXPECT_EQ(m.status().full_code(), 0x80020000u);
  EXPECT_STREQ(m.status().method(), "VEK_MovableInputStreamBound::set_bound()");
  m.clear();
  EXPECT_EQ(w->size(), 5);
  EXPECT_EQ(base->tell(), 10);
  EXPECT_TRUE(w->set_bound(20));
  EXPECT_EQ(w->size(), 20);
  EXPECT_EQ(w->read(buf, 8), 8);
  EXPECT_TRUE(w->set_remain(50, 60));
  EXPECT_EQ(w->tell(), 0);
  EXPECT_EQ(w->get(), 50);
  EXPECT_EQ(w->size(), 10);

  EXPECT_EQ(VEK_InputStorageBound::create(&m, base, -1), nullptr);
  EXPECT_STREQ(m.status().method(), "VEK_InputStreamBound::initiate()");
  m.clear();
  EXPECT_EQ(VEK_InputStorageBound::create(&m, nullptr, 3), nullptr);
  EXPECT_STREQ(m.status().method(), "VEK_InputStorageDecorator::initiate()");
  m.clear();
  w->destroy();
  base->destroy();
  EXPECT_EQ(m.memory_manager().live(), 3u);
}

TEST(MoveInMoveOut, ReadersKeepTheirOwnPositionsAcrossThreads) {
  VEK_TestManager m;
  const auto bytes = counting(100);
  VEK_ByteArrayInputStorage* base = over(m, bytes);
  VEK_MutexInputStorage* shared = VEK_MutexInputStorage::create(&m, base);
  base->seek(7);
  auto* a = vek_create<VEK_MoveInMoveOutInputStorage>(&m, shared, 0);
  auto* b = vek_create<VEK_MoveInMoveOutInputStorage>(&m, shared, 50);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  uint8_t x[4], y[4];
  EXPECT_EQ(a->read(x, 4), 4);
  EXPECT_EQ(b->read(y, 4), 4);
  EXPECT_EQ(x[0], 0);
  EXPECT_EQ(y[0], 50);
  EXPECT_EQ(base->tell(), 7);  // the shared position is back where it was
  EXPECT_EQ(a->get(), 4);
  EXPECT_EQ(b->get(), 54);

  bool ok_a = true, ok_b = true;
  std::thread ta([&] {
    for (int i = 5; i < 45; ++i) ok_a = ok_a && a->get() == i;
  });
  std::thread tb([&] {
    for (int i = 55; i < 95; ++i) ok_b = ok_b && b->get() == i;
  });
  ta.join();
  tb.join();
  EXPECT_TRUE(ok_a);
  EXPECT_TRUE(ok_b);
  EXPECT_EQ(a->skip(1000), 55);
  EXPECT_TRUE(a->is_end());

  EXPECT_EQ(vek_create<VEK_MoveInMoveOutInputStorage>(&m, shared, -1), nullptr);
  EXPECT_EQ(m.status().full_code(), 0x80800000u);
  m.clear();
  a->destroy();
  b->destroy();
  shared->destroy();
  base->destroy();
  EXPECT_EQ(m.memory_manager().live(), 3u);
  VEK_MutexInputStorage* lonely = vek_new<VEK_MutexInputStorage>(&m);
  EXPECT_FALSE(lonely->is_empty());
  lonely->destroy();
}

TEST(DataInputOutput, ByteOrder) {
  VEK_TestManager m;
  uint8_t array[16] = {};
  auto* out_storage = VEK_ByteArrayOutputStorage::create(&m, array, 16);
  VEK_DataOutput* big = VEK_DataOutput::create(&m, out_storage, 0);
  ASSERT_NE(big, nullptr);
  uint8_t value[4] = {1, 2, 3, 4};
  ASSERT_TRUE(big->write_binary(value, 4));
  EXPECT_EQ(array[0], 4);
  EXPECT_EQ(array[3], 1);
  EXPECT_EQ(value[0], 4);  // left converted
  VEK_DataOutput* little = VEK_DataOutput::create(&m, out_storage, 1);
  uint8_t same[2] = {9, 8};
  ASSERT_TRUE(little->write_binary(same, 2));
  EXPECT_EQ(array[4], 9);

  const std::vector<uint8_t> bytes = {1, 2, 3, 4, 5, 6};
  VEK_ByteArrayInputStorage* base = over(m, bytes);
  VEK_DataInput* in = VEK_DataInput::create(&m, base, 0);
  uint8_t got[4];
  ASSERT_TRUE(in->read_binary(got, 4));
  EXPECT_EQ(got[0], 4);
  EXPECT_TRUE(in->read_binary(got, 0));
  EXPECT_FALSE(in->read_binary(got, 4));
  EXPECT_EQ(m.status().full_code(), 0u);
  EXPECT_TRUE(in->is_end());

  uint8_t tiny[1];
  auto* full = VEK_ByteArrayOutputStorage::create(&m, tiny, 1);
  VEK_DataOutput* overflow = VEK_DataOutput::create(&m, full, 1);
  EXPECT_FALSE(overflow->write_binary(value, 4));
  EXPECT_STREQ(m.status().method(), "VEK_DataOutput::write_binary()");
  m.clear();
  auto* detached = vek_new<VEK_ByteArrayOutputStorage>(&m);
  EXPECT_EQ(VEK_DataOutput::create(&m, detached, 1), nullptr);
  EXPECT_STREQ(m.status().method(), "VEK_OutputStorageDecorator::initiate()");
  m.clear();
  for (VEK_Object* o : std::initializer_list<VEK_Object*>{big, little, out_storage, in, base, overflow, full, detached})
    o->destroy();
  EXPECT_EQ(m.memory_manager().live(), 3u);
}
