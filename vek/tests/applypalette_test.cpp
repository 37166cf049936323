#include <gtest/gtest.h>

#include "../core/applypalette/source/vek_applypalette8xnbitsengine_templ.h"
#include "vek_applypalette.h"
#include "vek_minmaxpixelvalue.h"
#include "vek_signedextension.h"
#include "vek_test_samples.h"

namespace {

// Component c of entry i; never 0, so entries added by widening stand apart.
uint16_t component(uint32_t i, uint16_t c, uint16_t bits) {
  return uint16_t(1 + (i * 7 + c) % (bits == 8 ? 250 : 60000));
}

// A reader of samples as indices of the given depth into a palette of the given geometry.
template <class T>
VEK_Engine* indexed(VEK_TestManager& m, const std::vector<T>& samples, uint32_t width, uint16_t bits,
                    uint16_t palette_bits, uint16_t channels, uint32_t entries) {
  VEK_Header h(&m);
  make(h, width, uint32_t(samples.size() * sizeof(T) / VEK_Header::line_bytes(width, bits, 1)), bits, 1);
  h.color_type(channels == 3 ? VEK_ColorType_s_rgb::instance() : VEK_ColorType_none::instance());
  std::vector<uint8_t> data;
  for (uint32_t i = 0; i < entries; ++i)
    for (uint16_t c = 0; c < channels; ++c)
      for (uint16_t b = 0; b < palette_bits; b += 8) data.push_back(uint8_t(component(i, c, palette_bits) >> b));
  h.palette().bits(palette_bits);
  h.palette().channels(channels);
  h.palette().entries(entries);
  if (!h.palette().value(data.data(), uint32_t(data.size()))) return nullptr;
  return read_samples(m, h, samples);
}

// The components each index should give: its entry, or zeros past the palette.
std::vector<uint16_t> expected(const std::vector<uint32_t>& indices, uint16_t palette_bits, uint16_t channels,
                               uint32_t entries) {
  std::vector<uint16_t> v;
  for (uint32_t i : indices)
    for (uint16_t c = 0; c < channels; ++c) v.push_back(i < entries ? component(i, c, palette_bits) : 0);
  return v;
}

// What e delivers, 8- or 16-bit components alike.
std::vector<uint16_t> components(VEK_TestManager& m, VEK_Engine* e, uint16_t bits) {
  if (bits == 16) return collect_as<uint16_t>(m, e);
  const std::vector<uint8_t> v = collect(m, e);
  return {v.begin(), v.end()};
}

}  // namespace

TEST(ApplyPalette, IndicesGiveTheirEntryAndZerosPastThePalette) {
  // 8-bit indices into 100 three-channel entries; 16-bit ones into 4096 one-channel entries.
  const std::vector<uint32_t> narrow{42, 150, 0, 99, 100, 255}, wide{4095, 5000, 0, 65535, 1234, 4096};
  const std::vector<uint8_t> narrow_in(narrow.begin(), narrow.end());
  const std::vector<uint16_t> wide_in(wide.begin(), wide.end());
  for (uint16_t palette_bits : {8, 16}) {
    VEK_TestManager m;
    VEK_ApplyPalette op(&m);
    VEK_Engine* e = op.engine(indexed(m, narrow_in, 3, 8, palette_bits, 3, 100));
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->header()->bits(), palette_bits);
    EXPECT_EQ(e->header()->channels(), 3u);
    EXPECT_EQ(e->header()->color_type(), VEK_ColorType_s_rgb::instance());
    EXPECT_TRUE(e->header()->palette().empty());
    EXPECT_EQ(components(m, e, palette_bits), expected(narrow, palette_bits, 3, 100));
    e = op.engine(indexed(m, wide_in, 2, 16, palette_bits, 1, 4096));
    EXPECT_EQ(components(m, e, palette_bits), expected(wide, palette_bits, 1, 4096));
    expect_clean_end(m);
  }
}

TEST(ApplyPalette, OneBitIndicesFromTheTopBitIgnoringThePadding) {
  VEK_TestManager m;
  VEK_ApplyPalette op(&m);
  // Width 10: 1010 0101 | 01, then 0000 1111 | 10 with its padding bits set.
  const std::vector<uint8_t> in{0xA5, 0x40, 0x0F, 0xBF};
  VEK_Engine* e = op.engine(indexed(m, in, 10, 1, 8, 3, 2));
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->header()->line_bytes(), 30u);
  EXPECT_EQ(components(m, e, 8), expected({1, 0, 1, 0, 0, 1, 0, 1, 0, 1, 0, 0, 0, 0, 1, 1, 1, 1, 1, 0}, 8, 3, 2));
  // One 16-bit entry: a set bit gives zeros. Four lines of fewer than eight pixels.
  EXPECT_EQ(components(m, op.engine(indexed(m, in, 5, 1, 16, 1, 1)), 16),
            expected({1, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 1, 0, 1, 1, 1}, 16, 1, 1));
  expect_clean_end(m);
}

