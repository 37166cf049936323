#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#ifdef VEK_TEST_HAVE_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

#include "vek_colorspace.h"
#include "vek_test_image.h"
#include "vek_test_oracle.h"

namespace {

using CT = VEK_ColorType;

const std::array<const VEK_ColorType*, 12> kTypes{
    VEK_ColorType_gray::instance(),  VEK_ColorType_gray_reverse::instance(), VEK_ColorType_lstar::instance(),
    VEK_ColorType_s_rgb::instance(), VEK_ColorType_adobe_rgb::instance(),    VEK_ColorType_ycbcr::instance(),
    VEK_ColorType_hsl::instance(),   VEK_ColorType_icc_lab::instance(),      VEK_ColorType_itu_lab::instance(),
    VEK_ColorType_xyz::instance(),   VEK_ColorType_cmy::instance(),          VEK_ColorType_cmyk::instance()};

// The method of each pair at 8 and 16 bits, rows the source and columns the target in kTypes' order;
// G is the general route and '-' the type itself.
const std::array<const char*, 12> kMethods{
    "-0G1G1GGGGGG",  // gray
    "0-G4G4GGGGGG",  // gray_reverse
    "GG-GGGGGGGGG",  // lstar
    "13G-G16GGG02",  // s_rgb
    "GGGG-G9GGGGG",  // adobe_rgb
    "13G1G-GGGGGG",  // ycbcr
    "888688-88888",  // hsl
    "GGGGGG9-GGGG",  // icc_lab
    "GGGGGG9G-GGG",  // itu_lab
    "GGGGGG9GG-GG",  // xyz
    "GGG0GG9GGG-G",  // cmy
    "GGG2GG9GGGG-",  // cmyk
};

uint32_t expected_method(size_t f, size_t t) {
  const char c = kMethods[f][t];
  if (c == 'G') return kTypes[f]->channels() == 1 && kTypes[t]->channels() == 1 ? 0u : 2u;
  return uint32_t(c - '0');
}

VEK_Header& image(VEK_Header& h, uint32_t width, uint32_t height, uint16_t bits, const VEK_ColorType* type,
                  uint16_t channels = 0) {
  make(h, width, height, bits, channels != 0 ? channels : type->channels(), VEK_DataType::u_integer);
  h.color_type(type);
  return h;
}

template <class T>
TestRun<T> convert(VEK_TestManager& m, const VEK_Header& h, const std::vector<T>& in, const VEK_ColorType* target) {
  return run_samples<T>(
      m, in, [&](VEK_Manager* mm, VEK_Engine* s) { return VEK_ColorSpace(mm).engine(s, target); }, &h);
}

// All 2^24 triples of from converted to to.
std::vector<uint8_t> every_triple_to(const VEK_ColorType* from, const VEK_ColorType* to) {
  VEK_TestManager m;
  VEK_Header h(&m);
  image(h, 4096, 4096, 8, from);
  const TestRun<uint8_t> r = convert(m, h, every_triple(), to);
  EXPECT_TRUE(r.passed) << std::hex << r.code;
  EXPECT_EQ(r.color, to);
  return r.out;
}

// Largest difference of a and b, channel c of n (all channels when c < 0); hue wraps when wrap.
int worst(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, size_t n = 1, int c = -1, bool wrap = false) {
  if (a.size() != b.size()) return 999;
  int w = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    if (c >= 0 && int(i % n) != c) continue;
    int d = std::abs(int(a[i]) - int(b[i]));
    if (wrap) d = std::min(d, 256 - d);
    w = std::max(w, d);
  }
  return w;
}

// Reorders the channels of 3-channel pixels.
std::vector<uint8_t> swizzle(const std::vector<uint8_t>& v, int a, int b, int c) {
  std::vector<uint8_t> out(v.size());
  for (size_t i = 0; i < v.size(); i += 3) {
    out[i] = v[i + a];
    out[i + 1] = v[i + b];
    out[i + 2] = v[i + c];
  }
  return out;
}

