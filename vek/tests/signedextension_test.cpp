#include <gtest/gtest.h>

#include "../extension/signedextension/source/vek_signedextensionengine_templ.h"
#include "vek_signedextension.h"
#include "vek_test_samples.h"

namespace {

// Reaches an engine directly, past the creator's checks.
template <class T>
class DirectExtension : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, uint8_t sign_bit) {
    return create_engine<VEK_SignedExtensionEngine<T>>(source, sign_bit);
  }
};

template <class T>
std::vector<T> extend(VEK_TestManager& m, uint32_t width, uint16_t channels, uint8_t sign_bit,
                      const std::vector<T>& in) {
  VEK_Header h(&m);
  make(h, width, uint32_t(in.size() / width / channels), sizeof(T) * 8, channels, VEK_DataType::s_integer);
  VEK_SignedExtension op(&m);
  return collect_as<T>(m, op.engine(read_samples(m, h, in), sign_bit));
}

}  // namespace

TEST(SignedExtension, CopiesTheStoredSignBitUpwards) {
  VEK_TestManager m;
  using V16 = std::vector<uint16_t>;
  // 12 stored bits: the sign bit decides, whatever lies above it.
  EXPECT_EQ(extend<uint16_t>(m, 5, 1, 11, {0x0800, 0x07FF, 0xF7FF, 0x1234, 0x1A34}),
            (V16{0xF800, 0x07FF, 0x07FF, 0x0234, 0xFA34}));
  EXPECT_EQ(extend<uint16_t>(m, 2, 1, 14, {0x4000, 0x8001}), (V16{0xC000, 0x0001}));
  // One stored bit: odd samples are -1, even ones 0.
  EXPECT_EQ(extend<uint16_t>(m, 4, 1, 0, {1, 2, 0x8003, 0x8000}), (V16{0xFFFF, 0, 0xFFFF, 0}));
  EXPECT_EQ(extend<uint8_t>(m, 3, 1, 3, {0x08, 0x07, 0xF7}), (std::vector<uint8_t>{0xF8, 0x07, 0x07}));
  EXPECT_EQ(extend<uint8_t>(m, 2, 1, 6, {0x40, 0xBF}), (std::vector<uint8_t>{0xC0, 0x3F}));
  // Every channel of every line alike.
  EXPECT_EQ(extend<uint16_t>(m, 2, 3, 11, {0x0800, 1, 0xF000, 0x0FFF, 0xF7FF, 2, 0x8800, 3, 0x7000, 4, 5, 0x0801}),
            (V16{0xF800, 1, 0, 0xFFFF, 0x07FF, 2, 0xF800, 3, 0, 4, 5, 0xF801}));
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
  const char* file = "vek_signedextension.cpp";
  EXPECT_EQ(op.engine(nullptr, 11), nullptr);
  EXPECT_EQ(m.status().line(), 61u);
  expect_refused(m, 0x80800000u, "VEK_SignedExtension::engine()", file);

  const std::vector<uint32_t> samples(4, 0);
  struct Case {
    uint16_t bits;
    const VEK_DataType* type;
    uint8_t sign_bit;
    uint32_t code, line;
  };
  for (Case c : {Case{16, VEK_DataType::u_integer, 11, 0x81000000u, 69}, Case{32, VEK_DataType::s_integer, 11, 0x81000000u, 69},
                 Case{16, VEK_DataType::s_integer, 16, 0x80800000u, 74}, Case{8, VEK_DataType::s_integer, 8, 0x80800000u, 74},
                 Case{16, VEK_DataType::s_integer, 255, 0x80800000u, 74}}) {
    VEK_Header h(&m);
    make(h, 2, 1, c.bits, 1, c.type);
    EXPECT_EQ(op.engine(read_samples(m, h, samples), c.sign_bit), nullptr);
    EXPECT_EQ(m.status().line(), c.line) << c.bits;
    expect_refused(m, c.code, "VEK_SignedExtension::engine()", file);
  }
}

TEST(SignedExtension, EngineRefusesSamplesNotOfItsWidthAndSignBitsOutside) {
  VEK_TestManager m;
  const std::vector<uint16_t> samples(4, 0);
  const char* file = "vek_signedextensionengine_templ.h";
  const char* method = "VEK_SignedExtensionEngine::initiate()";
  VEK_Header h(&m);
  // Read as 16-bit samples, an 8-bit line would be read and written past its end.
  make(h, 4, 1, 8, 1, VEK_DataType::s_integer);
  DirectExtension<short> wide(&m);
  EXPECT_EQ(wide.engine(read_samples(m, h, samples), 3), nullptr);
  EXPECT_EQ(m.status().line(), 171u);
  expect_refused(m, 0x81000000u, method, file);
  // The masks are never built from a shift of 16 or more.
  make(h, 4, 1, 16, 1, VEK_DataType::s_integer);
  for (uint8_t sign_bit : {16, 200}) {
    EXPECT_EQ(wide.engine(read_samples(m, h, samples), sign_bit), nullptr);
    EXPECT_EQ(m.status().line(), 178u);
    expect_refused(m, 0x80800000u, method, file);
  }
}
