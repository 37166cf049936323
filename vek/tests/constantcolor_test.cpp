#include <gtest/gtest.h>

#include "vek_constantcolor.h"
#include "vek_test_ops.h"

namespace {

template <class T>
std::vector<uint8_t> generate(VEK_TestManager& m, const VEK_Header& h, std::initializer_list<T> values) {
  VEK_Vector<T> color(&m);
  for (T x : values) color.push_back(x);
  VEK_ConstantColor creator(&m);
  return collect(m, creator.engine(h, color));
}

}  // namespace

TEST(ConstantColor, OneBitLinesArePackedFromTheTopBit) {
  VEK_TestManager m;
  VEK_Header h(&m);
  make(h, 10, 3, 1, 1);
  // One channel fills whole bytes, the six bits past the tenth pixel too.
  EXPECT_EQ(generate<unsigned>(m, h, {1}), std::vector<uint8_t>(6, 0xFF));
  EXPECT_EQ(generate<unsigned>(m, h, {0}), std::vector<uint8_t>(6, 0x00));
  make(h, 3, 2, 1, 3);
  EXPECT_EQ(generate<unsigned>(m, h, {1, 0, 1}), (std::vector<uint8_t>{0xB6, 0x80, 0xB6, 0x80}));
  EXPECT_EQ(generate<unsigned>(m, h, {0, 7, 0}), (std::vector<uint8_t>{0x49, 0x00, 0x49, 0x00}));
  expect_clean_end(m);
}

TEST(ConstantColor, EverySampleTypeRepeatsTheColourPerPixel) {
  VEK_TestManager m;
  VEK_Header h(&m);
  make(h, 5, 2, 8, 1);
  EXPECT_EQ(generate<unsigned>(m, h, {255, 0, 0}), pixels<uint8_t>(10, {255}));  // extra values ignored
  make(h, 5, 2, 8, 2, VEK_DataType::s_integer);
  EXPECT_EQ(generate<int>(m, h, {-128, 127}), pixels<int8_t>(10, {-128, 127}));
  make(h, 4, 3, 16, 3);
  EXPECT_EQ(generate<unsigned>(m, h, {1, 65535, 0x1234}), pixels<uint16_t>(12, {1, 65535, 0x1234}));
  make(h, 3, 2, 32, 2);
  EXPECT_EQ(generate<unsigned>(m, h, {0xFFFFFFFFu, 7}), pixels<uint32_t>(6, {0xFFFFFFFFu, 7}));
  make(h, 3, 2, 32, 2, VEK_DataType::floating);
  EXPECT_EQ(generate<float>(m, h, {1.5f, -0.25f}), pixels<float>(6, {1.5f, -0.25f}));
  make(h, 3, 2, 64, 1, VEK_DataType::floating);
  EXPECT_EQ(generate<double>(m, h, {3.125}), pixels<double>(6, {3.125}));
  expect_clean_end(m);
}

TEST(ConstantColor, RefusesValuesAndHeadersWithoutAnEngine) {
  enum Kind { U, I, F };
  struct Case {
    uint16_t bits, channels;
    const VEK_DataType* type;
    Kind kind;
    std::initializer_list<int64_t> color;
    uint32_t code;
    const char* method;
  };
  const char* raw = "VEK_ConstantColorRaw::engine()";
  const char* base = "VEK_ConstantColorRawEngine::initiate()";
  const char* wide = "VEK_ConstantColorRaw8xNBitsEngine::initiate()";
  const VEK_DataType *u = VEK_DataType::u_integer, *s = VEK_DataType::s_integer;
  const Case cases[] = {
      {8, 1, u, U, {256}, 0x80800000u, raw},
      {8, 1, u, U, {0, 256}, 0x80800000u, raw},  // every value counts, used or not
      {16, 1, u, U, {65536}, 0x80800000u, raw},
      {8, 1, s, I, {-129}, 0x80800000u, raw},
      {16, 1, s, I, {32768}, 0x80800000u, raw},
      {8, 3, u, U, {1, 2}, 0x80800000u, base},
      {1, 1, VEK_DataType::unknown, U, {1}, 0x81000000u, "VEK_ConstantColorRaw1Engine::initiate()"},
      {1, 1, u, I, {1}, 0x81000000u, wide},
      {32, 1, u, I, {1}, 0x80800000u, wide},
      {64, 1, VEK_DataType::floating, F, {1}, 0x80800000u, wide},
      {12, 1, u, U, {1}, 0x80800000u, "VEK_GenerateEngine::initiate()"},  // not a valid header
  };
  for (const Case& c : cases) {
    VEK_TestManager m;
    VEK_Header h(&m);
    make(h, 4, 2, c.bits, c.channels, c.type);
    VEK_ConstantColor creator(&m);
    VEK_Vector<unsigned> vu(&m);
    VEK_Vector<int> vi(&m);
    VEK_Vector<float> vf(&m);
    for (int64_t x : c.color) vu.push_back(unsigned(x)), vi.push_back(int(x)), vf.push_back(float(x));
    VEK_Engine* e = c.kind == U ? creator.engine(h, vu) : c.kind == I ? creator.engine(h, vi) : creator.engine(h, vf);
    EXPECT_EQ(e, nullptr) << c.bits << " " << c.method;
    if (c.method == raw && c.bits == 8 && c.kind == U) {
      EXPECT_EQ(m.status().line(), 180u);
    }
    EXPECT_EQ(m.status().full_code(), c.code) << c.bits << " " << c.method;
    EXPECT_STREQ(m.status().method(), c.method);
    m.clear();
  }
  VEK_TestManager m;
  VEK_Header h(&m);
  make(h, 4, 2, 8, 1);
  h.encode_type(VEK_EncodeType_pack_bits::instance());
  EXPECT_TRUE(generate<unsigned>(m, h, {1}).empty());
  expect_refused(m, 0x81000000u, base, "vek_constantcolorrawengine_templ.h");
}

TEST(ConstantColor, WritesExactlyHeightLines) {
  VEK_TestManager m;
  VEK_Header h(&m);
  make(h, 7, 5, 16, 2);
  VEK_ConstantColor creator(&m);
  VEK_BufferOutputEngine* e = nullptr;
  {
    VEK_Vector<unsigned> color(&m);
    color.push_back(9);
    color.push_back(10);
    e = static_cast<VEK_BufferOutputEngine*>(creator.engine(h, color));
  }
  std::vector<uint8_t> out;
  TestFamily family(&m);
  VEK_Engine* sink = family.collect(e, &out);  // its reader starts the generator's buffer
  ASSERT_NE(sink, nullptr);
  for (int y = 0; y < 5; ++y) ASSERT_TRUE(e->execute()) << y;
  EXPECT_FALSE(e->execute());
  EXPECT_FALSE(e->execute());
  auto* real = static_cast<VEK_DstBufferBase*>(static_cast<VEK_DstBufferProxy*>(e->dst_buffer())->real());
  EXPECT_EQ(real->written(), 7u * 2 * 2 * 5);
  run(sink);
  EXPECT_EQ(out, pixels<uint16_t>(35, {9, 10}));
  expect_clean_end(m);
}