#ifdef VEK_TEST_HAVE_OPENCV
std::vector<uint8_t> opencv(const std::vector<uint8_t>& in, int code, int out_channels) {
  cv::setNumThreads(1);
  const cv::Mat src(4096, 4096, CV_8UC3, const_cast<uint8_t*>(in.data()));
  cv::Mat dst;
  cv::cvtColor(src, dst, code);
  return std::vector<uint8_t>(dst.data, dst.data + size_t(4096) * 4096 * out_channels);
}
#endif

}  // namespace

TEST(ColorSpace, EveryPairGetsItsMethodAndItsChainRunsAfterThePlanIsGone) {
  for (size_t f = 0; f < kTypes.size(); ++f)
    for (size_t t = 0; t < kTypes.size(); ++t) {
      if (f == t) continue;
      SCOPED_TRACE(std::to_string(f) + " to " + std::to_string(t));
      const uint32_t want = expected_method(f, t);
      {
        VEK_TestManager m;
        VEK_CsUtilityMaker<unsigned char> maker(&m);
        ASSERT_TRUE(maker.make(kTypes[f], kTypes[t], 8));
        EXPECT_EQ(maker.plan().method, want);
      }
      {
        VEK_TestManager m;
        VEK_CsUtilityMaker<unsigned short> maker(&m);
        ASSERT_TRUE(maker.make(kTypes[f], kTypes[t], 16));
        EXPECT_EQ(maker.plan().method, want);
      }
      VEK_TestManager m;
      {
        VEK_Header h(&m);
        image(h, 3, 2, 8, kTypes[f]);
        const std::vector<uint8_t> in(6 * kTypes[f]->channels(), 77);
        const TestRun<uint8_t> r = convert(m, h, in, kTypes[t]);
        EXPECT_TRUE(r.passed) << std::hex << r.code << " " << r.method;
        EXPECT_EQ(r.color, kTypes[t]);
        EXPECT_EQ(r.out.size(), 6u * kTypes[t]->channels());
      }
      EXPECT_EQ(m.memory_manager().live(), kManagerParts);
    }
  // One bit: relabelled (7), or relabelled and inverted (5).
  const uint32_t one_bit[3][3] = {{0, 5, 7}, {5, 0, 5}, {7, 5, 0}};
  for (size_t f = 0; f < 3; ++f)
    for (size_t t = 0; t < 3; ++t) {
      if (f == t) continue;
      VEK_TestManager m;
      VEK_CsUtilityMaker<unsigned char> maker(&m);
      ASSERT_TRUE(maker.make(kTypes[f], kTypes[t], 1));
      EXPECT_EQ(maker.plan().method, one_bit[f][t]) << f << " to " << t;
      VEK_Header h(&m);
      image(h, 3, 2, 1, kTypes[f]);
      const TestRun<uint8_t> r = convert(m, h, std::vector<uint8_t>{0xA0, 0x40}, kTypes[t]);
      EXPECT_TRUE(r.passed);
      EXPECT_EQ(r.out, one_bit[f][t] == 7 ? (std::vector<uint8_t>{0xA0, 0x40}) : (std::vector<uint8_t>{0x5F, 0xBF}));
    }
}