TEST(ApplyPalette, WithoutAPaletteEveryCreatorReturnsTheSource) {
  VEK_TestManager m;
  const std::vector<uint8_t> in{1, 2, 3, 4, 5, 6, 7, 8};
  for (uint16_t bits : {1, 8, 16}) {
    VEK_Header h(&m);
    make(h, 4, 1, bits, 1);
    VEK_Engine* source = read_samples(m, h, in);
    EXPECT_EQ(VEK_ApplyPalette(&m).engine(source), source);
    EXPECT_EQ(VEK_ApplyPalette1Bit(&m).engine(source), source);
    EXPECT_EQ(VEK_ApplyPalette8xNBits(&m).engine(source), source);
    EXPECT_EQ(collect(m, source), std::vector<uint8_t>(in.begin(), in.begin() + h.line_bytes()));
  }
  expect_clean_end(m);
}

TEST(ApplyPalette, RefusesWhatNoEngineCanIndexSafely) {
  VEK_TestManager m;
  VEK_ApplyPalette op(&m);
  EXPECT_EQ(op.engine(nullptr), nullptr);
  EXPECT_EQ(m.status().line(), 46u);
  expect_refused(m, 0x80800000u, "VEK_ApplyPalette::engine()", "vek_applypalette.cpp");

  const std::vector<uint8_t> in(8192, 0);
  const char* whole = "VEK_ApplyPalette8xNBitsEngine::initiate()";
  // 4-bit indices have no engine.
  EXPECT_EQ(op.engine(indexed(m, in, 4, 4, 8, 3, 3)), nullptr);
  EXPECT_EQ(m.status().line(), 60u);
  expect_refused(m, 0x81000000u, whole, "vek_applypalette8xnbitsengine_templ.h");
  // 16-bit components read from an 8-bit table would run past its end.
  class Wide : public VEK_EngineCreator {
   public:
    using VEK_EngineCreator::VEK_EngineCreator;
    VEK_Engine* engine(VEK_Engine* source) {
      return create_engine<VEK_ApplyPalette8xNBitsEngine<unsigned char, unsigned short>>(source);
    }
  };
  EXPECT_EQ(Wide(&m).engine(indexed(m, in, 4, 8, 8, 3, 256)), nullptr);
  expect_refused(m, 0x81000000u, whole, "vek_applypalette8xnbitsengine_templ.h");
  // One entry of 32768 16-bit components, widened to 65536 entries: 4 GiB.
  EXPECT_EQ(op.engine(indexed(m, in, 4, 16, 16, 32768, 1)), nullptr);
  expect_refused(m, 0x81000000u, "VEK_ApplyPaletteEngine::initiate()", "vek_applypaletteengine.cpp");
  // The same entry for 65536 one-bit pixels: an output line of 4 GiB.
  EXPECT_EQ(op.engine(indexed(m, in, 65536, 1, 16, 32768, 1)), nullptr);
  VEK_Status st(&m);
  EXPECT_FALSE(m.status(st));
  EXPECT_EQ(m.memory_manager().live(), kManagerParts);
}

TEST(PixelValue, EveryRefusedAllocationLeavesNoLeak) {
  // A paletted image through its palette; 12 stored bits extended and measured.
  const std::vector<uint8_t> indices{0, 1, 2, 3, 200, 5};
  const std::vector<uint16_t> stored{0x0800, 0x07FF, 0xF7FF, 0x1234};
  for (uint64_t n = 1;; ++n) {
    VEK_TestManager m;
    const uint64_t before = m.memory_manager().allocations();
    m.memory_manager().fail_nth(n);
    std::vector<uint16_t> colours;
    int minimum = 0, maximum = 0;
    {
      colours = components(m, VEK_ApplyPalette(&m).engine(indexed(m, indices, 3, 8, 8, 3, 4)), 8);
      VEK_Header h(&m);
      make(h, 2, 2, 16, 1, VEK_DataType::s_integer);
      VEK_Engine* extended = VEK_SignedExtension(&m).engine(read_samples(m, h, stored), 11);
      run(VEK_MinMaxPixelValue(&m).engine(extended, &minimum, &maximum));
    }
    const bool refused = m.memory_manager().allocations() - before >= n;
    const uint32_t code = m.status().full_code();
    if (code == 0) {
      EXPECT_EQ(colours, expected({0, 1, 2, 3, 200, 5}, 8, 3, 4));
      EXPECT_EQ(minimum, -2048);
      EXPECT_EQ(maximum, 2047);
    } else {
      EXPECT_EQ(code, 0x80010000u) << n;
    }
    m.clear();
    EXPECT_EQ(m.memory_manager().live(), kManagerParts) << "refusing allocation " << n;
    if (!refused) break;
  }
}
