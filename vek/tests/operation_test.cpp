#include <gtest/gtest.h>

#include <utility>

#include "../core/operation/source/vek_opconstengine_templ.h"
#include "vek_and.h"
#include "vek_constantcolor.h"
#include "vek_not.h"
#include "vek_test_ops.h"

namespace {

// The test pattern with every 16-bit sample ANDed with mask.
std::vector<uint8_t> masked16(uint32_t line_bytes, uint32_t height, uint16_t mask) {
  std::vector<uint8_t> v = expected_pattern(line_bytes, height);
  for (size_t i = 0; i + 1 < v.size(); i += 2) {
    uint16_t s;
    std::memcpy(&s, &v[i], 2);
    s = uint16_t(s & mask);
    std::memcpy(&v[i], &s, 2);
  }
  return v;
}

// Reaches the 16-bit AND engine directly, past the creator's choice by depth.
class WideAnd : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, unsigned short constant) {
    return create_engine<VEK_OpConstEngine<VEK_PixelOperator::And, unsigned short>>(source, constant);
  }
};

// A pattern source of the given depth and type (null type: 8-bit indices with a palette) through op.
template <class Op>
VEK_Engine* on_source(VEK_TestManager& m, uint16_t bits, const VEK_DataType* type, Op op) {
  VEK_Header h(&m);
  make(h, 4, 2, bits, 1, type != nullptr ? type : VEK_DataType::u_integer);
  if (type == nullptr) {
    const uint8_t entries[6] = {0, 0, 0, 255, 255, 255};
    h.palette().bits(8);
    h.palette().channels(3);
    h.palette().entries(2);
    h.palette().value(entries, 6);
    h.color_type(VEK_ColorType_s_rgb::instance());
  }
  TestFamily family(&m);
  return op(family.pattern(h));
}

}  // namespace

TEST(Not, InvertsEveryByteOfTheLine) {
  struct Case {
    uint32_t width;
    uint16_t bits, channels;
  };
  // 1-bit widths that end inside a byte: the padding bits are inverted with the rest.
  for (Case c : {Case{13, 8, 1}, Case{7, 16, 3}, Case{5, 1, 1}, Case{11, 1, 3}}) {
    VEK_TestManager m;
    VEK_Header h(&m);
    make(h, c.width, 6, c.bits, c.channels);
    TestFamily family(&m);
    VEK_Not op(&m);
    EXPECT_EQ(collect(m, op.engine(family.pattern(h, 4))), expected_pattern(h.line_bytes(), 6, 4, true)) << c.bits;
    expect_clean_end(m);
  }
}

TEST(Not, RefusesWhatItCannotInvert) {
  VEK_TestManager m;
  VEK_Not op(&m);
  EXPECT_EQ(op.engine(nullptr), nullptr);
  EXPECT_EQ(m.status().line(), 47u);
  expect_refused(m, 0x80800000u, "VEK_Not::engine()", "vek_not.cpp");
  const VEK_DataType *u = VEK_DataType::u_integer, *s = VEK_DataType::s_integer, *f = VEK_DataType::floating;
  for (auto [bits, type] : {std::pair{8, s}, {32, f}, {4, u}, {32, u}, {8, nullptr}}) {
    EXPECT_EQ(on_source(m, uint16_t(bits), type, [&](VEK_Engine* e) { return op.engine(e); }), nullptr) << bits;
    EXPECT_EQ(m.status().line(), 56u);
    expect_refused(m, 0x81000000u, "VEK_OpNotEngine::initiate()", "vek_opnotengine.cpp");
  }

  // Other encodings reach the line engine, which takes raw lines only.
  VEK_Header h(&m);
  make(h, 10, 2, 1, 1);
  h.encode_type(VEK_EncodeType_pack_bits::instance());
  TestFamily family(&m);
  EXPECT_EQ(op.engine(family.pattern(h, 0, 16)), nullptr);
  expect_refused(m, 0x81000000u, "VEK_ProcessLineToLineEngine::initiate()", "vek_processlinetolineengine.cpp");
}

TEST(And, AllBitsSetReturnsTheSourceItself) {
  for (uint16_t bits : {8, 16}) {
    VEK_TestManager m;
    VEK_Header h(&m);
    make(h, 6, 3, bits, 1);
    TestFamily family(&m);
    VEK_Engine* source = family.pattern(h);
    VEK_And op(&m);
    EXPECT_EQ(op.engine(source, bits == 8 ? 255 : 65535), source);
    EXPECT_EQ(collect(m, source), expected_pattern(h.line_bytes(), 3));
    expect_clean_end(m);
  }
}