TEST(ColorSpace, RefusesWhatItCannotConvertAndPassesOnWhatNeedsNoConversion) {
  const auto engine = [](const VEK_ColorType* target) {
    return [target](VEK_Manager* m, VEK_Engine* s) { return VEK_ColorSpace(m).engine(s, target); };
  };
  // Already the target: the source itself, whatever it is.
  for (const VEK_ColorType* type : {VEK_ColorType_unknown::instance(), VEK_ColorType_gray::instance()}) {
    VEK_TestManager m;
    VEK_Header h(&m);
    make(h, 2, 2, 12, 1, VEK_DataType::s_integer);
    h.color_type(type);
    const std::vector<uint16_t> in(4, 1);
    VEK_Engine* source = read_samples(m, h, in);
    ASSERT_NE(source, nullptr);
    EXPECT_EQ(VEK_ColorSpace(&m).engine(source, type), source);
    EXPECT_EQ(m.status().full_code(), 0u);
  }
  // 12 bits, signed, a palette, a run-length image, a 1-bit image towards three channels,
  // a type outside the twelve.
  for (const auto& [bits, type, palette] :
       {std::tuple{12, VEK_DataType::u_integer, false}, std::tuple{8, VEK_DataType::s_integer, false},
        std::tuple{8, VEK_DataType::u_integer, true}}) {
    const TestRun<uint8_t> r = refused(uint16_t(bits), type, palette, [&](VEK_Manager* m, VEK_Engine* s) {
      const_cast<VEK_Header*>(s->header())->color_type(VEK_ColorType_gray::instance());
      return VEK_ColorSpace(m).engine(s, VEK_ColorType_gray_reverse::instance());
    });
    EXPECT_EQ(r.code, 0x81000000u) << bits;
  }
  {
    VEK_TestManager m;
    VEK_Header h(&m);
    image(h, 8, 1, 1, VEK_ColorType_gray::instance());
    h.encode_type(VEK_EncodeType_qk_rle::instance());
    const std::vector<uint8_t> in{0, 0, 0, 0};
    EXPECT_EQ(VEK_ColorSpace(&m).engine(read_samples(m, h, in), VEK_ColorType_gray_reverse::instance()), nullptr);
    EXPECT_EQ(m.status().full_code(), 0x81000000u);
  }
  for (const auto& [bits, from, to] :
       {std::tuple{1, VEK_ColorType_gray::instance(), VEK_ColorType_s_rgb::instance()},
        std::tuple{8, VEK_ColorType_none::instance(), VEK_ColorType_gray::instance()},
        std::tuple{8, VEK_ColorType_gray::instance(), VEK_ColorType_unknown::instance()}}) {
    VEK_TestManager m;
    VEK_Header h(&m);
    image(h, 8, 1, uint16_t(bits), VEK_ColorType_gray::instance());
    h.color_type(from);
    const TestRun<uint8_t> r = run_samples<uint8_t>(m, std::vector<uint8_t>(8, 0), engine(to), &h);
    EXPECT_FALSE(r.made);
    EXPECT_EQ(r.code, 0x81000000u);
    EXPECT_EQ(m.memory_manager().live(), kManagerParts);
  }
  VEK_TestManager m;
  EXPECT_EQ(VEK_ColorSpace(&m).engine(nullptr, VEK_ColorType_gray::instance()), nullptr);
  expect_refused(m, 0x80800000u, "VEK_ColorSpace::engine()", "vek_colorspace.cpp");
  VEK_TestManager m2;
  VEK_Header h(&m2);
  image(h, 1, 1, 8, VEK_ColorType_gray::instance());
  const std::vector<uint8_t> one{1};
  VEK_Engine* source = read_samples(m2, h, one);
  EXPECT_EQ(VEK_ColorSpace(&m2).engine(source, nullptr), nullptr);
  EXPECT_EQ(m2.status().full_code(), 0x80800000u);
  EXPECT_STREQ(m2.status().method(), "VEK_ColorSpace::engine()");
  collect(m2, source);
}

TEST(ColorSpace, YcbcrToSrgbIsTheQ12MatrixAndAgreesWithOpenCVAndPillow) {
  if (!oracle_available()) GTEST_SKIP() << "no numpy/Pillow";
  const std::vector<uint8_t> out = every_triple_to(VEK_ColorType_ycbcr::instance(), VEK_ColorType_s_rgb::instance());
  EXPECT_TRUE(out == oracle("ycbcr_q12", ""));
  EXPECT_LE(worst(out, oracle("ycbcr_pillow", "")), 1);
#ifdef VEK_TEST_HAVE_OPENCV
  const std::vector<uint8_t> in = every_triple();
  EXPECT_LE(worst(out, opencv(swizzle(in, 0, 2, 1), cv::COLOR_YCrCb2RGB, 3)), 1);
#endif
}

