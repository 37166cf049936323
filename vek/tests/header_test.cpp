#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "vek_header.h"
#include "vek_test_support.h"

namespace {

void set_image(VEK_Header& h, uint32_t w, uint32_t ht, uint16_t bits, uint16_t ch) {
  h.width(w);
  h.height(ht);
  h.bits(bits);
  h.channels(ch);
}

// A one-channel 8-bit palette header of the given sample bits and entries.
bool palette_header_valid(VEK_Manager* m, uint16_t bits, uint32_t entries, uint16_t entry_bits = 8) {
  VEK_Header h(m);
  set_image(h, 4, 4, bits, 1);
  h.color_type(VEK_ColorType_s_rgb::instance());
  h.palette().bits(entry_bits);
  h.palette().channels(3);
  h.palette().entries(entries);
  std::vector<uint8_t> data(size_t(h.palette().byte_size()), 1);
  EXPECT_TRUE(h.palette().value(data.data(), uint32_t(data.size())));
  return h.is_valid();
}

}  // namespace

TEST(Header, DefaultsAndPlainValidity) {
  VEK_TestManager m;
  VEK_Header h(&m);
  EXPECT_FALSE(h.is_valid());
  set_image(h, 1, 1, 8, 1);
  EXPECT_TRUE(h.is_valid());

  h.channels(0);
  EXPECT_FALSE(h.is_valid());  // none needs a non-zero count
  h.color_type(VEK_ColorType_unknown::instance());
  EXPECT_FALSE(h.is_valid());
  h.color_type(VEK_ColorType_gray::instance());
  h.channels(3);
  EXPECT_FALSE(h.is_valid());
  h.color_type(VEK_ColorType_cmyk::instance());
  EXPECT_FALSE(h.is_valid());
  h.channels(4);
  EXPECT_TRUE(h.is_valid());
}

TEST(Header, BitsPerDataType) {
  VEK_TestManager m;
  VEK_Header h(&m);
  set_image(h, 2, 2, 8, 1);
  auto accepts = [&](const VEK_DataType* t, uint16_t bits) {
    h.data_type(t);
    h.bits(bits);
    return h.is_valid();
  };
  for (uint16_t b : {1, 2, 4, 8, 16, 32}) EXPECT_TRUE(accepts(VEK_DataType::u_integer, b)) << b;
  EXPECT_FALSE(accepts(VEK_DataType::u_integer, 12));
  EXPECT_FALSE(accepts(VEK_DataType::u_integer, 64));
  EXPECT_FALSE(accepts(VEK_DataType::s_integer, 1));
  EXPECT_TRUE(accepts(VEK_DataType::s_integer, 16));
  EXPECT_TRUE(accepts(VEK_DataType::floating, 32));
  EXPECT_TRUE(accepts(VEK_DataType::floating, 64));
  EXPECT_FALSE(accepts(VEK_DataType::floating, 16));
  EXPECT_TRUE(accepts(VEK_DataType::unknown, 12));
  EXPECT_FALSE(accepts(VEK_DataType::unknown, 0));
}

TEST(Header, PaletteHeaders) {
  VEK_TestManager m;
  EXPECT_TRUE(palette_header_valid(&m, 8, 256));
  EXPECT_FALSE(palette_header_valid(&m, 8, 257));
  EXPECT_TRUE(palette_header_valid(&m, 1, 2));
  EXPECT_FALSE(palette_header_valid(&m, 1, 3));
  EXPECT_TRUE(palette_header_valid(&m, 4, 16));
  EXPECT_FALSE(palette_header_valid(&m, 4, 17));
  EXPECT_TRUE(palette_header_valid(&m, 16, 65536));
  EXPECT_FALSE(palette_header_valid(&m, 16, 65537));  // palette itself invalid
  EXPECT_FALSE(palette_header_valid(&m, 32, 2));
  EXPECT_FALSE(palette_header_valid(&m, 8, 4, 4));  // components must be 8 or 16 bits
  EXPECT_TRUE(palette_header_valid(&m, 8, 4, 16));

  VEK_Header h(&m);
  set_image(h, 4, 4, 8, 1);
  h.color_type(VEK_ColorType_s_rgb::instance());
  h.palette().bits(8);
  h.palette().channels(3);
  h.palette().entries(2);
  const uint8_t rgb[6] = {1, 2, 3, 4, 5, 6};
  ASSERT_TRUE(h.palette().value(rgb, 6));
  EXPECT_TRUE(h.is_valid());
  h.data_type(VEK_DataType::s_integer);
  EXPECT_FALSE(h.is_valid());
  h.data_type(VEK_DataType::u_integer);
  h.channels(3);
  EXPECT_FALSE(h.is_valid());
  h.channels(1);
  h.color_type(VEK_ColorType_gray::instance());  // describes the entries: 3 channels
  EXPECT_FALSE(h.is_valid());
}

