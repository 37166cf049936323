#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "platform/platbudget.h"
#include "vek_readdicom.h"
#include "vek_readdicomrleframe.h"
#include "vek_readstorageinybr420.h"
#include "vek_readstorageinybr422.h"
#include "vek_readstorageplanar.h"
#include "vek_test_dicom.h"
#include "vek_test_engines.h"
#include "vek_test_jpeg.h"

namespace {

const char* kEngine = "VEK_ReadDICOM::engine()";
const char* kSegment = "VEK_ReadDICOMRLESegment::engine()";

struct Frame {
  VEK_Engine* engine = nullptr;
  std::vector<uint8_t> pixels;
  uint32_t width = 0, height = 0;
  uint16_t bits = 0, channels = 0;
  const VEK_DataType* type = nullptr;
  const VEK_ColorType* color = nullptr;
};

// One frame of a file through the whole chain into memory.
template <class Manager>
Frame read_frame(Manager& m, const std::vector<uint8_t>& file, uint32_t frame) {
  Frame out;
  auto* storage = vek_create<VEK_ByteArrayInputStorage>(&m, file.data(), int32_t(file.size()));
  VEK_DICOMInfo info(&m);
  if (storage == nullptr || !info.load(storage)) {
    vek_destroy(storage);
    return out;
  }
  out.engine = VEK_ReadDICOM(&m).engine(storage, info, frame);
  storage->destroy();
  if (out.engine == nullptr) return out;
  const VEK_Header* h = out.engine->header();
  out.width = h->width();
  out.height = h->height();
  out.bits = h->bits();
  out.channels = h->channels();
  out.type = h->data_type();
  out.color = h->color_type();
  run(TestFamily(&m).collect(out.engine, &out.pixels));
  return out;
}

// "<file> <frame> <hex>" lines of an oracle's list.
std::vector<uint8_t> expected_pixels(const std::string& file, uint32_t frame,
                                     const char* list = "readdicom_expected.txt") {
  std::ifstream in(std::string(VEK_TEST_DATA_DIR) + "/" + list);
  std::string name, hex;
  uint32_t k = 0;
  while (in >> name >> k >> hex)
    if (name == file && k == frame) {
      std::vector<uint8_t> v;
      for (size_t i = 0; i + 1 < hex.size(); i += 2) v.push_back(uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
      return v;
    }
  ADD_FAILURE() << "no expected pixels for " << file << " " << frame;
  return {};
}

// The 512 x 512 CT ramp of the fixture script: (i mod 4096) - 1024, little-endian.
std::vector<uint8_t> ct_ramp() {
  std::vector<uint8_t> v;
  for (int32_t i = 0; i < 512 * 512; ++i) {
    const int16_t s = int16_t(i % 4096 - 1024);
    v.push_back(uint8_t(s));
    v.push_back(uint8_t(uint16_t(s) >> 8));
  }
  return v;
}

void expect_ok(VEK_TestManager& m) {
  EXPECT_EQ(m.status().full_code(), 0u) << m.status().method() << " line " << m.status().line();
  m.clear();
}

// A fixture's frame equals the oracle's pixels for that frame; the chain's header for more checks.
Frame expect_oracle_frame(const char* name, uint32_t frame, const char* oracle = nullptr) {
  VEK_TestManager m;
  Frame f = read_frame(m, read_fixture(name), frame);
  EXPECT_NE(f.engine, nullptr) << name << " frame " << frame;
  EXPECT_EQ(f.pixels, expected_pixels(oracle != nullptr ? oracle : name, frame)) << name << " frame " << frame;
  expect_ok(m);
  return f;
}

// A native file of one image in memory.
struct Native {
  uint16_t rows = 1, columns = 1, bits = 8, samples = 1, planar = 0, frames = 0, signed_ = 0;
  std::string photometric = "MONOCHROME2";
  std::string syntax = "1.2.840.10008.1.2.1";
  bool big_endian = false;
};

// Explicit little endian unless big_endian, in which case the elements are swapped too.
std::vector<uint8_t> native_file(const Native& n, const std::vector<uint8_t>& pixels, bool with_photometric = true,
                                 const std::vector<uint8_t>* trailer = nullptr) {
  DicomBytes d = DicomBytes::part10(n.syntax);
  DicomBytes body;
  body.us(0x0028, 0x0002, {n.samples});
  if (with_photometric) body.text(0x0028, 0x0004, "CS", n.photometric);
  if (n.samples > 1) body.us(0x0028, 0x0006, {n.planar});
  if (n.frames != 0) body.text(0x0028, 0x0008, "IS", std::to_string(n.frames));
  body.us(0x0028, 0x0010, {n.rows});
  body.us(0x0028, 0x0011, {n.columns});
  body.us(0x0028, 0x0100, {n.bits});
  body.us(0x0028, 0x0101, {n.bits});
  body.us(0x0028, 0x0102, {uint16_t(n.bits - 1)});
  body.us(0x0028, 0x0103, {n.signed_});
  std::vector<uint8_t> value = pixels;
  if (value.size() % 2 != 0) value.push_back(0);
  body.element(0x7FE0, 0x0010, n.bits > 8 ? "OW" : "OB", value);
  if (trailer != nullptr) body.raw(*trailer);
  d.raw(body.bytes);
  return d.bytes;
}

// PackBits of a byte plane as literal runs of at most 128 bytes.
std::vector<uint8_t> literal_runs(const std::vector<uint8_t>& plane) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i < plane.size(); i += 128) {
    const size_t n = std::min<size_t>(128, plane.size() - i);
    out.push_back(uint8_t(n - 1));
    out.insert(out.end(), plane.begin() + i, plane.begin() + i + n);
  }
  if (out.size() % 2 != 0) out.push_back(0x80);
  return out;
}

// An RLE frame: header of N offsets, then the segments.
std::vector<uint8_t> rle_frame(const std::vector<std::vector<uint8_t>>& segments) {
  DicomBytes f;
  f.u32(uint32_t(segments.size()));
  uint32_t at = 64;
  for (size_t k = 0; k < 15; ++k) {
    f.u32(k < segments.size() ? at : 0);
    if (k < segments.size()) at += uint32_t(segments[k].size());
  }
  for (const auto& s : segments) f.raw(s);
  return f.bytes;
}

std::vector<uint8_t> rle_file(const Native& n, const std::vector<std::vector<uint8_t>>& fragments_per_frame,
                              const std::vector<uint32_t>& table = {}) {
  DicomBytes d = DicomBytes::part10("1.2.840.10008.1.2.5");
  d.us(0x0028, 0x0002, {n.samples});
  d.text(0x0028, 0x0004, "CS", n.photometric);
  if (n.samples > 1) d.us(0x0028, 0x0006, {0});
  if (n.frames != 0) d.text(0x0028, 0x0008, "IS", std::to_string(n.frames));
  d.us(0x0028, 0x0010, {n.rows});
  d.us(0x0028, 0x0011, {n.columns});
  d.us(0x0028, 0x0100, {n.bits});
  d.us(0x0028, 0x0101, {n.bits});
  d.us(0x0028, 0x0102, {uint16_t(n.bits - 1)});
  d.us(0x0028, 0x0103, {n.signed_});
  d.encapsulated(table, fragments_per_frame);
  return d.bytes;
}

}  // namespace

// Signed CT in every byte order equals the script's ramp (gdcmconv --raw and pydicom agree on it).
TEST(ReadDICOM, SignedCTInEveryByteOrder) {
  const std::vector<uint8_t> ramp = ct_ramp();
  for (const char* name : {"ct_implicit.dcm", "ct_explicit.dcm", "ct_bigendian.dcm"}) {
    VEK_TestManager m;
    const Frame f = read_frame(m, read_fixture(name), 0);
    ASSERT_NE(f.engine, nullptr) << name;
    EXPECT_EQ(f.type, VEK_DataType::s_integer) << name;
    EXPECT_EQ(f.bits, 16);
    EXPECT_TRUE(f.pixels == ramp) << name;
    expect_ok(m);
  }
}

// 8-bit samples written big-endian as OW have their byte pairs swapped on disc; OB stays.
TEST(ReadDICOM, EightBitBigEndianOWReadsInWrittenOrder) {
  for (const char* name : {"ob8_be.dcm", "ow8_be.dcm"}) expect_oracle_frame(name, 0);
  // The second frame of two 3-byte frames starts inside a pair.
  for (uint32_t k = 0; k < 2; ++k) expect_oracle_frame("ow8_2f_be.dcm", k);
}

TEST(ReadDICOM, PlanarAndInterleavedColourEqualPydicom) {
  EXPECT_EQ(expect_oracle_frame("rgb_planar.dcm", 0).channels, 3);
  EXPECT_EQ(expect_oracle_frame("ybr_planar.dcm", 0).color, VEK_ColorType_ycbcr::instance());
}