TEST(ColorSpace, SrgbToYcbcrAndGrayAgreeWithOpenCVAndPillow) {
  if (!oracle_available()) GTEST_SKIP() << "no numpy/Pillow";
  const std::vector<uint8_t> ycc = every_triple_to(VEK_ColorType_s_rgb::instance(), VEK_ColorType_ycbcr::instance());
  const std::vector<uint8_t> gray = every_triple_to(VEK_ColorType_s_rgb::instance(), VEK_ColorType_gray::instance());
  EXPECT_LE(worst(ycc, oracle("rgb_pillow", "target=YCbCr")), 1);
  EXPECT_LE(worst(gray, oracle("rgb_pillow", "target=L")), 1);
#ifdef VEK_TEST_HAVE_OPENCV
  const std::vector<uint8_t> in = every_triple();
  EXPECT_LE(worst(ycc, swizzle(opencv(in, cv::COLOR_RGB2YCrCb, 3), 0, 2, 1)), 1);
  EXPECT_LE(worst(gray, opencv(in, cv::COLOR_RGB2GRAY, 1)), 1);
#endif
}

TEST(ColorSpace, GrayReverseIsTheComplementAndOneBitImagesAreInvertedOrRelabelled) {
  std::vector<uint8_t> v8(256), want8(256);
  for (uint32_t i = 0; i < 256; ++i) v8[i] = uint8_t(i), want8[i] = uint8_t(255 - i);
  std::vector<uint16_t> v16(65536), want16(65536);
  for (uint32_t i = 0; i < 65536; ++i) v16[i] = uint16_t(i), want16[i] = uint16_t(65535 - i);
  const VEK_ColorType* rev = VEK_ColorType_gray_reverse::instance();
  const VEK_ColorType* gray = VEK_ColorType_gray::instance();
  {
    VEK_TestManager m;
    VEK_Header h(&m);
    EXPECT_EQ(convert(m, image(h, 256, 1, 8, rev), v8, gray).out, want8);
    EXPECT_EQ(convert(m, image(h, 256, 256, 16, rev), v16, gray).out, want16);
    // gray_reverse to s_rgb spreads 255 - v over three channels.
    std::vector<uint8_t> rgb;
    for (uint32_t i = 0; i < 256; ++i) rgb.insert(rgb.end(), 3, uint8_t(255 - i));
    const TestRun<uint8_t> r = convert(m, image(h, 256, 1, 8, rev), v8, VEK_ColorType_s_rgb::instance());
    EXPECT_EQ(r.out, rgb);
    EXPECT_EQ(r.color, VEK_ColorType_s_rgb::instance());
  }
  VEK_TestManager m;
  VEK_Header h(&m);
  // Width 5: the three padding bits are inverted with the rest of the byte.
  TestRun<uint8_t> r = convert(m, image(h, 5, 1, 1, rev), std::vector<uint8_t>{0xA0}, gray);
  EXPECT_EQ(r.out, std::vector<uint8_t>{0x5F});
  EXPECT_EQ(r.color, gray);
  r = convert(m, image(h, 5, 1, 1, gray), std::vector<uint8_t>{0xA7}, VEK_ColorType_lstar::instance());
  EXPECT_EQ(r.out, std::vector<uint8_t>{0xA7});
  EXPECT_EQ(r.color, VEK_ColorType_lstar::instance());
  // From xyz nothing is converted on the source side: X = Y = Z = 1 is full L*.
  r = convert(m, image(h, 2, 1, 8, VEK_ColorType_xyz::instance()), std::vector<uint8_t>{0, 0, 0, 255, 255, 255},
              VEK_ColorType_lstar::instance());
  EXPECT_EQ(r.out, (std::vector<uint8_t>{0, 255}));
  EXPECT_EQ(m.memory_manager().live(), kManagerParts);
}

