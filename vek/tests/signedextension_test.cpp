#include <gtest/gtest.h>

#include "../extension/signedextension/source/vek_signedextensionengine_templ.h"
#include "vek_signedextension.h"
#include "vek_test_samples.h"

namespace {

template <class T>
std::vector<T> extend(VEK_TestManager& m, uint16_t channels, uint8_t sign_bit, const std::vector<T>& in) {
  VEK_Header h(&m);
  make(h, 2, uint32_t(in.size() / 2 / channels), sizeof(T) * 8, channels, VEK_DataType::s_integer);
  VEK_SignedExtension op(&m);
  return collect_as<T>(m, op.engine(read_samples(m, h, in), sign_bit));
}

// The 16-bit engine, reached past the creator's checks.
class WideExtension : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, uint8_t sign_bit) {
    return create_engine<VEK_SignedExtensionEngine<short>>(source, sign_bit);
  }
};

}  // namespace

TEST(SignedExtension, CopiesTheStoredSignBitUpwards) {
  VEK_TestManager m;
  using V16 = std::vector<uint16_t>;
  // 12 stored bits: the sign bit decides, whatever lies above it; every channel alike.
  EXPECT_EQ(extend<uint16_t>(m, 3, 11, {0x0800, 0x07FF, 0xF7FF, 0x1234, 0x1A34, 0xF000}),
            (V16{0xF800, 0x07FF, 0x07FF, 0x0234, 0xFA34, 0}));
  EXPECT_EQ(extend<uint16_t>(m, 1, 14, {0x4000, 0x8001}), (V16{0xC000, 0x0001}));
  // One stored bit: odd samples are -1, even ones 0.
  EXPECT_EQ(extend<uint16_t>(m, 1, 0, {0x8003, 0x8000}), (V16{0xFFFF, 0}));
  EXPECT_EQ(extend<uint8_t>(m, 1, 3, {0x08, 0xF7}), (std::vector<uint8_t>{0xF8, 0x07}));
  expect_clean_end(m);
}

TEST(SignedExtension, SignBitAtTheTopReturnsTheSourceItself) {
  VEK_TestManager m;
  VEK_SignedExtension op(&m);
  const std::vector<uint8_t> in{0x23, 0x81, 0xFF, 0x7F};
  for (uint16_t bits : {8, 16}) {
    VEK_Header h(&m);
    make(h, 32 / bits, 1, bits, 1, VEK_DataType::s_integer);
    VEK_Engine* source = read_samples(m, h, in);
    EXPECT_EQ(op.engine(source, uint8_t(bits - 1)), source);
    EXPECT_EQ(collect(m, source), in);
  }
  expect_clean_end(m);
}

TEST(SignedExtension, RefusesWhatItCannotExtend) {
  VEK_TestManager m;
  VEK_SignedExtension op(&m);
  const char* creator = "VEK_SignedExtension::engine()";
  const VEK_DataType *s = VEK_DataType::s_integer, *u = VEK_DataType::u_integer;
  const std::vector<uint32_t> samples(4, 0);
  struct Case {
    uint16_t bits;
    const VEK_DataType* type;
    uint8_t sign_bit;
    uint32_t code, line;
  };
  for (Case c : {Case{16, u, 11, 0x81000000u, 69}, Case{32, s, 11, 0x81000000u, 69}, Case{16, s, 16, 0x80800000u, 74},
                 Case{8, s, 8, 0x80800000u, 74}}) {
    VEK_Header h(&m);
    make(h, 2, 1, c.bits, 1, c.type);
    EXPECT_EQ(op.engine(read_samples(m, h, samples), c.sign_bit), nullptr);
    EXPECT_EQ(m.status().line(), c.line) << c.bits;
    expect_refused(m, c.code, creator, "vek_signedextension.cpp");
  }

  // The engine itself: an 8-bit line read as 16-bit samples would run past its end, and
  // masks are never built from a shift of 16 or more.
  WideExtension wide(&m);
  for (auto [bits, sign_bit, code] : {std::tuple{8, 3, 0x81000000u}, {16, 16, 0x80800000u}, {16, 200, 0x80800000u}}) {
    VEK_Header h(&m);
    make(h, 2, 1, uint16_t(bits), 1, s);
    EXPECT_EQ(wide.engine(read_samples(m, h, samples), uint8_t(sign_bit)), nullptr);
    expect_refused(m, code, "VEK_SignedExtensionEngine::initiate()", "vek_signedextensionengine_templ.h");
  }
}