// Stored Y0 Y1 Cb Cr per two pixels; odd pixels take the mean of the neighbouring chroma.
std::vector<uint8_t> widen422(const std::vector<uint8_t>& stored, uint32_t width, uint32_t height) {
  std::vector<uint8_t> out;
  const uint32_t pairs = (width + 1) / 2;
  for (uint32_t y = 0; y < height; ++y) {
    const uint8_t* g = stored.data() + y * pairs * 4;
    for (uint32_t x = 0; x < width; ++x) {
      const uint32_t i = x / 2;
      if (x % 2 == 0) {
        out.insert(out.end(), {g[4 * i], g[4 * i + 2], g[4 * i + 3]});
      } else if (i + 1 < pairs) {
        out.insert(out.end(), {g[4 * i + 1], uint8_t((g[4 * i + 2] + g[4 * i + 6]) / 2),
                               uint8_t((g[4 * i + 3] + g[4 * i + 7]) / 2)});
      } else {
        out.insert(out.end(), {g[4 * i + 1], g[4 * i + 2], g[4 * i + 3]});
      }
    }
  }
  return out;
}

TEST(ReadDICOM, YbrFull422WidensChroma) {
  Native n;
  n.samples = 3;
  n.photometric = "YBR_FULL_422";
  n.columns = 4;
  {
    VEK_TestManager m;
    const Frame f = read_frame(m, native_file(n, {10, 20, 100, 200, 30, 40, 110, 210}), 0);
    ASSERT_NE(f.engine, nullptr);
    EXPECT_EQ(f.pixels, (std::vector<uint8_t>{10, 100, 200, 20, 105, 205, 30, 110, 210, 40, 110, 210}));
    EXPECT_EQ(f.color, VEK_ColorType_ycbcr::instance());
    expect_ok(m);
  }
  for (uint16_t width : {5, 1}) {
    n.columns = width;
    n.rows = 2;
    std::vector<uint8_t> stored;
    for (uint32_t i = 0; i < 2u * (width + 1) / 2 * 4; ++i) stored.push_back(uint8_t(i * 37 + 11));
    VEK_TestManager m;
    const Frame f = read_frame(m, native_file(n, stored), 0);
    ASSERT_NE(f.engine, nullptr);
    EXPECT_EQ(f.pixels, widen422(stored, width, 2)) << width;
    expect_ok(m);
  }
}