#ifdef VEK_TEST_HAVE_OPENCV
TEST(ColorSpace, SrgbAndHslAgreeWithOpenCVsFullRangeHls) {
  const std::vector<uint8_t> in = every_triple();
  // OpenCV orders H, L, S; ours H, S, L.
  const std::vector<uint8_t> hsl = every_triple_to(VEK_ColorType_s_rgb::instance(), VEK_ColorType_hsl::instance());
  const std::vector<uint8_t> cv_hsl = swizzle(opencv(in, cv::COLOR_RGB2HLS_FULL, 3), 0, 2, 1);
  EXPECT_LE(worst(hsl, cv_hsl, 3, 0, true), 1);
  EXPECT_LE(worst(hsl, cv_hsl, 3, 1), 1);
  EXPECT_LE(worst(hsl, cv_hsl, 3, 2), 1);
  EXPECT_EQ(std::vector<uint8_t>(hsl.begin() + 3 * 0xFF0000, hsl.begin() + 3 * 0xFF0000 + 3),
            (std::vector<uint8_t>{0, 255, 128}));

  const std::vector<uint8_t> rgb = every_triple_to(VEK_ColorType_hsl::instance(), VEK_ColorType_s_rgb::instance());
  EXPECT_LE(worst(rgb, opencv(swizzle(in, 0, 2, 1), cv::COLOR_HLS2RGB_FULL, 3)), 2);
  for (uint32_t h = 0; h < 256; h += 51)
    for (uint32_t l = 0; l < 256; ++l) {
      const size_t i = 3 * ((h << 16) | l);  // S = 0
      ASSERT_EQ(rgb[i], l);
      ASSERT_EQ(rgb[i + 1], l);
      ASSERT_EQ(rgb[i + 2], l);
    }
}
#endif

TEST(ColorSpace, SixteenBitHslAndTheDepthsThePointToPointEngineRefuses) {
  VEK_TestManager m;
  VEK_Header h(&m);
  const TestRun<uint16_t> r = convert(m, image(h, 2, 1, 16, VEK_ColorType_s_rgb::instance()),
                                      std::vector<uint16_t>{65535, 0, 0, 0, 0, 65535}, VEK_ColorType_hsl::instance());
  EXPECT_TRUE(r.passed);
  EXPECT_EQ(r.bits, 16u);
  EXPECT_EQ(r.out, (std::vector<uint16_t>{0, 65535, 32768, 43690, 65535, 32768}));  // 4/6 of 65535 for blue
  // The point-to-point creator on its own: 12 bits refused, its own type handed back.
  const auto ptop = [](const VEK_ColorType* target) {
    return [target](VEK_Manager* mm, VEK_Engine* s) { return VEK_ColorSpaceConverterPtoP(mm).engine(s, target); };
  };
  VEK_TestManager m2;
  image(h, 1, 1, 12, VEK_ColorType_s_rgb::instance());
  TestRun<uint16_t> t =
      run_samples<uint16_t>(m2, std::vector<uint16_t>{1, 2, 3}, ptop(VEK_ColorType_hsl::instance()), &h);
  EXPECT_FALSE(t.made);
  EXPECT_EQ(t.code, 0x81000000u);
  EXPECT_STREQ(t.method.c_str(), "VEK_ColorSpaceConverterPtoP::engine()");
  VEK_TestManager m3;
  image(h, 1, 1, 8, VEK_ColorType_hsl::instance());
  const std::vector<uint8_t> px{1, 2, 3};
  VEK_Engine* source = read_samples(m3, h, px);
  EXPECT_EQ(VEK_ColorSpaceConverterPtoP(&m3).engine(source, VEK_ColorType_hsl::instance()), source);
  collect(m3, source);
}

// A header relabelled to s_rgb with one channel would make the converter read three samples a
// pixel from a one-sample line: refused, and the converter freed exactly once.
TEST(ColorSpace, PointToPointRefusesAnythingButThreeChannelsAndFreesItsConverterOnce) {
  for (const auto* target : {VEK_ColorType_hsl::instance(), VEK_ColorType_s_rgb::instance()}) {
    VEK_TestManager m;
    VEK_Header h(&m);
    image(h, 7, 2, 8, VEK_ColorType_gray::instance());
    const TestRun<uint8_t> r = run_samples<uint8_t>(
        m, std::vector<uint8_t>(14, 9),
        [target](VEK_Manager* mm, VEK_Engine* s) {
          VEK_Header relabelled(mm);
          relabelled = *s->header();
          relabelled.color_type(target == VEK_ColorType_hsl::instance() ? VEK_ColorType_s_rgb::instance()
                                                                        : VEK_ColorType_hsl::instance());
          VEK_Engine* e = VEK_RewriteHeader(mm).engine(s, &relabelled);
          return VEK_ColorSpaceConverterPtoP(mm).engine(e, target);
        },
        &h);
    EXPECT_FALSE(r.made);
    EXPECT_EQ(r.code, 0x81000000u);
    EXPECT_EQ(r.method, "VEK_ColorSpaceConverterPtoPEngine::initiate()");
    EXPECT_EQ(m.memory_manager().live(), kManagerParts);
  }
}