TEST(Palette, ValueMustMatchGeometry) {
  VEK_TestManager m;
  VEK_Header::VEK_Palette p(&m);
  p.bits(16);
  p.channels(3);
  p.entries(256);
  std::vector<uint8_t> data(1536, 7);
  EXPECT_FALSE(p.value(data.data(), 1535));
  EXPECT_EQ(m.status().full_code(), 0x80800000u);
  EXPECT_STREQ(m.status().method(), "VEK_Header::VEK_Palette::value()");
  EXPECT_EQ(m.status().line(), 181u);
  EXPECT_STREQ(m.status().file(), "vek_header.cpp");
  m.clear();
  ASSERT_TRUE(p.value(data.data(), 1536));
  EXPECT_FALSE(p.value(data.data(), 1535));
  EXPECT_EQ(p.data()[1535], 7);  // old data kept
  EXPECT_FALSE(p.value(nullptr, 1536));
  EXPECT_FALSE(p.value(data.data(), 0));
  m.clear();

  VEK_Header::VEK_Palette none(&m);
  EXPECT_TRUE(none.value(nullptr, 0));
  EXPECT_TRUE(none.is_valid());

  // Clearing data: null and size 0 only fit a zero geometry.
  p.entries(0);
  EXPECT_TRUE(p.value(nullptr, 0));
  EXPECT_EQ(p.data(), nullptr);
  EXPECT_FALSE(p.is_valid());
  EXPECT_EQ(m.status().full_code(), 0u);
}

TEST(Header, AssignmentCopiesPaletteFirst) {
  VEK_TestManager m;
  VEK_Header src(&m), dst(&m);
  set_image(src, 10, 20, 8, 1);
  src.color_type(VEK_ColorType_s_rgb::instance());
  src.palette().bits(8);
  src.palette().channels(3);
  src.palette().entries(2);
  const uint8_t rgb[6] = {9, 8, 7, 6, 5, 4};
  ASSERT_TRUE(src.palette().value(rgb, 6));
  ASSERT_TRUE(dst = src);
  EXPECT_EQ(dst.width(), 10u);
  EXPECT_EQ(dst.color_type(), VEK_ColorType_s_rgb::instance());
  ASSERT_NE(dst.palette().data(), src.palette().data());
  EXPECT_EQ(std::memcmp(dst.palette().data(), rgb, 6), 0);
  EXPECT_TRUE(dst = dst);

  // Geometry without data: the copy fails and leaves the rest of the target alone.
  VEK_Header broken(&m), target(&m);
  set_image(broken, 1, 2, 16, 1);
  broken.palette().bits(8);
  broken.palette().channels(3);
  broken.palette().entries(300);
  set_image(target, 5, 6, 8, 3);
  target.palette().bits(8);
  target.palette().channels(1);
  target.palette().entries(2);
  const uint8_t two[2] = {1, 2};
  ASSERT_TRUE(target.palette().value(two, 2));
  EXPECT_FALSE(target = broken);
  EXPECT_EQ(target.width(), 5u);
  EXPECT_EQ(target.bits(), 8u);
  EXPECT_EQ(target.channels(), 3u);
  // The old 2-byte block must not survive under a 900-byte geometry.
  EXPECT_EQ(target.palette().data(), nullptr);
  EXPECT_EQ(m.status().full_code(), 0x80800000u);
  m.clear();

  // Out of memory while copying: false, nothing else copied.
  VEK_Header other(&m);
  m.memory_manager().fail_nth(1);
  EXPECT_FALSE(other = src);
  EXPECT_EQ(other.width(), 0u);
  EXPECT_EQ(m.status().code(), 0x80010000u);
}

TEST(Header, NullTypesAreRefused) {
  VEK_TestManager m;
  VEK_Header h(&m);
  h.data_type(nullptr);
  EXPECT_EQ(h.data_type(), VEK_DataType::u_integer);
  EXPECT_EQ(m.status().full_code(), 0x80800000u);
  EXPECT_STREQ(m.status().method(), "VEK_Header::data_type()");
  EXPECT_EQ(m.status().line(), 376u);
  m.clear();
  h.encode_type(nullptr);
  EXPECT_EQ(m.status().line(), 391u);
  m.clear();
  h.color_type(nullptr);
  EXPECT_EQ(m.status().line(), 406u);
  EXPECT_EQ(h.color_type(), VEK_ColorType_none::instance());
}

TEST(Header, LineBytes) {
  EXPECT_EQ(VEK_Header::line_bytes(9, 1, 1), 2u);
  EXPECT_EQ(VEK_Header::line_bytes(3, 12, 1), 5u);
  EXPECT_EQ(VEK_Header::line_bytes(5, 8, 3), 15u);
  // 64-bit samples, 4 channels, 2^28 pixels: 8 GiB a line, too large for a 32-bit size.
  VEK_TestManager m;
  VEK_Header h(&m);
  set_image(h, 1u << 28, 1, 64, 4);
  h.data_type(VEK_DataType::floating);
  h.color_type(VEK_ColorType_cmyk::instance());
  EXPECT_EQ(h.line_bytes(), 0u);
  EXPECT_FALSE(h.is_valid());
  set_image(h, (1u << 26) - 1, 1, 64, 4);
  EXPECT_TRUE(h.is_valid());
  EXPECT_EQ(h.line_bytes(), (uint64_t((1u << 26) - 1) * 32));
}