// 16-bit samples in big endian are byte-reversed before the pixels are built.
TEST(ReadStorageInYBR422, SixteenBitBigEndianAndSignedMeans) {
  VEK_TestManager m;
  VEK_Header h(&m);
  make(h, 2, 1, 16, 3);
  h.color_type(VEK_ColorType_ycbcr::instance());
  const std::vector<uint8_t> stored{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
  auto* s = vek_create<VEK_ByteArrayInputStorage>(&m, stored.data(), int32_t(stored.size()));
  std::vector<uint8_t> out;
  run(TestFamily(&m).collect(VEK_ReadStorageInYBR422(&m).engine(s, h, 2), &out));
  s->destroy();
  EXPECT_EQ(out, (std::vector<uint8_t>{0x02, 0x01, 0x06, 0x05, 0x08, 0x07, 0x04, 0x03, 0x06, 0x05, 0x08, 0x07}));
  expect_ok(m);
  // Signed chroma -3 and 2 average to 0, rounded toward zero.
  make(h, 4, 1, 8, 3, VEK_DataType::s_integer);
  const std::vector<uint8_t> chroma{1, 2, uint8_t(-3), uint8_t(-3), 3, 4, 2, 2};
  s = vek_create<VEK_ByteArrayInputStorage>(&m, chroma.data(), int32_t(chroma.size()));
  out.clear();
  run(TestFamily(&m).collect(VEK_ReadStorageInYBR422(&m).engine(s, h, 1), &out));
  s->destroy();
  ASSERT_EQ(out.size(), 12u);
  EXPECT_EQ(out[4], 0);
  EXPECT_EQ(out[5], 0);
  expect_ok(m);
}

// A storage that ends inside a line fails there; 4 channels or RGB are refused at the start.
TEST(ReadStorageInYBR422, ShortStoragesAndUnfitHeaders) {
  VEK_TestManager m;
  VEK_Header h(&m);
  make(h, 4, 2, 8, 3);
  h.color_type(VEK_ColorType_ycbcr::instance());
  const std::vector<uint8_t> stored(12, 7);
  auto* s = vek_create<VEK_ByteArrayInputStorage>(&m, stored.data(), int32_t(stored.size()));
  std::vector<uint8_t> out;
  run(TestFamily(&m).collect(VEK_ReadStorageInYBR422(&m).engine(s, h, 1), &out));
  EXPECT_EQ(out.size(), 12u);
  EXPECT_REPORT(m, 0x80400000u, "VEK_ReadStorageInYBR422Engine::execute()", 159u);
  h.color_type(VEK_ColorType_s_rgb::instance());
  EXPECT_EQ(VEK_ReadStorageInYBR422(&m).engine(s, h, 1), nullptr);
  EXPECT_REPORT(m, 0x81000000u, "VEK_ReadStorageInYBR422Engine::initiate()", 245u);
  h.color_type(VEK_ColorType_ycbcr::instance());
  h.channels(4);
  EXPECT_EQ(VEK_ReadStorageInYBR420(&m).engine(s, h, 1), nullptr);
  EXPECT_REPORT(m, 0x81000000u, "VEK_ReadStorageInYBR420Engine::initiate()", 291u);
  // Columns the 31-bit storages cannot read in one line.
  h.channels(3);
  h.width(0x7FFFFFFF);
  h.bits(16);
  EXPECT_EQ(VEK_ReadStorageInYBR422(&m).engine(s, h, 1), nullptr);
  EXPECT_EQ(m.status().full_code(), 0x81000000u);
  m.clear();
  s->destroy();
}

// Partial-range YCbCr comes out RGB through the matrix; 4:2:0 rows share the even row's chroma.
TEST(ReadDICOM, PartialRangeYbrBecomesRgb) {
  const auto rgb = [](double y, double cb, double cr) {
    const double Y = 1.164415463437 * (y - 16), b = cb - 128, r = cr - 128;
    return std::vector<double>{Y - 0.000095035992 * b + 1.59600187763 * r, Y - 0.391724563674 * b - 0.813013368277 * r,
                               Y + 2.017290682233 * b - 0.000135273005 * r};
  };
  Native n;
  n.samples = 3;
  n.columns = 2;
  n.rows = 3;
  for (const char* pi : {"YBR_PARTIAL_422", "YBR_PARTIAL_420"}) {
    n.photometric = pi;
    const bool s420 = std::string(pi) == "YBR_PARTIAL_420";
    // Rows: Y0 Y1 Cb Cr; the odd row of 4:2:0 holds luma only.
    std::vector<uint8_t> stored{60, 90, 100, 150, 120, 130, 200, 80, 180, 30, 140, 120};
    std::vector<std::vector<double>> expected{rgb(60, 100, 150), rgb(90, 100, 150)};
    if (s420) {
      stored = {60, 90, 100, 150, 120, 130, 180, 30, 140, 120};
      expected.push_back(rgb(120, 100, 150));
      expected.push_back(rgb(130, 100, 150));
    } else {
      expected.push_back(rgb(120, 200, 80));
      expected.push_back(rgb(130, 200, 80));
    }
    expected.push_back(rgb(180, 140, 120));
    expected.push_back(rgb(30, 140, 120));
    VEK_TestManager m;
    const Frame f = read_frame(m, native_file(n, stored), 0);
    ASSERT_NE(f.engine, nullptr) << pi;
    EXPECT_EQ(f.color, VEK_ColorType_s_rgb::instance());
    ASSERT_EQ(f.pixels.size(), 18u);
    for (size_t p = 0; p < 6; ++p)
      for (size_t c = 0; c < 3; ++c)
        EXPECT_NEAR(f.pixels[p * 3 + c], std::clamp(expected[p][c], 0.0, 255.0), 1.0) << pi << " pixel " << p;
    expect_ok(m);
  }
}

TEST(ReadDICOM, CmykAndMonochrome1KeepTheirSamples) {
  Native n;
  n.samples = 4;
  n.photometric = "CMYK";
  n.columns = 2;
  std::vector<uint8_t> stored{1, 2, 3, 4, 5, 6, 7, 8};
  VEK_TestManager m;
  Frame f = read_frame(m, native_file(n, stored), 0);
  ASSERT_NE(f.engine, nullptr);
  EXPECT_EQ(f.channels, 4);
  EXPECT_EQ(f.pixels, stored);
  expect_ok(m);
  n.samples = 1;
  n.photometric = "MONOCHROME1";
  stored = {9, 250};
  f = read_frame(m, native_file(n, stored), 0);
  ASSERT_NE(f.engine, nullptr);
  EXPECT_EQ(f.pixels, stored);
  EXPECT_EQ(f.color, VEK_ColorType_gray_reverse::instance());
  expect_ok(m);
}

// Palettes native and RLE, plain and segmented tables, equal pydicom's apply_color_lut.
TEST(ReadDICOM, PaletteColourEqualsApplyColorLut) {
  for (const char* name : {"pal_8_8.dcm", "pal_8_16.dcm", "pal_16_0.dcm", "pal_seg.dcm"}) {
    VEK_TestManager m;
    const std::vector<uint8_t> file = read_fixture(name);
    const Frame f = read_frame(m, file, 0);
    ASSERT_NE(f.engine, nullptr) << name;
    ASSERT_EQ(f.channels, 3);
    VEK_DICOMInfo info(&m);
    ASSERT_TRUE(load_bytes(info, m, file));
    const uint32_t bytes = f.bits / 8u;
    const uint32_t index_bytes = info.bits() / 8u;
    const uint32_t value_at = info.get_frame_positions(0)[0];
    const auto& table = expected_values();
    for (uint32_t p = 0; p < f.width * f.height; p += 7) {
      uint32_t index = file[value_at + p * index_bytes];
      if (index_bytes == 2) index |= uint32_t(file[value_at + p * 2 + 1]) << 8;
      const auto it = table.find(std::string(name) + " entry " + std::to_string(index));
      ASSERT_NE(it, table.end()) << name << " " << index;
      for (uint32_t c = 0; c < 3; ++c) {
        uint32_t v = f.pixels[(p * 3 + c) * bytes];
        if (bytes == 2) v |= uint32_t(f.pixels[(p * 3 + c) * 2 + 1]) << 8;
        EXPECT_EQ(v, std::stoul(it->second[c])) << name << " pixel " << p;
      }
    }
    expect_ok(m);
  }
  for (const char* name : {"rle_pal_8_8.dcm", "rle_pal_seg.dcm"}) expect_oracle_frame(name, 0);
}

// Every RLE frame equals dcmdrle's output; the CT from dcmcrle and gdcmconv comes out signed.
TEST(ReadDICOM, RleFramesEqualDcmdrle) {
  const std::vector<uint8_t> ramp = ct_ramp();
  for (const char* name : {"rle_ct_dcmtk.dcm", "rle_ct_gdcm.dcm"}) {
    VEK_TestManager m;
    const Frame f = read_frame(m, read_fixture(name), 0);
    ASSERT_NE(f.engine, nullptr) << name;
    EXPECT_EQ(f.type, VEK_DataType::s_integer);
    EXPECT_TRUE(f.pixels == ramp) << name;
    expect_ok(m);
  }
  EXPECT_EQ(expect_oracle_frame("rle_rgb.dcm", 0).color, VEK_ColorType_s_rgb::instance());
  // Three frames, with and without offset tables, in one fragment or several per frame.
  for (const char* name : {"rle3_ot.dcm", "rle3_noot.dcm", "rle3_fs_ot.dcm", "rle3_fs_noot.dcm", "native3.dcm"})
    for (uint32_t k = 0; k < 3; ++k)
      EXPECT_EQ(expect_oracle_frame(name, k, "rle3_ot.dcm").type, VEK_DataType::s_integer);
}

// 4:2:2 RLE frames: luma full width, chroma planes half width; whole samples paired for 16 bits.
TEST(ReadDICOM, RleYbrFull422EqualsNative422) {
  for (uint16_t bits : {8, 16}) {
    const uint32_t w = 6, h = 3, bytes = bits / 8u;
    // Stored samples as native 4:2:2: per line (w / 2) groups Y0 Y1 Cb Cr.
    std::vector<uint32_t> y(w * h), cb(w / 2 * h), cr(w / 2 * h);
    for (uint32_t i = 0; i < y.size(); ++i) y[i] = (i * 2654435761u) >> (bits == 8 ? 24 : 16);
    for (uint32_t i = 0; i < cb.size(); ++i) {
      cb[i] = (i * 40503u + 7) % (1u << bits);
      cr[i] = (i * 977u + 1234) % (1u << bits);
    }
    std::vector<std::vector<uint8_t>> segments;
    for (const auto* plane : {&y, &cb, &cr})
      for (uint32_t b = bytes; b-- > 0;) {
        std::vector<uint8_t> p;
        for (uint32_t v : *plane) p.push_back(uint8_t(v >> (8 * b)));
        segments.push_back(literal_runs(p));
      }
    Native n;
    n.samples = 3;
    n.photometric = "YBR_FULL_422";
    n.columns = uint16_t(w);
    n.rows = uint16_t(h);
    n.bits = bits;
    VEK_TestManager m;
    const Frame f = read_frame(m, rle_file(n, {rle_frame(segments)}), 0);
    ASSERT_NE(f.engine, nullptr) << bits;
    std::vector<uint8_t> expected;
    for (uint32_t row = 0; row < h; ++row)
      for (uint32_t x = 0; x < w; ++x) {
        const uint32_t i = row * (w / 2) + x / 2;
        const bool mean = x % 2 == 1 && x / 2 + 1 < w / 2;
        for (uint32_t v :
             {y[row * w + x], mean ? (cb[i] + cb[i + 1]) / 2 : cb[i], mean ? (cr[i] + cr[i + 1]) / 2 : cr[i]})
          for (uint32_t b = 0; b < bytes; ++b) expected.push_back(uint8_t(v >> (8 * b)));
      }
    EXPECT_EQ(f.pixels, expected) << bits;
    expect_ok(m);
  }
}

// One RLE segment of the given PackBits bytes for a gray 8-bit frame, decoded.
std::vector<uint8_t> decode_plane(VEK_TestManager& m, uint32_t width, uint32_t height,
                                  const std::vector<uint8_t>& packed) {
  const std::vector<uint8_t> frame = rle_frame({packed});
  VEK_Header h(&m);
  make_gray(h, width, height);
  auto* s = vek_create<VEK_ByteArrayInputStorage>(&m, frame.data(), int32_t(frame.size()));
  std::vector<uint8_t> out;
  run(TestFamily(&m).collect(VEK_ReadDICOMRLEFrame(&m).engine(s, h, uint32_t(frame.size())), &out));
  s->destroy();
  return out;
}

TEST(DecodePackBits, RunsCrossLineEndsAndBlockRefills) {
  VEK_TestManager m;
  // 5 literal bytes leave 10 on a line of 15; a run of 128 (-127) writes 10 there, 118 on the next.
  std::vector<uint8_t> packed{4, 1, 2, 3, 4, 5, 0x81, 9, 0x80, 0x80, 0x80, 1, 0x55, 0x66};
  // -128 writes nothing: the next header follows directly.
  std::vector<uint8_t> out = decode_plane(m, 15, 9, packed);
  ASSERT_EQ(out.size(), 135u) << m.status().method() << m.status().line();
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 5), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(std::count(out.begin() + 5, out.begin() + 133, 9), 128);
  EXPECT_EQ(out[133], 0x55);
  EXPECT_EQ(out[134], 0x66);
  expect_ok(m);
  // A literal run across the workflow's 4096-byte block.
  std::vector<uint8_t> plane(100 * 90);
  for (size_t i = 0; i < plane.size(); ++i) plane[i] = uint8_t(i * 13 + i / 100);
  out = decode_plane(m, 100, 90, literal_runs(plane));
  EXPECT_EQ(out, plane);
  expect_ok(m);
}