TEST(And, ClearsTheBitsOutsideTheConstant) {
  VEK_TestManager m;
  VEK_Header h(&m);
  TestFamily family(&m);
  VEK_And op(&m);
  make(h, 9, 4, 16, 3);
  EXPECT_EQ(collect(m, op.engine(family.pattern(h), 4095)), masked16(54, 4, 0x0FFF));
  make(h, 9, 4, 16, 1);
  EXPECT_EQ(collect(m, op.engine(family.pattern(h), 255)), masked16(18, 4, 0x00FF));  // no shortcut below 16 bits
  make(h, 13, 4, 8, 1);
  std::vector<uint8_t> expected = expected_pattern(13, 4);
  for (uint8_t& b : expected) b &= 0x5A;
  EXPECT_EQ(collect(m, op.engine(family.pattern(h), 0x5A)), expected);
  EXPECT_EQ(collect(m, op.engine(family.pattern(h), 0)), std::vector<uint8_t>(52, 0));
  expect_clean_end(m);
}

TEST(And, RefusesConstantsAndSourcesItCannotMask) {
  VEK_TestManager m;
  VEK_And op(&m);
  EXPECT_EQ(op.engine(nullptr, 1), nullptr);
  expect_refused(m, 0x80800000u, "VEK_OpConstLogical::engine()", "vek_opconstlogical_templ.h");
  const VEK_DataType *u = VEK_DataType::u_integer, *s = VEK_DataType::s_integer;
  struct Case {
    uint16_t bits;
    const VEK_DataType* type;
    uint32_t constant;
  };
  for (Case c : {Case{8, u, 256}, Case{16, u, 65536}}) {
    EXPECT_EQ(on_source(m, c.bits, c.type, [&](VEK_Engine* e) { return op.engine(e, c.constant); }), nullptr);
    expect_refused(m, 0x80800000u, "VEK_OpConstLogical::engine()", "vek_opconstlogical_templ.h");
  }
  for (Case c : {Case{4, u, 15}, Case{32, u, 15}, Case{1, u, 1}, Case{16, s, 15}, Case{8, nullptr, 15}}) {
    EXPECT_EQ(on_source(m, c.bits, c.type, [&](VEK_Engine* e) { return op.engine(e, c.constant); }), nullptr);
    expect_refused(m, 0x81000000u, "VEK_OpConstEngine::initiate()", "vek_opconstengine_templ.h");
  }
  // Read as 16-bit samples, an 8-bit line would be read and written to twice its length.
  WideAnd wide(&m);
  EXPECT_EQ(on_source(m, 8, u, [&](VEK_Engine* e) { return wide.engine(e, 0xFFF); }), nullptr);
  expect_refused(m, 0x81000000u, "VEK_OpConstEngine::initiate()", "vek_opconstengine_templ.h");
}

TEST(Operation, EveryRefusedAllocationLeavesNoLeak) {
  // A constant 16-bit colour, masked and inverted: every family's allocations in one chain.
  for (uint64_t n = 1;; ++n) {
    VEK_TestManager m;
    VEK_Header h(&m);
    make(h, 9, 5, 16, 1);
    const uint64_t before = m.memory_manager().allocations();
    m.memory_manager().fail_nth(n);
    std::vector<uint8_t> out;
    {
      VEK_Vector<unsigned> color(&m);
      VEK_ConstantColor constant(&m);
      VEK_And op_and(&m);
      VEK_Not op_not(&m);
      if (color.push_back(0xABCD)) out = collect(m, op_not.engine(op_and.engine(constant.engine(h, color), 0x3FF)));
    }
    const bool refused = m.memory_manager().allocations() - before >= n;
    VEK_Status st(&m);
    if (m.status(st))
      EXPECT_EQ(out, pixels<uint16_t>(45, {uint16_t(~0x3CDu)})) << n;
    else
      EXPECT_EQ(st.code(), 0x80010000u) << n;
    EXPECT_EQ(m.memory_manager().live(), kManagerParts) << "refusing allocation " << n;
    if (!refused) break;
  }
}