TEST(ColorSpace, CmykConvertersAndTheSampledSrgbToCmykTable) {
  VEK_TestManager m;
  Rgb2cmykINT<unsigned char> to8(&m);
  Rgb2cmykINT<unsigned short> to16(&m);
  uint8_t out8[4];
  uint16_t out16[4];
  const uint8_t black8[3] = {0, 0, 0}, white8[3] = {255, 255, 255};
  to8.convert(black8, out8);
  EXPECT_EQ(std::vector<uint8_t>(out8, out8 + 4), (std::vector<uint8_t>{0, 0, 0, 255}));
  to8.convert(white8, out8);
  EXPECT_EQ(std::vector<uint8_t>(out8, out8 + 4), (std::vector<uint8_t>{0, 0, 0, 0}));
  const uint16_t black16[3] = {0, 0, 0};
  to16.convert(black16, out16);
  EXPECT_EQ(std::vector<uint16_t>(out16, out16 + 4), (std::vector<uint16_t>{0, 0, 0, 65535}));
  Cmyk2rgbINT<unsigned char> back8(&m);
  const uint8_t cmyk[4] = {200, 10, 0, 100};  // C + K = 300, M + K = 110
  back8.convert(cmyk, out8);
  EXPECT_EQ(std::vector<uint8_t>(out8, out8 + 3), (std::vector<uint8_t>{0, 145, 155}));
  Cmyk2rgbINT<unsigned short> back16(&m);
  const uint16_t cmyk16[4] = {60000, 0, 0, 60000};
  back16.convert(cmyk16, out16);
  EXPECT_EQ(out16[0], 0u);
  EXPECT_EQ(out16[1], 5535u);

  const std::vector<uint8_t> out = every_triple_to(VEK_ColorType_s_rgb::instance(), VEK_ColorType_cmyk::instance());
  ASSERT_EQ(out.size(), 4u << 24);
  int w = 0;
  for (uint32_t i = 0; i < (1u << 24); ++i) {
    const int c = 255 - int(i >> 16), mg = 255 - int((i >> 8) & 255), y = 255 - int(i & 255);
    const int k = std::min(c, std::min(mg, y));
    const int want[4] = {k == 255 ? 0 : c - k, k == 255 ? 0 : mg - k, k == 255 ? 0 : y - k, k};
    for (int j = 0; j < 4; ++j) w = std::max(w, std::abs(int(out[4 * size_t(i) + j]) - want[j]));
  }
  EXPECT_LE(w, 1);
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 4), (std::vector<uint8_t>{0, 0, 0, 255}));
  EXPECT_EQ(std::vector<uint8_t>(out.end() - 4, out.end()), (std::vector<uint8_t>{0, 0, 0, 0}));
}

TEST(ColorSpace, TheGeneralRouteToIccLabAgreesWithPillowImageCms) {
  if (!oracle_available()) GTEST_SKIP() << "no numpy/Pillow";
  const std::vector<uint8_t> lab = every_triple_to(VEK_ColorType_s_rgb::instance(), VEK_ColorType_icc_lab::instance());
  EXPECT_LE(worst(lab, oracle("rgb_pillow", "target=LAB")), 1);
}

namespace {

// Gives a value that is not a number, as a faulty inner stage might.
class NotANumber : public VEK_CsPointConverter<double> {
 public:
  using VEK_CsPointConverter<double>::VEK_CsPointConverter;
  void convert(const double*, double* out) override {
    out[0] = std::numeric_limits<double>::quiet_NaN();
    out[1] = -0.5;
    out[2] = 7.0;
  }
};

}  // namespace