TEST(DecodePackBits, BadSegmentsAndHeadersAreReported) {
  VEK_TestManager m;
  // A segment cut short fails at the line it was in; earlier lines are delivered.
  const std::vector<uint8_t> out = decode_plane(m, 4, 3, {3, 1, 2, 3, 4, 3, 5});
  EXPECT_EQ(out, (std::vector<uint8_t>{1, 2, 3, 4}));
  EXPECT_REPORT(m, 0x80400000u, "VEK_DecodePackBitsFastEngine::execute()", 46u);

  VEK_Header h(&m);
  make_gray(h, 2, 1, 16);
  const auto segment_report = [&](std::vector<uint8_t> frame, uint32_t length, uint32_t line) {
    auto* s = vek_create<VEK_ByteArrayInputStorage>(&m, frame.data(), int32_t(frame.size()));
    EXPECT_EQ(VEK_ReadDICOMRLEFrame(&m).engine(s, h, length), nullptr);
    s->destroy();
    EXPECT_EQ(m.status().full_code(), 0x80400000u);
    EXPECT_STREQ(m.status().method(), kSegment);
    EXPECT_EQ(m.status().line(), line);
    m.clear();
  };
  const std::vector<uint8_t> one{1, 7, 8};
  // N = 3 for 16-bit grey, and a first offset of 68.
  std::vector<uint8_t> three = rle_frame({one, one, one});
  segment_report(three, uint32_t(three.size()), 105);
  std::vector<uint8_t> two = rle_frame({one, one});
  std::vector<uint8_t> shifted = two;
  shifted[4] = 68;
  segment_report(shifted, uint32_t(shifted.size()), 105);
  // Frame length 0 would leave the segments unbounded.
  segment_report(two, 0, 105);
  // Offsets that do not rise, and a last offset at the frame's end.
  std::vector<uint8_t> falling = two;
  falling[8] = 64;
  segment_report(falling, uint32_t(falling.size()), 151);
  segment_report(two, 67, 151);

  // Odd-width 4:2:2 RLE.
  make(h, 3, 1, 8, 3);
  h.color_type(VEK_ColorType_ycbcr::instance());
  auto* s = vek_create<VEK_ByteArrayInputStorage>(&m, two.data(), int32_t(two.size()));
  EXPECT_EQ(VEK_ReadDICOMRLEFrameInYBR422(&m).engine(s, h, uint32_t(two.size())), nullptr);
  s->destroy();
  EXPECT_REPORT(m, 0x81000000u, "VEK_ReadDICOMRLEFrameInYBR422::engine()", 59u);
}

TEST(ReadDICOM, FrameIndexesAndMissingPhotometric) {
  VEK_TestManager m;
  const std::vector<uint8_t> file = read_fixture("native3.dcm");
  for (uint32_t frame : {3u, 0xFFFFFFFFu}) {
    EXPECT_EQ(read_frame(m, file, frame).engine, nullptr);
    EXPECT_REPORT(m, 0x80800000u, kEngine, 107u);
  }
  Native n;
  n.columns = 2;
  const Frame f = read_frame(m, native_file(n, {1, 2}, false), 0);
  EXPECT_EQ(f.engine, nullptr);
  EXPECT_EQ(m.status().full_code(), 0u);
}

// Fragments of 1000, 2000 and 500 bytes are one frame of 3500 bytes.
TEST(ReadDICOM, FragmentsReadAsOneFrame) {
  std::vector<uint8_t> plane(60 * 50);
  for (size_t i = 0; i < plane.size(); ++i) plane[i] = uint8_t(i * 7 + i / 60);
  std::vector<uint8_t> frame = rle_frame({literal_runs(plane)});
  ASSERT_LT(frame.size(), 3500u);
  frame.resize(3500, 0x80);  // no-operation headers after the plane
  Native n;
  n.columns = 60;
  n.rows = 50;
  const std::vector<std::vector<uint8_t>> fragments{{frame.begin(), frame.begin() + 1000},
                                                    {frame.begin() + 1000, frame.begin() + 3000},
                                                    {frame.begin() + 3000, frame.end()}};
  for (const auto& table : {std::vector<uint32_t>{}, std::vector<uint32_t>{0}}) {
    VEK_TestManager m;
    const std::vector<uint8_t> file = rle_file(n, fragments, table);
    VEK_DICOMInfo info(&m);
    ASSERT_TRUE(load_bytes(info, m, file));
    ASSERT_EQ(info.get_frame_lengths(0).size(), 3u);
    const Frame f = read_frame(m, file, 0);
    ASSERT_NE(f.engine, nullptr);
    EXPECT_EQ(f.pixels, plane);
    expect_ok(m);
  }
}

// A 16-bit frame's two segments in seven-byte fragments with empty ones between: the reader
// goes back and forth between its segments, across fragments, and gets every sample.
TEST(ReadDICOM, SegmentsReadAcrossFragmentsInAnyOrder) {
  const uint32_t w = 40, h = 30;
  std::vector<uint8_t> high, low, expected;
  for (uint32_t i = 0; i < w * h; ++i) {
    const uint32_t v = (i * 2654435761u) >> 16;
    high.push_back(uint8_t(v >> 8));
    low.push_back(uint8_t(v));
    expected.push_back(uint8_t(v));
    expected.push_back(uint8_t(v >> 8));
  }
  const std::vector<uint8_t> frame = rle_frame({literal_runs(high), literal_runs(low)});
  std::vector<std::vector<uint8_t>> split;
  for (size_t i = 0; i < frame.size(); i += 7) {
    split.push_back({frame.begin() + i, frame.begin() + std::min(frame.size(), i + 7)});
    if (i % 21 == 0) split.push_back({});
  }
  Native n;
  n.columns = uint16_t(w);
  n.rows = uint16_t(h);
  n.bits = 16;
  VEK_TestManager m;
  const Frame f = read_frame(m, rle_file(n, split), 0);
  ASSERT_NE(f.engine, nullptr);
  EXPECT_EQ(f.pixels, expected);
  expect_ok(m);
}

// A frame in two-byte fragments with empty ones between reads as the whole frame. One more
// fragment than a frame may have and it is refused, with no more of it kept than the bound.
TEST(ReadDICOM, ManyFragmentsReadUpToTheirBound) {
  std::vector<uint8_t> plane(60 * 50);
  for (size_t i = 0; i < plane.size(); ++i) plane[i] = uint8_t(i * 5 + i / 60);
  std::vector<uint8_t> frame = rle_frame({literal_runs(plane)});
  frame.resize(frame.size() + frame.size() % 2, 0x80);
  Native n;
  n.columns = 60;
  n.rows = 50;
  std::vector<std::vector<uint8_t>> split;
  for (size_t i = 0; i < frame.size(); i += 2) {
    split.push_back({frame[i], frame[i + 1]});
    split.push_back({});
  }
  VEK_TestManager m;
  const Frame f = read_frame(m, rle_file(n, split), 0);
  ASSERT_NE(f.engine, nullptr);
  EXPECT_EQ(f.pixels, plane);
  expect_ok(m);

  std::vector<std::vector<uint8_t>> crowded(VEK_DICOM_MAX_FRAGMENTS_PER_FRAME, std::vector<uint8_t>());
  crowded.front() = frame;
  for (const uint32_t extra : {0u, 1u}) {
    crowded.resize(VEK_DICOM_MAX_FRAGMENTS_PER_FRAME + extra);
    const std::vector<uint8_t> file = rle_file(n, crowded);
    VEK_DICOMInfo info(&m);
    ASSERT_TRUE(load_bytes(info, m, file));
    EXPECT_EQ(info.frames().fragment_count(0), VEK_DICOM_MAX_FRAGMENTS_PER_FRAME);
    EXPECT_EQ(info.frames().crowded(0), extra != 0);
    EXPECT_LE(info.frames().held_bytes(), uint64_t(VEK_DICOM_MAX_FRAGMENTS_PER_FRAME) * 8 * 2);
    const Frame g = read_frame(m, file, 0);
    EXPECT_EQ(g.engine != nullptr, extra == 0) << extra;
    EXPECT_EQ(m.status().full_code(), extra == 0 ? 0u : 0x80400000u);
    m.clear();
  }
}

// A native value shorter than the header needs fails instead of showing what follows.
TEST(ReadDICOM, ShortNativeValueFails) {
  Native n;
  n.columns = 4;
  n.rows = 4;
  DicomBytes trailer;
  trailer.text(0xFFFC, 0xFFFC, "OB", "padding bytes to read");
  VEK_TestManager m;
  const Frame f = read_frame(m, native_file(n, std::vector<uint8_t>(8, 3), true, &trailer.bytes), 0);
  if (f.engine != nullptr) {
    EXPECT_EQ(f.pixels.size(), 8u);
  }
  EXPECT_EQ(m.status().full_code(), 0x80400000u);
}

namespace {

// Refuses each allocation of frame 0's chain in turn until a run completes: each refused run
// stores 0x80010000 and leaves nothing live; the completed run gives expected. A refused copy of
// a JPEG APPn segment is only skipped, so such a run still delivers the frame.
void expect_refusals_leak_nothing(const char* name, const std::vector<uint8_t>& expected) {
  const std::vector<uint8_t> file = read_fixture(name);
  bool completed = false;
  for (uint64_t n = 1; !completed && n < 2000; ++n) {
    VEK_TestManager m;
    const size_t base = m.memory_manager().live();
    {
      auto* storage = vek_create<VEK_ByteArrayInputStorage>(&m, file.data(), int32_t(file.size()));
      ASSERT_NE(storage, nullptr);
      VEK_DICOMInfo info(&m);
      ASSERT_TRUE(info.load(storage));
      m.memory_manager().fail_nth(n);
      VEK_Engine* e = VEK_ReadDICOM(&m).engine(storage, info, 0);
      storage->destroy();
      std::vector<uint8_t> out;
      if (e != nullptr) run(TestFamily(&m).collect(e, &out));
      // DCMTK's JFIF segments give an aspect ratio only, which the codec warns about.
      const uint32_t code = m.status().full_code();
      if (code == 0 || code == 0x40200010u) {
        completed = true;
        EXPECT_EQ(out, expected) << name;
      } else {
        EXPECT_EQ(code, 0x80010000u) << name << " refusing " << n << " " << m.status().method();
      }
      m.memory_manager().fail_nth(0);
      m.clear();
    }
    EXPECT_EQ(m.memory_manager().live(), base) << name << " refusing " << n;
  }
  EXPECT_TRUE(completed) << name;
}

}  // namespace

// Refusing each allocation of an RLE RGB chain and of a planar chain: null or 0x80010000, no leak.
TEST(ReadDICOM, RefusingEachAllocationLeaksNothing) {
  for (const char* name : {"rle_rgb.dcm", "rgb_planar.dcm"})
    expect_refusals_leak_nothing(name, expected_pixels(name, 0));
}

// Allocations of a chain do not grow with the height: nothing is allocated per line.
TEST(ReadDICOM, AllocationsDoNotGrowWithTheHeight) {
  const auto allocations = [](const std::vector<uint8_t>& file) {
    VEK_TestManager m;
    auto* storage = vek_create<VEK_ByteArrayInputStorage>(&m, file.data(), int32_t(file.size()));
    VEK_DICOMInfo info(&m);
    EXPECT_TRUE(info.load(storage));
    const uint64_t before = m.memory_manager().allocations();
    std::vector<uint8_t> out;
    out.reserve(1 << 20);
    run(TestFamily(&m).collect(VEK_ReadDICOM(&m).engine(storage, info, 0), &out));
    storage->destroy();
    EXPECT_EQ(m.status().full_code(), 0u);
    EXPECT_EQ(out.size(), uint64_t(info.line_bytes()) * info.height());
    return m.memory_manager().allocations() - before;
  };
  for (uint16_t bits : {8, 16}) {
    std::vector<uint64_t> counts;
    for (uint16_t rows : {16, 256}) {
      Native n;
      n.columns = 64;
      n.rows = rows;
      n.bits = bits;
      std::vector<uint8_t> plane(64u * rows);
      for (size_t i = 0; i < plane.size(); ++i) plane[i] = uint8_t(i * 5);
      const std::vector<uint8_t> segment = literal_runs(plane);
      counts.push_back(
          allocations(rle_file(n, {rle_frame(bits == 8 ? std::vector<std::vector<uint8_t>>{segment}
                                                       : std::vector<std::vector<uint8_t>>{segment, segment})})));
      n.samples = 3;
      n.bits = 8;
      n.planar = 1;
      n.photometric = "RGB";
      counts.push_back(allocations(native_file(n, std::vector<uint8_t>(64u * rows * 3, 9))));
      n.planar = 0;
      n.photometric = "YBR_PARTIAL_420";
      counts.push_back(allocations(native_file(n, std::vector<uint8_t>(64u * rows * 3 / 2, 9))));
      n.bits = bits;
    }
    EXPECT_EQ(counts[0], counts[3]) << bits << "-bit RLE";
    EXPECT_EQ(counts[1], counts[4]) << "planar";
    EXPECT_EQ(counts[2], counts[5]) << "4:2:0";
  }
}

// Planes the 31-bit storages cannot address are refused instead of wrapping around.
TEST(ReadStoragePlanar, HugePlanesAreRefused) {
  VEK_TestManager m;
  VEK_Header h(&m);
  make(h, 70000, 70000, 16, 3);
  h.color_type(VEK_ColorType_s_rgb::instance());
  const std::vector<uint8_t> bytes(64, 1);
  auto* s = vek_create<VEK_ByteArrayInputStorage>(&m, bytes.data(), int32_t(bytes.size()));
  EXPECT_EQ(VEK_ReadStoragePlanar(&m).engine(s, h, 0, 0, 1), nullptr);
  EXPECT_REPORT(m, 0x80020000u, "VEK_ReadStoragePlanar::engine()", 97u);
  // Planar RGB, 8 bits, 2 x 2: R R R R G G G G B B B B gives interleaved pixels.
  make(h, 2, 2, 8, 3);
  const std::vector<uint8_t> planes{1, 2, 3, 4, 11, 12, 13, 14, 21, 22, 23, 24};
  auto* p = vek_create<VEK_ByteArrayInputStorage>(&m, planes.data(), int32_t(planes.size()));
  std::vector<uint8_t> out;
  run(TestFamily(&m).collect(VEK_ReadStoragePlanar(&m).engine(p, h, 0, 0, 1), &out));
  EXPECT_EQ(out, (std::vector<uint8_t>{1, 11, 21, 2, 12, 22, 3, 13, 23, 4, 14, 24}));
  s->destroy();
  p->destroy();
  EXPECT_EQ(m.status().full_code(), 0u);
}

// ---- JPEG frames ------------------------------------------------------------------------

namespace {

// Lossy frames: every sample within max of the oracle's, the mean absolute difference at most mean.
void expect_near(const std::vector<uint8_t>& got, const std::vector<uint8_t>& want, int max, double mean,
                 const std::string& what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  int worst = 0;
  double sum = 0;
  for (size_t i = 0; i < got.size(); ++i) {
    const int d = std::abs(int(got[i]) - int(want[i]));
    worst = std::max(worst, d);
    sum += d;
  }
  EXPECT_LE(worst, max) << what;
  EXPECT_LE(sum / double(got.size()), mean) << what;
}

// No error; DCMTK's JFIF segments give an aspect ratio only, which the codec warns about.
void expect_decoded(VEK_TestManager& m, const std::string& what) {
  const uint32_t code = m.status().full_code();
  EXPECT_TRUE(code == 0 || code == 0x40200010u) << what << " " << std::hex << code << " " << m.status().method();
  m.clear();
}

// A JPEG fixture's frame equals the oracle's pixels exactly.
Frame expect_jpeg_oracle_frame(const char* name) {
  VEK_TestManager m;
  Frame f = read_frame(m, read_fixture(name), 0);
  EXPECT_NE(f.engine, nullptr) << name;
  EXPECT_EQ(f.pixels, expected_pixels(name, 0)) << name;
  expect_decoded(m, name);
  return f;
}

}  // namespace

// Lossless CT from dcmcjpeg (first-order and selectable predictors) and gdcmconv equals the
// native ramp, signed like the native file; RGB stays RGB.
TEST(ReadDICOMJPEG, LosslessFramesAreBitExact) {
  const std::vector<uint8_t> ramp = ct_ramp();
  for (const char* name : {"jpeg_ct_e1.dcm", "jpeg_ct_el.dcm", "jpeg_ct_gdcm.dcm"}) {
    VEK_TestManager m;
    const Frame f = read_frame(m, read_fixture(name), 0);
    ASSERT_NE(f.engine, nullptr) << name << " " << m.status().method() << " line " << m.status().line();
    EXPECT_EQ(f.type, VEK_DataType::s_integer) << name;
    EXPECT_EQ(f.bits, 16);
    EXPECT_EQ(f.color, VEK_ColorType_gray::instance());
    EXPECT_TRUE(f.pixels == ramp) << name;
    expect_decoded(m, name);
  }
  const Frame rgb = expect_jpeg_oracle_frame("jpeg_rgb_e1.dcm");
  EXPECT_EQ(rgb.color, VEK_ColorType_s_rgb::instance());
  EXPECT_EQ(rgb.type, VEK_DataType::u_integer);
}

// Grey and RGB without subsampling against dcmdjpeg; 4:2:2 against the planar decode with
// chroma replicated. The JFIF colour frame stays YCbCr; the unlabelled one takes the file's RGB.
TEST(ReadDICOMJPEG, LossyFramesMatchTheirOracles) {
  struct Case {
    const char* name;
    const VEK_ColorType* color;
    uint16_t channels;
  };
  for (const Case& c : {Case{"jpeg_grey_eb.dcm", VEK_ColorType_gray::instance(), 1},
                        Case{"jpeg_mono1_eb.dcm", VEK_ColorType_gray_reverse::instance(), 1},
                        Case{"jpeg_rgb_cr.dcm", VEK_ColorType_s_rgb::instance(), 3},
                        Case{"jpeg_rgb_eb.dcm", VEK_ColorType_ycbcr::instance(), 3}}) {
    VEK_TestManager m;
    const Frame f = read_frame(m, read_fixture(c.name), 0);
    ASSERT_NE(f.engine, nullptr) << c.name << " " << m.status().method() << " line " << m.status().line();
    EXPECT_EQ(f.color, c.color) << c.name;
    EXPECT_EQ(f.channels, c.channels) << c.name;
    EXPECT_EQ(f.width, 64u);
    EXPECT_EQ(f.height, 48u);
    expect_near(f.pixels, expected_pixels(c.name, 0), 2, 0.5, c.name);
    expect_decoded(m, c.name);
  }
}