TEST(ColorSpace, PointConvertersAtTheirKnownValues) {
  VEK_TestManager m;
  double out[4];
  const double white[3] = {1, 1, 1};
  Srgb2xyz<double>(&m).convert(white, out);
  EXPECT_NEAR(out[0], 0.9643, 1e-12);
  EXPECT_NEAR(out[1], 1.0, 1e-12);
  EXPECT_NEAR(out[2], 0.8251, 1e-12);
  const double y1[3] = {0.5, 1.0, 0.5}, y0[3] = {0.5, 0.0, 0.5};
  Xyz2lstar<double>(&m).convert(y1, out);
  EXPECT_EQ(out[0], 1.0);
  Xyz2lstar<double>(&m).convert(y0, out);
  EXPECT_NEAR(out[0], 0.0, 1e-15);
  const double blue[3] = {0, 0, 1}, grey[3] = {0.25, 0.25, 0.25};
  Rgb2hslDEC<double>(&m).convert(blue, out);
  EXPECT_DOUBLE_EQ(out[0], 4.0 / 6.0);
  EXPECT_EQ(out[1], 1.0);
  EXPECT_EQ(out[2], 0.5);
  Rgb2hslDEC<double>(&m).convert(grey, out);
  EXPECT_EQ(std::vector<double>(out, out + 3), (std::vector<double>{0, 0, 0.25}));
  // Hues on the same whole degree give the same RGB.
  const double a[3] = {100.2 / 360, 0.5, 0.5}, b[3] = {99.8 / 360, 0.5, 0.5};
  double ra[3], rb[3];
  Hsl2rgbDEC<double>(&m).convert(a, ra);
  Hsl2rgbDEC<double>(&m).convert(b, rb);
  EXPECT_EQ(std::vector<double>(ra, ra + 3), std::vector<double>(rb, rb + 3));
  // The scaled wrapper saturates: not a number to 0, below 0 to 0, above to the largest.
  VEK_CsScaledINT<unsigned char, double, NotANumber> scaled(&m);
  const uint8_t px[3] = {1, 2, 3};
  uint8_t res[3];
  scaled.convert(px, res);
  EXPECT_EQ(std::vector<uint8_t>(res, res + 3), (std::vector<uint8_t>{0, 0, 255}));
  // Round trip through CIELab.
  const double xyz[3] = {0.3, 0.4, 0.2};
  double lab[3], back[3];
  Xyz2cielab<double>(&m).convert(xyz, lab);
  Cielab2xyz<double>(&m).convert(lab, back);
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(back[i], xyz[i], 1e-12);
}

TEST(ColorSpace, RunningOutOfMemoryAnywhereLeavesNothingBehind) {
  struct Case {
    const VEK_ColorType* from;
    const VEK_ColorType* to;
    uint16_t bits;
  };
  const Case cases[] = {
      {VEK_ColorType_ycbcr::instance(), VEK_ColorType_s_rgb::instance(), 8},
      {VEK_ColorType_gray_reverse::instance(), VEK_ColorType_s_rgb::instance(), 8},
      {VEK_ColorType_s_rgb::instance(), VEK_ColorType_gray_reverse::instance(), 16},
      {VEK_ColorType_s_rgb::instance(), VEK_ColorType_hsl::instance(), 8},
      {VEK_ColorType_hsl::instance(), VEK_ColorType_gray::instance(), 8},
      {VEK_ColorType_cmy::instance(), VEK_ColorType_hsl::instance(), 8},
      {VEK_ColorType_s_rgb::instance(), VEK_ColorType_icc_lab::instance(), 8},
      {VEK_ColorType_gray::instance(), VEK_ColorType_lstar::instance(), 8},
      {VEK_ColorType_gray::instance(), VEK_ColorType_gray_reverse::instance(), 1},
  };
  for (const Case& c : cases) {
    VEK_TestManager probe;
    VEK_Header h(&probe);
    image(h, 3, 2, c.bits, c.from);
    const size_t samples = c.bits == 1 ? 2 : 6 * c.from->channels();
    const std::vector<uint8_t> in(samples * (c.bits == 16 ? 2 : 1), 0x40);
    std::vector<uint8_t> want;
    {
      VEK_TestManager m;
      want = convert(m, h, in, c.to).out;
      ASSERT_FALSE(want.empty());
    }
    expect_no_leak_when_memory_runs_out<uint8_t>(
        in, [&c](VEK_Manager* m, VEK_Engine* s) { return VEK_ColorSpace(m).engine(s, c.to); }, want, &h);
  }
}