// Extended (SOF1) frames are refused without a crash: the codec will not start an 8-bit one, and
// a 12-bit one with a JFIF segment is not the 8-bit JFIF the JFIF reader takes.
TEST(ReadDICOMJPEG, ExtendedFramesAreRefused) {
  {
    VEK_TestManager m;
    EXPECT_EQ(read_frame(m, read_fixture("jpeg_ee.dcm"), 0).engine, nullptr);
    EXPECT_EQ(m.status().full_code(), 0x81000000u) << m.status().method();
  }
  {
    VEK_TestManager m;
    EXPECT_EQ(read_frame(m, read_fixture("jpeg_ee12.dcm"), 0).engine, nullptr);
    EXPECT_REPORT(m, 0x80200000u, "VEK_ReadJFIF::initiate()", 98u);
  }
  // Progressive frames are refused while the information loads.
  VEK_TestManager m;
  const std::vector<uint8_t> file = read_fixture("jpeg_ep.dcm");
  auto* storage = vek_create<VEK_ByteArrayInputStorage>(&m, file.data(), int32_t(file.size()));
  EXPECT_EQ(VEK_ReadDICOM(&m).engine(storage, 0), nullptr);
  storage->destroy();
  EXPECT_EQ(m.status().full_code(), 0x81000000u);
  EXPECT_EQ(m.status().line(), 784u);
}

// The default colour file relabelled partial-range comes out RGB through the matrix.
TEST(ReadDICOMJPEG, PartialRangeFrameBecomesRgb) {
  VEK_TestManager m;
  const Frame f = read_frame(m, read_fixture("jpeg_rgb_partial.dcm"), 0);
  ASSERT_NE(f.engine, nullptr) << m.status().method() << " line " << m.status().line();
  EXPECT_EQ(f.color, VEK_ColorType_s_rgb::instance());
  const std::vector<uint8_t> ybr = expected_pixels("jpeg_rgb_eb.dcm", 0);
  ASSERT_EQ(f.pixels.size(), ybr.size());
  static const double matrix[3][3] = {{1.164415463437, -0.000095035992, 1.59600187763},
                                      {1.164415463437, -0.391724563674, -0.813013368277},
                                      {1.164415463437, 2.017290682233, -0.000135273005}};
  int worst = 0;
  for (size_t p = 0; p < ybr.size(); p += 3) {
    const double in[3] = {ybr[p] - 16.0, ybr[p + 1] - 128.0, ybr[p + 2] - 128.0};
    for (int c = 0; c < 3; ++c) {
      const double v = matrix[c][0] * in[0] + matrix[c][1] * in[1] + matrix[c][2] * in[2];
      worst = std::max(worst, std::abs(int(f.pixels[p + c]) - int(std::lround(std::clamp(v, 0.0, 255.0)))));
    }
  }
  EXPECT_LE(worst, 7);
  expect_decoded(m, "partial");
}

// Lossless palette indices get the file's palette and expand like apply_color_lut.
TEST(ReadDICOMJPEG, PaletteFrameExpandsToRgb) {
  const Frame f = expect_jpeg_oracle_frame("jpeg_pal_e1.dcm");
  EXPECT_EQ(f.channels, 3);
  EXPECT_EQ(f.color, VEK_ColorType_s_rgb::instance());
}

// A frame split into 1 KB fragments decodes like the same stream in one; three frames behind an
// empty offset table, several fragments each, each decode.
TEST(ReadDICOMJPEG, FragmentedFramesDecode) {
  VEK_TestManager m;
  const std::vector<uint8_t> split = read_fixture("jpeg_rgb_fs.dcm");
  VEK_DICOMInfo info(&m);
  ASSERT_TRUE(load_bytes(info, m, split));
  EXPECT_EQ(info.get_frame_positions(0).size(), 2u);
  const Frame whole = read_frame(m, read_fixture("jpeg_rgb_eb.dcm"), 0);
  const Frame parts = read_frame(m, split, 0);
  ASSERT_NE(parts.engine, nullptr);
  EXPECT_EQ(parts.pixels, whole.pixels);
  expect_decoded(m, "split");

  const std::vector<uint8_t> three = read_fixture("jpeg3_fs_noot.dcm");
  VEK_DICOMInfo info3(&m);
  ASSERT_TRUE(load_bytes(info3, m, three));
  ASSERT_EQ(info3.frame_count(), 3u);
  for (uint32_t k = 0; k < 3; ++k) {
    EXPECT_GT(info3.get_frame_positions(k).size(), 1u) << k;
    const Frame f = read_frame(m, three, k);
    ASSERT_NE(f.engine, nullptr) << k;
    expect_near(f.pixels, expected_pixels("jpeg3_fs_noot.dcm", k), 2, 0.5, "frame " + std::to_string(k));
    expect_decoded(m, "frame " + std::to_string(k));
  }
}

// A lossless 4:4:4 stream labelled YBR_FULL_422 is delivered as decoded, as YCbCr; a frame
// whose decoded width differs from Columns is re-read as stored 4:2:2 pairs.
TEST(ReadDICOMJPEG, LosslessYbrFull422) {
  const std::vector<uint8_t> oracle = expected_pixels("jpeg_ybr422_e1.dcm", 0);
  {
    VEK_TestManager m;
    const Frame f = read_frame(m, read_fixture("jpeg_ybr422_e1.dcm"), 0);
    ASSERT_NE(f.engine, nullptr) << m.status().method() << " line " << m.status().line();
    EXPECT_EQ(f.color, VEK_ColorType_ycbcr::instance());
    EXPECT_EQ(f.pixels, oracle);
    expect_decoded(m, "4:4:4");
  }
  // Columns 32 against a 64-wide stream: a frame header wider than the dataset is refused.
  std::vector<uint8_t> file = read_fixture("jpeg_ybr422_e1.dcm");
  const uint8_t columns[] = {0x28, 0x00, 0x11, 0x00, 'U', 'S', 0x02, 0x00, 64, 0};
  auto at = std::search(file.begin(), file.end(), std::begin(columns), std::end(columns));
  ASSERT_NE(at, file.end());
  at[8] = 32;
  VEK_TestManager m;
  EXPECT_EQ(read_frame(m, file, 0).engine, nullptr);
  EXPECT_EQ(m.status().full_code(), 0x80400000u);
  EXPECT_STREQ(m.status().method(), kEngine);
}

namespace {

// Records the largest single allocation, so a test can tell that no frame-sized output was made.
class LargestAllocation : public VEK_FailingMemoryManager {
 public:
  void* allocate(uint32_t size) override {
    largest_ = std::max(largest_, size);
    return VEK_FailingMemoryManager::allocate(size);
  }
  uint32_t largest() const { return largest_; }

 private:
  uint32_t largest_ = 0;
};
using LargestManager = VEK_ManagerImpl<LargestAllocation, VEK_FirstErrorHandler, VEK_BlockWorkflow>;

// A JPEG stream as the single fragment of a DICOM file of the given geometry.
std::vector<uint8_t> jpeg_file(const std::vector<uint8_t>& stream, const std::string& syntax, uint16_t rows,
                               uint16_t columns, uint16_t bits, int samples, const std::string& photometric) {
  DicomBytes d = DicomBytes::part10(syntax);
  DicomBytes body;
  body.image(rows, columns, bits, photometric, samples);
  std::vector<uint8_t> fragment = stream;
  if (fragment.size() % 2 != 0) fragment.push_back(0);
  body.encapsulated({}, {fragment});
  d.raw(body.bytes);
  return d.bytes;
}

// The stream with its frame header's height and width replaced.
std::vector<uint8_t> with_frame_size(std::vector<uint8_t> stream, uint8_t sof, uint16_t height, uint16_t width) {
  const size_t at = jpeg_marker_at(stream, sof);
  stream[at + 5] = uint8_t(height >> 8);
  stream[at + 6] = uint8_t(height);
  stream[at + 7] = uint8_t(width >> 8);
  stream[at + 8] = uint8_t(width);
  return stream;
}

}  // namespace

// A frame header that disagrees with Rows and Columns, or whose output passes Rows x Columns x
// Samples x Bits Allocated, is refused before the decoder allocates anything of the image's
// size: 65535 x 65535 in a 40 x 24 file costs no gigabytes. Baseline with and without a JFIF
// segment, progressive, extended and lossless; each intact stream still decodes.
TEST(ReadDICOMJPEG, FrameHeaderOutsideTheDatasetIsRefused) {
  struct Case {
    const char* stream;
    uint8_t sof;
    const char* syntax;
    uint16_t bits;
    bool jfif;
    bool decodes;
  };
  for (const Case& c : {Case{"cjpeg_grey.jpg", 0xC0, "1.2.840.10008.1.2.4.50", 8, true, true},
                        Case{"cjpeg_grey.jpg", 0xC0, "1.2.840.10008.1.2.4.50", 8, false, true},
                        Case{"cjpeg_progressive_grey.jpg", 0xC2, "1.2.840.10008.1.2.4.50", 8, false, true},
                        Case{"dcmtk_extended_12.jpg", 0xC1, "1.2.840.10008.1.2.4.51", 16, false, false},
                        Case{"dcmtk_lossless_bits16.jpg", 0xC3, "1.2.840.10008.1.2.4.70", 16, false, true}}) {
    std::vector<uint8_t> stream = jpeg_fixture(c.stream);
    if (!c.jfif) stream = jpeg_without(stream, 0xE0);
    const size_t sof = jpeg_marker_at(stream, c.sof);
    ASSERT_LT(sof, stream.size()) << c.stream;
    const uint16_t rows = uint16_t(stream[sof + 5] << 8 | stream[sof + 6]);
    const uint16_t columns = uint16_t(stream[sof + 7] << 8 | stream[sof + 8]);
    const std::string name = std::string(c.stream) + (c.jfif ? " jfif" : "");
    if (c.decodes) {
      VEK_TestManager m;
      const Frame f = read_frame(m, jpeg_file(stream, c.syntax, rows, columns, c.bits, 1, "MONOCHROME2"), 0);
      ASSERT_NE(f.engine, nullptr) << name << " " << m.status().method() << " line " << m.status().line();
      EXPECT_EQ(f.pixels.size(), size_t(rows) * columns * c.bits / 8) << name;
    }
    for (const auto& [height, width] :
         {std::pair<uint16_t, uint16_t>{65535, 65535}, {uint16_t(rows - 1), columns}, {rows, uint16_t(columns + 8)}}) {
      LargestManager m;
      const std::vector<uint8_t> file =
          jpeg_file(with_frame_size(stream, c.sof, height, width), c.syntax, rows, columns, c.bits, 1, "MONOCHROME2");
      EXPECT_EQ(read_frame(m, file, 0).engine, nullptr) << name << " " << height << " x " << width;
      EXPECT_EQ(m.status().full_code(), 0x80400000u) << name << " " << m.status().method();
      EXPECT_STREQ(m.status().method(), kEngine) << name;
      EXPECT_LT(m.memory_manager().largest(), 1u << 20) << name << " " << height << " x " << width;
    }
  }
  // Output past what the dataset declares: three components in a one-sample dataset, and
  // 16-bit lossless samples where Bits Allocated is 8.
  const std::vector<uint8_t> colour = jpeg_without(jpeg_fixture("cjpeg_444.jpg"), 0xE0);
  const std::vector<uint8_t> lossless = jpeg_fixture("dcmtk_lossless_bits16.jpg");
  for (const std::vector<uint8_t>& file : {jpeg_file(colour, "1.2.840.10008.1.2.4.50", 24, 40, 8, 1, "MONOCHROME2"),
                                           jpeg_file(lossless, "1.2.840.10008.1.2.4.70", 8, 16, 8, 1, "MONOCHROME2")}) {
    VEK_TestManager m;
    EXPECT_EQ(read_frame(m, file, 0).engine, nullptr);
    EXPECT_EQ(m.status().full_code(), 0x80400000u) << m.status().method();
  }
  // The same colour stream where the dataset says three samples decodes.
  VEK_TestManager m;
  const Frame f = read_frame(m, jpeg_file(colour, "1.2.840.10008.1.2.4.50", 24, 40, 8, 3, "YBR_FULL"), 0);
  ASSERT_NE(f.engine, nullptr) << m.status().method() << " line " << m.status().line();
  EXPECT_EQ(f.pixels.size(), 24u * 40 * 3);
}

// A dataset and frame header that agree on a size whose blocks (a bit each) or lossless samples
// (a bit each) the fragment's data is far too short for: refused with 0x80400000 before anything
// of a row's size is allocated, baseline with and without JFIF, progressive and lossless. Every
// JPEG fixture of dcmcjpeg and gdcmconv still decodes.
TEST(ReadDICOMJPEG, DataTooShortForTheFramesBlocksIsRefused) {
  struct Case {
    const char* stream;
    uint8_t sof;
    const char* syntax;
    uint16_t bits;
    bool jfif;
    uint16_t size;
  };
  // Sizes inside the decode budget, so that the data's length is what refuses them.
  for (const Case& c : {Case{"cjpeg_grey.jpg", 0xC0, "1.2.840.10008.1.2.4.50", 8, true, 11584},
                        Case{"cjpeg_grey.jpg", 0xC0, "1.2.840.10008.1.2.4.50", 8, false, 11584},
                        Case{"cjpeg_progressive_grey.jpg", 0xC2, "1.2.840.10008.1.2.4.50", 8, false, 11584},
                        Case{"dcmtk_lossless_sv1_8.jpg", 0xC3, "1.2.840.10008.1.2.4.70", 8, false, 11584},
                        Case{"dcmtk_lossless_bits16.jpg", 0xC3, "1.2.840.10008.1.2.4.70", 16, false, 8191}}) {
    std::vector<uint8_t> stream = jpeg_fixture(c.stream);
    if (!c.jfif) stream = jpeg_without(stream, 0xE0);
    const std::string name = std::string(c.stream) + (c.jfif ? " jfif" : "");
    LargestManager m;
    const std::vector<uint8_t> file =
        jpeg_file(with_frame_size(stream, c.sof, c.size, c.size), c.syntax, c.size, c.size, c.bits, 1, "MONOCHROME2");
    EXPECT_EQ(read_frame(m, file, 0).engine, nullptr) << name;
    EXPECT_EQ(m.status().full_code(), 0x80400000u) << name << " " << m.status().method();
    EXPECT_LT(m.memory_manager().largest(), 1u << 20) << name;
  }
  for (const char* name : {"jpeg_eb.dcm", "jpeg_e1.dcm", "jpeg_el.dcm", "jpeg_grey_eb.dcm", "jpeg_rgb_eb.dcm",
                           "jpeg_rgb_e1.dcm", "jpeg_ct_e1.dcm", "jpeg_ct_el.dcm", "jpeg_ct_gdcm.dcm"}) {
    VEK_TestManager m;
    const Frame f = read_frame(m, read_fixture(name), 0);
    ASSERT_NE(f.engine, nullptr) << name << " " << m.status().method() << " line " << m.status().line();
    EXPECT_EQ(f.pixels.size(), size_t(f.width) * f.height * f.channels * f.bits / 8) << name;
    EXPECT_LT(m.status().full_code(), 0x80000000u) << name << " " << m.status().method();
  }
}

// Refusing each allocation of a lossless chain, a JFIF chain and a palette chain in turn.
TEST(ReadDICOMJPEG, RefusingEachAllocationLeaksNothing) {
  for (const char* name : {"jpeg_rgb_e1.dcm", "jpeg_rgb_eb.dcm", "jpeg_pal_e1.dcm"}) {
    VEK_TestManager m;
    const std::vector<uint8_t> expected = read_frame(m, read_fixture(name), 0).pixels;
    ASSERT_FALSE(expected.empty()) << name;
    expect_refusals_leak_nothing(name, expected);
  }
}

namespace {

// onebit_expected.txt holds pydicom's samples, each row packed first pixel in bit 7 by numpy.
std::vector<uint8_t> onebit_expected(const std::string& file, uint32_t frame) {
  return expected_pixels(file, frame, "onebit_expected.txt");
}

}  // namespace

// One-bit frames come out as the library's lines: first pixel in bit 7, each row on its own
// bytes, unused low bits 0; equal to pydicom's samples for odd widths and mid-byte frames.
TEST(ReadDICOM, OneBitFramesEqualPydicom) {
  for (auto [name, frames, width, height] :
       {std::tuple{"onebit_13x7.dcm", 1u, 13u, 7u}, std::tuple{"onebit_512.dcm", 1u, 512u, 512u},
        std::tuple{"onebit_3f.dcm", 3u, 10u, 10u}}) {
    for (uint32_t k = 0; k < frames; ++k) {
      VEK_TestManager m;
      const Frame f = read_frame(m, read_fixture(name), k);
      ASSERT_NE(f.engine, nullptr) << name << " frame " << k;
      EXPECT_EQ(f.width, width);
      EXPECT_EQ(f.height, height);
      EXPECT_EQ(f.bits, 1u);
      EXPECT_EQ(f.pixels, onebit_expected(name, k)) << name << " frame " << k;
      expect_ok(m);
    }
  }
}

// Big endian as dcmconv writes it: OW swapped per 16-bit word, OB as written. Rows of 37
// cross word ends and frames 1 and 2 start inside a word; each frame equals its array.
TEST(ReadDICOM, OneBitBigEndianFramesEqualTheirArray) {
  for (const char* name : {"onebit_be_ow.dcm", "onebit_be_ob.dcm"}) {
    for (uint32_t k = 0; k < 3; ++k) {
      VEK_TestManager m;
      const Frame f = read_frame(m, read_fixture(name), k);
      ASSERT_NE(f.engine, nullptr) << name << " frame " << k;
      EXPECT_EQ(f.width, 37u);
      EXPECT_EQ(f.height, 5u);
      EXPECT_EQ(f.bits, 1u);
      EXPECT_EQ(f.pixels, onebit_expected(name, k)) << name << " frame " << k;
      expect_ok(m);
    }
  }
}

// Frames claimed past the data: the one frame there reads as dcmj2pnm shows it.
TEST(ReadDICOM, FrameCountPastTheDataShowsTheFramesThere) {
  VEK_TestManager m;
  const Frame f = read_frame(m, read_fixture("frames_past_data.dcm"), 0);
  ASSERT_NE(f.engine, nullptr);
  EXPECT_EQ(f.pixels, onebit_expected("frames_past_data.dcm", 0));
  EXPECT_EQ(m.status().full_code(), 0x40400000u);
  m.clear();
  EXPECT_EQ(read_frame(m, read_fixture("frames_past_data.dcm"), 1).engine, nullptr);
  EXPECT_REPORT(m, 0x80800000u, kEngine, 107u);
}

namespace {

// A frame of one 8-bit component whose every block is one zero bit, with as much data as the
// length rule asks: tables of one one-bit code each (DC category 0, and at once end of block in
// a baseline frame; a progressive frame's scan is DC only).
std::vector<uint8_t> one_bit_blocks(uint16_t side, bool progressive) {
  std::vector<uint8_t> out{0xFF, 0xD8};
  const auto segment = [&out](uint16_t marker, const std::vector<uint8_t>& body) {
    const size_t length = body.size() + 2;
    out.insert(out.end(), {uint8_t(marker >> 8), uint8_t(marker), uint8_t(length >> 8), uint8_t(length)});
    out.insert(out.end(), body.begin(), body.end());
  };
  std::vector<uint8_t> quant(65, 1);
  quant[0] = 0;
  segment(0xFFDB, quant);
  const uint8_t hi = uint8_t(side >> 8), lo = uint8_t(side);
  segment(progressive ? 0xFFC2 : 0xFFC0, {8, hi, lo, hi, lo, 1, 1, 0x11, 0});
  std::vector<uint8_t> tables;
  for (uint8_t table_class = 0; table_class < (progressive ? 1 : 2); ++table_class) {
    tables.push_back(uint8_t(table_class << 4));
    tables.push_back(1);
    tables.insert(tables.end(), 15, 0);
    tables.push_back(0);
  }
  segment(0xFFC4, tables);
  segment(0xFFDA, {1, 1, 0x00, 0, uint8_t(progressive ? 0 : 63), 0});
  const uint64_t blocks = uint64_t((side + 7) / 8) * ((side + 7) / 8);
  out.resize(out.size() + (blocks + 7) / 8, 0);
  out.insert(out.end(), {0xFF, 0xD9});
  return out;
}

}  // namespace

// A header claiming more decoded bytes than the decode budget is refused as unsupported before
// anything of the frame's size is allocated, whatever the path: native at 8, 16 and 1 bit, RLE,
// and JPEG baseline, progressive and lossless (header and dataset agreeing). A one-bit frame
// inside the budget whose value holds fewer bits than it needs is refused as invalid data, as
// wider samples are.
TEST(ReadDICOM, FramesPastTheDecodeBudgetAreRefusedBeforeAllocating) {
  const std::vector<uint8_t> data(8192, 0);
  std::vector<std::pair<std::string, std::vector<uint8_t>>> files;
  for (const auto& [side, bits] : {std::pair{uint16_t(65535), uint16_t(8)}, std::pair{uint16_t(32767), uint16_t(16)},
                                   std::pair{uint16_t(65535), uint16_t(1)}}) {
    Native n;
    n.rows = n.columns = side;
    n.bits = bits;
    files.emplace_back("native " + std::to_string(bits), native_file(n, data));
  }
  Native rle;
  rle.rows = rle.columns = 65535;
  files.emplace_back("RLE", rle_file(rle, {rle_frame({literal_runs(std::vector<uint8_t>(64, 7))})}));
  files.emplace_back("baseline", jpeg_file(with_frame_size(jpeg_fixture("cjpeg_grey.jpg"), 0xC0, 65535, 65535),
                                           "1.2.840.10008.1.2.4.50", 65535, 65535, 8, 1, "MONOCHROME2"));
  files.emplace_back("progressive DC only, 2.1 MB", jpeg_file(one_bit_blocks(32760, true), "1.2.840.10008.1.2.4.50",
                                                              32760, 32760, 8, 1, "MONOCHROME2"));
  files.emplace_back("lossless",
                     jpeg_file(with_frame_size(jpeg_fixture("dcmtk_lossless_bits16.jpg"), 0xC3, 32767, 32767),
                               "1.2.840.10008.1.2.4.70", 32767, 32767, 16, 1, "MONOCHROME2"));
  for (const auto& [name, file] : files) {
    LargestManager m;
    EXPECT_EQ(read_frame(m, file, 0).engine, nullptr) << name;
    EXPECT_EQ(m.status().full_code(), 0x81000000u) << name << " " << m.status().method();
    EXPECT_LT(m.memory_manager().largest(), 1u << 20) << name;
  }
  Native one_bit;
  one_bit.rows = one_bit.columns = 20000;
  one_bit.bits = 1;
  LargestManager m;
  EXPECT_EQ(read_frame(m, native_file(one_bit, data), 0).engine, nullptr);
  EXPECT_EQ(m.status().full_code(), 0x80400000u) << m.status().method();
  EXPECT_LT(m.memory_manager().largest(), 1u << 20);
}

// The manager's budget meters what a job holds at once: the dataset's elements as they are read
// and every buffer of a decode. A load whose elements pass it fails as out of memory with
// nothing left behind, and the manager's next load goes on; a progressive frame inside the
// decode budget decodes within the load budget, its coefficients counted.
TEST(ReadDICOM, LoadsAreMeteredByTheManagersBudget) {
  DicomBytes trailer;
  for (uint16_t k = 0; k < 20000; ++k) trailer.text(0x7FE1, uint16_t(0x1000 + k), "LO", "value");
  Native n;
  n.rows = n.columns = 4;
  const std::vector<uint8_t> file = native_file(n, std::vector<uint8_t>(16, 9), true, &trailer.bytes);
  VEK_TestManager m;
  const size_t base = m.memory_manager().live();
  const uint64_t held = m.in_use();
  {
    m.set_budget(held + (256u << 10));
    auto* storage = vek_create<VEK_ByteArrayInputStorage>(&m, file.data(), int32_t(file.size()));
    VEK_DICOMInfo info(&m);
    EXPECT_FALSE(info.load(storage));
    EXPECT_EQ(m.status().full_code(), 0x80010000u) << m.status().method();
    EXPECT_GT(m.budget_refusals(), 0u);
    storage->destroy();
    m.clear();
  }
  EXPECT_EQ(m.memory_manager().live(), base);
  EXPECT_EQ(m.in_use(), held);
  m.set_budget(kPlatLoadMemoryBudget);
  const Frame f = read_frame(m, file, 0);
  ASSERT_NE(f.engine, nullptr) << m.status().method();
  EXPECT_EQ(f.pixels, std::vector<uint8_t>(16, 9));

  VEK_TestManager progressive;
  progressive.set_budget(kPlatLoadMemoryBudget);
  const Frame p = read_frame(
      progressive, jpeg_file(one_bit_blocks(4096, true), "1.2.840.10008.1.2.4.50", 4096, 4096, 8, 1, "MONOCHROME2"), 0);
  ASSERT_NE(p.engine, nullptr) << progressive.status().method();
  EXPECT_EQ(p.pixels.size(), 4096u * 4096);
  EXPECT_EQ(progressive.budget_refusals(), 0u);
  EXPECT_GE(progressive.peak(), 4u * 4096 * 4096);
  EXPECT_LE(progressive.peak(), kPlatLoadMemoryBudget);
}
