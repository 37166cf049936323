#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <tuple>
#include <typeinfo>
#include <vector>

#ifdef VEK_TEST_HAVE_OPENCV
#include <opencv2/imgproc.hpp>
#endif

#include "vek_memory.h"
#include "vek_qkrle.h"
#include "vek_scale.h"
#include "vek_scaleiar.h"
#include "vek_scaleire.h"
#include "vek_scalennqkrle.h"
#include "vek_test_rlerun.h"
#include "vek_test_scale.h"

namespace {

Make nn(uint32_t w, uint32_t h) {
  return [=](VEK_Manager* m, VEK_Engine* s) { return VEK_ScaleNN(m).engine(s, w, h); };
}

Make iar(uint32_t fx, uint32_t fy) {
  return [=](VEK_Manager* m, VEK_Engine* s) { return VEK_ScaleIAR(m).engine(s, fx, fy); };
}

// Source pixel of each output pixel: trunc((i + 0.5) x from / to), the position a running sum of
// the double step from half a step, as Pillow walks it too (an exact product can land a
// hair above the sum: 100 -> 250 takes pixel 2 for output 7, not 3).
std::vector<uint32_t> picks(uint32_t from, uint32_t to) {
  std::vector<uint32_t> v;
  const double step = double(from) / to;
  double p = step * 0.5;
  for (uint32_t i = 0; i < to; ++i, p += step) v.push_back(std::min(uint32_t(p), from - 1));
  return v;
}

template <class T>
std::vector<T> nn_formula(const std::vector<T>& in, uint32_t W, uint32_t H, uint32_t c, uint32_t w, uint32_t h) {
  const std::vector<uint32_t> xs = picks(W, w), ys = picks(H, h);
  std::vector<T> out;
  for (uint32_t y : ys)
    for (uint32_t x : xs)
      for (uint32_t k = 0; k < c; ++k) out.push_back(in[(size_t(y) * W + x) * c + k]);
  return out;
}

// 1-bit lines to one byte a pixel and back.
std::vector<uint8_t> unpack(const std::vector<uint8_t>& lines, uint32_t w, uint32_t h) {
  const uint32_t bytes = (w + 7) / 8;
  std::vector<uint8_t> px;
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x) px.push_back((lines[y * bytes + x / 8] >> (7 - x % 8)) & 1);
  return px;
}
std::vector<uint8_t> pack(const std::vector<uint8_t>& px, uint32_t w, uint32_t h) {
  const uint32_t bytes = (w + 7) / 8;
  std::vector<uint8_t> lines(size_t(bytes) * h, 0);
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x)
      if (px[size_t(y) * w + x]) lines[y * bytes + x / 8] |= uint8_t(0x80 >> (x % 8));
  return lines;
}

// Random 1-bit lines whose bits after the last pixel are 0, as an image's are.
std::vector<uint8_t> random_bits(uint32_t w, uint32_t h, uint32_t seed) {
  return pack(unpack(random_samples<uint8_t>(size_t(w + 7) / 8 * h, seed), w, h), w, h);
}

TEST(ScaleNN, RoutesBySizeRelation) {
  VEK_TestManager m;
  // Whole-ratio shrinks subsample at 8 and 16 bits.
  const std::vector<uint8_t> in8 = random_samples<uint8_t>(512 * 512, 1);
  EXPECT_EQ(scaled_ok(header(m, 512, 512, 8), in8, nn(256, 128), "VEK_ScaleSSEngine"),
            nn_formula(in8, 512, 512, 1, 256, 128));
  const std::vector<uint16_t> in16 = random_samples<uint16_t>(512 * 512, 2);
  EXPECT_EQ(scaled_ok(header(m, 512, 512, 16), in16, nn(256, 128), "VEK_ScaleSSEngine"),
            nn_formula(in16, 512, 512, 1, 256, 128));
  // A 1-bit whole-ratio shrink takes the one-pass shrink, never subsampling.
  const std::vector<uint8_t> bits = random_bits(32, 8, 3);
  const std::vector<uint8_t> got = scaled_ok(header(m, 32, 8, 1), bits, nn(16, 4), "VEK_ScaleShrinkNNEngine");
  EXPECT_EQ(unpack(got, 16, 4), nn_formula(unpack(bits, 32, 8), 32, 8, 1, 16, 4));
  // Whole multiples of the width replicate; others take the table engine.
  const std::vector<uint8_t> line = random_samples<uint8_t>(100, 4);
  EXPECT_EQ(scaled_ok(header(m, 100, 1, 8), line, nn(300, 1), "VEK_ScaleWidthIRE8xNBitsEngine"),
            nn_formula(line, 100, 1, 1, 300, 1));
  EXPECT_EQ(scaled_ok(header(m, 100, 1, 8), line, nn(250, 1), "VEK_ScaleWidthNNEngine"),
            nn_formula(line, 100, 1, 1, 250, 1));
  // The last pass made is the one that does not shrink.
  const std::vector<uint8_t> image = random_samples<uint8_t>(10 * 10, 5);
  EXPECT_EQ(scaled_ok(header(m, 10, 10, 8), image, nn(4, 25), "VEK_ScaleHeightNNEngine"),
            nn_formula(image, 10, 10, 1, 4, 25));
  EXPECT_EQ(scaled_ok(header(m, 10, 10, 8), image, nn(25, 4), "VEK_ScaleWidthNNEngine"),
            nn_formula(image, 10, 10, 1, 25, 4));
  EXPECT_EQ(scaled_ok(header(m, 10, 10, 8), image, nn(30, 5), "VEK_ScaleWidthIRE8xNBitsEngine"),
            nn_formula(image, 10, 10, 1, 30, 5));
}

TEST(ScaleNN, SameSizeGivesTheSourceBackFromEveryCreator) {
  VEK_TestManager m;
  const std::vector<uint8_t> image = random_samples<uint8_t>(6 * 4, 6);
  const Head h = header(m, 6, 4, 8);
  for (const Make& make : std::vector<Make>{
           nn(6, 4), by<VEK_ScaleShrinkNN>(6, 4), by<VEK_ScaleWidthNN>(6), by<VEK_ScaleHeightNN>(4),
           by<VEK_ScaleSS>(1, 1, 0, 0), by<VEK_ScaleWidthIRE>(1), by<VEK_ScaleHeightIRE>(1), by<VEK_ScaleIAR>(1, 1)}) {
    Scaled<uint8_t> s = scale(h, image, make);
    EXPECT_EQ(s.made, s.source);
    EXPECT_EQ(s.run.out, image);
  }
}

TEST(ScaleNN, SignedSamplesAndWideChannelCounts) {
  VEK_TestManager m;
  const std::vector<int16_t> image = random_samples<int16_t>(7 * 5 * 5, 8);
  const Head h = header(m, 7, 5, 16, 5, VEK_DataType::s_integer);
  for (auto [w, ht] : {std::pair<uint32_t, uint32_t>{3, 2}, {17, 3}, {4, 11}, {14, 15}})
    EXPECT_EQ(scaled_ok(h, image, nn(w, ht)), nn_formula(image, 7, 5, 5, w, ht)) << w << " x " << ht;
}

// Subsampling at every sample type: steps and offsets as given, the output rounded up.
template <class T>
void expect_subsampled(uint16_t bits) {
  VEK_TestManager m;
  const std::vector<T> image = random_samples<T>(11 * 7 * 2, 10);
  const Head h = header(m, 11, 7, bits, 2, test_data_type<T>());
  const std::vector<T> got =
      scaled_ok(h, image, [](VEK_Manager* mm, VEK_Engine* s) { return VEK_ScaleSS(mm).engine(s, 3, 2, 2, 1); });
  std::vector<T> want;
  for (uint32_t y = 1; y < 7; y += 2)
    for (uint32_t x = 2; x < 11; x += 3)
      for (uint32_t c = 0; c < 2; ++c) want.push_back(image[(y * 11 + x) * 2 + c]);
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); ++i) EXPECT_TRUE(same_sample(got[i], want[i])) << i;
}

TEST(ScaleSS, EverySampleType) {
  expect_subsampled<uint8_t>(8);
  expect_subsampled<uint16_t>(16);
  expect_subsampled<uint32_t>(32);
  expect_subsampled<int8_t>(8);
  expect_subsampled<int16_t>(16);
  expect_subsampled<int32_t>(32);
  expect_subsampled<float>(32);
  expect_subsampled<double>(64);
}

TEST(ScaleSS, LargeStepsKeepOneColumnAndLine) {
  VEK_TestManager m;
  // W - offset + step - 1 passes 32 bits: one pixel, not a wrapped count.
  const std::vector<uint8_t> image = random_samples<uint8_t>(6 * 3, 11);
  EXPECT_EQ(scaled_ok(header(m, 6, 3, 8), image,
                      [](VEK_Manager* mm, VEK_Engine* s) {
                        return VEK_ScaleSS(mm).engine(s, 0xFFFFFFFFu, 0xFFFFFFFFu, 5, 2);
                      }),
            (std::vector<uint8_t>{image[2 * 6 + 5]}));
}

TEST(ScaleIRE, ReplicatesPixelsWithTheirChannels) {
  VEK_TestManager m;
  const std::vector<uint8_t> ab = {1, 2, 3, 4, 5, 6};
  EXPECT_EQ(scaled_ok(header(m, 2, 1, 8, 3), ab, by<VEK_ScaleWidthIRE>(3)),
            (std::vector<uint8_t>{1, 2, 3, 1, 2, 3, 1, 2, 3, 4, 5, 6, 4, 5, 6, 4, 5, 6}));
  for (uint16_t c : {1, 2, 4, 5}) {
    const std::vector<uint16_t> image = random_samples<uint16_t>(3 * 2 * c, c);
    for (uint32_t k : {2u, 3u, 7u})
      EXPECT_EQ(scaled_ok(header(m, 3, 2, 16, c), image, by<VEK_ScaleWidthIRE>(k)),
                nn_formula(image, 3, 2, c, 3 * k, 2))
          << c << " channels x" << k;
  }
}

TEST(ScaleIRE, OneBitLinesExpandInPlace) {
  VEK_TestManager m;
  auto twice = by<VEK_ScaleWidthIRE>(2);
  EXPECT_EQ(scaled_ok(header(m, 8, 1, 1), std::vector<uint8_t>{0xA0}, twice, "VEK_ScaleWidthIRE1BitEngine"),
            (std::vector<uint8_t>{0xCC, 0x00}));
  // 13 pixels: a full byte and 5 bits, the trailing source bits set must not leak in.
  const std::vector<uint8_t> line = {0xB5, 0x5F};
  const std::vector<uint8_t> got = scaled_ok(header(m, 13, 1, 1), line, twice);
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(unpack(got, 26, 1), nn_formula(unpack(line, 13, 1), 13, 1, 1, 26, 1));
  EXPECT_EQ(got[3] & 0x3F, 0);
  // Odd factors and widths, many lines.
  const std::vector<uint8_t> image = random_samples<uint8_t>(3 * 4, 12);
  for (uint32_t k : {3u, 5u, 8u, 9u, 17u}) {
    const std::vector<uint8_t> out = scaled_ok(header(m, 21, 4, 1), image, by<VEK_ScaleWidthIRE>(k));
    EXPECT_EQ(out, pack(nn_formula(unpack(image, 21, 4), 21, 4, 1, 21 * k, 4), 21 * k, 4)) << "x" << k;
  }
}

TEST(ScaleIRE, HeightWritesEachLineKTimesAsOneBlock) {
  VEK_TestManager m;
  const std::vector<uint8_t> image = {1, 2, 3, 4, 5, 6};
  Scaled<uint8_t> s = scale(header(m, 2, 3, 8), image, [](VEK_Manager* mm, VEK_Engine* src) {
    VEK_Engine* e = VEK_ScaleHeightIRE(mm).engine(src, 2);
    EXPECT_EQ(static_cast<VEK_BufferOutputEngine*>(e)->dst_buffer()->block_bytes(), 4u);
    return e;
  });
  EXPECT_EQ(s.run.out, (std::vector<uint8_t>{1, 2, 1, 2, 3, 4, 3, 4, 5, 6, 5, 6}));
  const std::vector<uint8_t> bits = random_bits(11, 3, 13);
  EXPECT_EQ(scaled_ok(header(m, 11, 3, 1), bits, nn(11, 9), "VEK_ScaleHeightIREEngine"),
            pack(nn_formula(unpack(bits, 11, 3), 11, 3, 1, 11, 9), 11, 9));
}

// Each source line of a 1-bit image through every route, against the formula on unpacked bits.
TEST(ScaleNN, OneBitImagesFollowTheFormula) {
  VEK_TestManager m;
  const uint32_t W = 19, H = 7;
  const std::vector<uint8_t> image = random_bits(W, H, 14);
  for (auto [w, h] : {std::pair<uint32_t, uint32_t>{5, 3}, {19, 2}, {40, 7}, {7, 30}, {38, 21}, {1, 1}, {29, 5}}) {
    const std::vector<uint8_t> got = scaled_ok(header(m, W, H, 1), image, nn(w, h));
    EXPECT_EQ(got, pack(nn_formula(unpack(image, W, H), W, H, 1, w, h), w, h)) << w << " x " << h;
  }
}

// Pillow's Image.resize(NEAREST) as the peer of every raw route.
TEST(ScaleNN, MatchesPillowNearest) {
  if (std::system("/usr/bin/python3 -c 'import numpy, PIL' 2>/dev/null") != 0)
    GTEST_SKIP() << "python3 with numpy and Pillow absent";
  struct Case {
    uint32_t W, H;
    uint16_t bits, channels;
    uint32_t w, h;
  };
  std::vector<Case> cases;
  for (uint16_t bits : {8, 16})
    for (uint16_t channels : {1, 3, 4})
      for (auto [W, H, w, h] : std::vector<std::array<uint32_t, 4>>{{64, 48, 32, 12},  // subsampling
                                                                    {40, 30, 13, 7},   // one-pass shrink
                                                                    {13, 9, 39, 27},   // replication
                                                                    {13, 9, 50, 31},   // tables
                                                                    {30, 20, 70, 9},   // mixed
                                                                    {30, 20, 11, 45},
                                                                    {7, 100, 3, 1000}})
        cases.push_back({W, H, bits, channels, w, h});
  const std::filesystem::path dir =
      std::filesystem::path(testing::TempDir()) / ("vek_scale_nn_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::ofstream job(dir / "job.txt");
  std::vector<std::vector<uint8_t>> inputs;
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    inputs.push_back(random_samples<uint8_t>(size_t(c.W) * c.H * c.channels * c.bits / 8, uint32_t(100 + i)));
    const std::filesystem::path in = dir / (std::to_string(i) + ".in"), out = dir / (std::to_string(i) + ".out");
    std::ofstream(in, std::ios::binary)
        .write(reinterpret_cast<const char*>(inputs[i].data()), std::streamsize(inputs[i].size()));
    job << in.string() << ' ' << out.string() << ' ' << c.W << ' ' << c.H << ' ' << c.bits << ' ' << c.channels << ' '
        << c.w << ' ' << c.h << '\n';
  }
  job.close();
  const std::string command = "/usr/bin/python3 " VEK_TEST_DATA_DIR "/scale_nn_oracle.py " + (dir / "job.txt").string();
  ASSERT_EQ(std::system(command.c_str()), 0);
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    std::ifstream answer(dir / (std::to_string(i) + ".out"), std::ios::binary);
    const std::vector<uint8_t> want((std::istreambuf_iterator<char>(answer)), std::istreambuf_iterator<char>());
    VEK_TestManager m;
    const Head h = header(m, c.W, c.H, c.bits, c.channels);
    if (c.bits == 8) {
      EXPECT_EQ(scaled_ok(h, inputs[i], nn(c.w, c.h)), want) << i;
    } else {
      std::vector<uint16_t> in16(inputs[i].size() / 2);
      std::memcpy(in16.data(), inputs[i].data(), inputs[i].size());
      const std::vector<uint16_t> got = scaled_ok(h, in16, nn(c.w, c.h));
      std::vector<uint8_t> bytes(got.size() * 2);
      if (!got.empty()) std::memcpy(bytes.data(), got.data(), bytes.size());
      EXPECT_EQ(bytes, want) << i;
    }
  }
  std::filesystem::remove_all(dir);
}

TEST(ScaleNN, ASourceThatStopsEndsTheJobCleanly) {
  expect_stopping_sources_end_cleanly({{3, 5, 7}, {9, 5, 4}, {3, 10, 6}, {9, 3, 3}, {4, 5, 2}},
                                      [](uint32_t w, uint32_t h) { return nn(w, h); });
}

// Positions are running sums: on extreme ratios they must stay inside the source.
TEST(ScaleNN, ExtremeRatiosStayInsideTheSource) {
  VEK_TestManager m;
  const std::vector<uint8_t> line = random_samples<uint8_t>(3, 15);
  const std::vector<uint8_t> wide = scaled_ok(header(m, 3, 1, 8), line, nn(100003, 1));
  EXPECT_EQ(wide, nn_formula(line, 3, 1, 1, 100003, 1));
  const std::vector<uint8_t> tall = scaled_ok(header(m, 1, 3, 8), line, nn(1, 100003));
  EXPECT_EQ(tall, nn_formula(line, 1, 3, 1, 1, 100003));
  const std::vector<uint8_t> long_line = random_samples<uint8_t>(100003, 16);
  EXPECT_EQ(scaled_ok(header(m, 100003, 1, 8), long_line, nn(7, 1)), nn_formula(long_line, 100003, 1, 1, 7, 1));
  EXPECT_EQ(scaled_ok(header(m, 1, 100003, 8), long_line, nn(1, 3)), nn_formula(long_line, 1, 100003, 1, 1, 3));
}

TEST(ScaleNN, RefusesFormatsSizesStepsAndFactorsBeforeAnyDivision) {
  VEK_TestManager m;
  const Head one_bit_rgb = header(m, 4, 4, 1, 3), wide = header(m, 4, 4, 32),
             floating = header(m, 4, 4, 32, 1, VEK_DataType::floating), h = header(m, 4, 4, 8),
             one_bit = header(m, 4, 4, 1);
  constexpr uint32_t kFormat = 0x81000000u, kArgument = 0x80800000u;
  for (const Head* f : {&one_bit_rgb, &wide, &floating}) {
    expect_refusal(*f, by<VEK_ScaleWidthNN>(3u), kFormat, "VEK_ScaleWidthNNEngine::initiate()");
    expect_refusal(*f, by<VEK_ScaleHeightNN>(5u), kFormat, "VEK_ScaleHeightNNEngine::initiate()");
    expect_refusal(*f, by<VEK_ScaleHeightNN>(8u), kFormat, "VEK_ScaleHeightIREEngine::initiate()");
  }
  expect_refusal(one_bit_rgb, by<VEK_ScaleWidthIRE>(2u), kFormat, "VEK_ScaleWidthIRE1BitEngine::initiate()");
  expect_refusal(one_bit_rgb, nn(2, 2), kFormat, "VEK_ScaleShrinkNNEngine::initiate()");
  for (const Head* f : {&wide, &floating}) {
    expect_refusal(*f, by<VEK_ScaleWidthIRE>(2u), kFormat, "VEK_ScaleWidthIRE8xNBits::engine()");
    expect_refusal(*f, nn(2, 2), kFormat, "VEK_ScaleShrinkNN::engine()");
  }
  expect_refusal(header(m, 4, 4, 8).rle(), nn(3, 3), kFormat, "VEK_ScaleHeightQKRLEEngine::initiate()");
  expect_refusal(h, nn(0, 2), kArgument, "VEK_ScaleWidthEngine::initiate()");
  expect_refusal(h, nn(0, 5), kArgument, "VEK_ScaleWidthEngine::initiate()");
  expect_refusal(h, nn(5, 0), kArgument, "VEK_ScaleHeightEngine::initiate()");
  for (const Make& make : {by<VEK_ScaleShrinkNN>(0u, 2u), by<VEK_ScaleShrinkNN>(2u, 0u)})
    expect_refusal(h, make, kArgument, "VEK_ScaleShrinkNNEngine::initiate()");
  for (const Make& make : {by<VEK_ScaleSS>(0u, 1u, 0u, 0u), by<VEK_ScaleSS>(1u, 0u, 0u, 0u),
                           by<VEK_ScaleSS>(2u, 2u, 4u, 0u), by<VEK_ScaleSS>(2u, 2u, 0u, 4u)})
    expect_refusal(h, make, kArgument, "VEK_ScaleSSEngine::initiate()");
  expect_refusal(h, by<VEK_ScaleWidthIRE>(0u), kArgument, "VEK_ScaleWidthIRE8xNBitsEngine::initiate()");
  expect_refusal(one_bit, by<VEK_ScaleWidthIRE>(0u), kArgument, "VEK_ScaleWidthIRE1BitEngine::initiate()");
  expect_refusal(h, by<VEK_ScaleHeightIRE>(0u), kArgument, "VEK_ScaleHeightIREEngine::initiate()");
  expect_refusal(
      h, [](VEK_Manager* mm, VEK_Engine*) { return VEK_ScaleNN(mm).engine(nullptr, 2, 2); }, kArgument,
      "VEK_ScaleNN::engine()");
  // W x k, H x k, line bytes x k and the 1-bit table's 256 x k all wrap in 32 bits.
  expect_refusal(header(m, 4, 1, 8), by<VEK_ScaleWidthIRE>(0x40000000u), kArgument,
                 "VEK_ScaleWidthIRE8xNBitsEngine::initiate()");
  expect_refusal(header(m, 4, 1, 1), by<VEK_ScaleWidthIRE>(1u << 24), kArgument,
                 "VEK_ScaleWidthIRE1BitEngine::initiate()");
  expect_refusal(header(m, 1, 4, 8), by<VEK_ScaleHeightIRE>(0x40000000u), kArgument,
                 "VEK_ScaleHeightIREEngine::initiate()");
  expect_refusal(header(m, 8, 1, 8), by<VEK_ScaleHeightIRE>(0x20000000u), kArgument,
                 "VEK_ScaleHeightIREEngine::initiate()");
  expect_refusal(header(m, 3, 1, 16), by<VEK_ScaleWidthNN>(0xFFFFFFF1u), kArgument, "VEK_ScaleWidthEngine::initiate()");
}

TEST(ScaleNN, SourcesOfWidthOrHeightZeroAreRefusedWithoutDividing) {
  const std::vector<Make> creators = {nn(2, 2),
                                      nn(0, 0),
                                      nn(8, 8),
                                      iar(2, 2),
                                      by<VEK_ScaleWidthNN>(8u),
                                      by<VEK_ScaleHeightNN>(8u),
                                      by<VEK_ScaleWidthNN>(0u),
                                      by<VEK_ScaleHeightNN>(0u),
                                      by<VEK_ScaleShrinkNN>(1u, 1u),
                                      by<VEK_ScaleSS>(2u, 2u, 0u, 0u),
                                      by<VEK_ScaleWidthNNQKRLE>(8u),
                                      by<VEK_ScaleHeightNNQKRLE>(8u)};
  for (bool rle : {false, true})
    for (auto [w, h] : {std::pair<uint32_t, uint32_t>{0, 4}, {4, 0}, {0, 0}})
      for (size_t i = 0; i < creators.size(); ++i)
        // Averaging looks at the bits first: a run-length image is no format of its.
        expect_size_refused(w, h, creators[i], rle, 0, 1, rle && i == 3 ? 0x81000000u : 0x80800000u);
}

TEST(ScaleNN, EveryRefusedAllocationLeavesNoLeak) {
  VEK_TestManager m;
  const std::vector<uint8_t> image = random_samples<uint8_t>(9 * 6 * 3, 17);
  Head h = header(m, 9, 6, 8, 3);
  for (auto [w, ht] : {std::pair<uint32_t, uint32_t>{3, 2}, {4, 5}, {18, 12}, {5, 9}})
    expect_no_leak_when_memory_runs_out(image, nn(w, ht), nn_formula(image, 9, 6, 3, w, ht), &h.h);
  const std::vector<uint8_t> bits = random_bits(13, 6, 18);
  Head hb = header(m, 13, 6, 1);
  for (auto [w, ht] : {std::pair<uint32_t, uint32_t>{26, 12}, {5, 5}})
    expect_no_leak_when_memory_runs_out(bits, nn(w, ht), pack(nn_formula(unpack(bits, 13, 6), 13, 6, 1, w, ht), w, ht),
                                        &hb.h);
}

// ---- Run-length images ----

RleRun rle_scale(uint32_t W, const std::vector<uint8_t>& stream, uint32_t H, uint32_t w, uint32_t h,
                 uint64_t fail_allocation = 0) {
  VEK_TestManager m;
  return run_rle(
      m, W, H, stream, max_line_bytes(std::max(W, w)), h,
      [=](VEK_Manager* mm, VEK_Engine* source) { return VEK_ScaleNN(mm).engine(source, w, h); }, fail_allocation);
}

Image rle_scaled(uint32_t W, const Image& in, uint32_t w, uint32_t h) {
  RleRun r = rle_scale(W, encode(in), uint32_t(in.size()), w, h);
  EXPECT_EQ(r.code, 0u) << r.method;
  return r.out;
}

// The runs of a line of pixels.
Runs runs_of_pixels(const std::vector<uint8_t>& px) {
  Runs runs;
  for (uint32_t x = 0; x < px.size(); ++x)
    if (px[x] && (x == 0 || !px[x - 1]))
      runs.emplace_back(x, x);
    else if (px[x])
      runs.back().second = x;
  return runs;
}

// Output pixel x is set when a set source pixel p has round(p r) <= x < round((p + 1) r);
// output line j is source line trunc((j + 0.5) H / h).
Image rle_formula(uint32_t W, const Image& in, uint32_t w, uint32_t h) {
  const double r = double(w) / W;
  auto round = [](double v) { return uint64_t(std::trunc(v + 0.5)); };
  Image out;
  for (uint32_t y : picks(uint32_t(in.size()), h)) {
    const Runs& line = in[y];
    std::vector<uint8_t> px(w, 0);
    for (auto [s, e] : line)
      for (uint64_t p = s; p <= e; ++p)
        for (uint64_t x = round(p * r); x < round((p + 1) * r) && x < w; ++x) px[x] = 1;
    out.push_back(runs_of_pixels(px));
  }
  return out;
}

TEST(ScaleNNQKRLE, MapsRunsToTheNewWidth) {
  EXPECT_EQ(rle_scaled(100, {{{10, 19}, {21, 30}}, {{10, 19}, {21, 21}}}, 50, 2),
            (Image{{{5, 9}, {11, 15}}, {{5, 9}}}));
  EXPECT_EQ(rle_scaled(100, {{{0, 4}, {6, 9}}}, 40, 1), (Image{{{0, 3}}}));
  EXPECT_EQ(rle_scaled(100, {{{7, 7}}}, 10, 1), (Image{{}}));
  EXPECT_EQ(rle_scaled(10, {{{2, 3}}, {}}, 25, 2), (Image{{{5, 9}}, {}}));
  // A run ending at column W would reach past the output line: it is cut at w - 1.
  EXPECT_EQ(rle_scaled(10, {{{8, 10}}}, 25, 1), (Image{{{20, 24}}}));
  EXPECT_EQ(rle_scaled(10, {{{0, 0}, {10, 10}}}, 5, 1), (Image{{{0, 0}}}));
}

TEST(ScaleNNQKRLE, SameSizeGivesTheSourceBack) {
  const Image in = {{{1, 3}}, {}};
  RleRun r = rle_scale(10, encode(in), 2, 10, 2);
  EXPECT_EQ(r.engine, r.source);
  EXPECT_EQ(r.out, in);
}

TEST(ScaleNNQKRLE, MatchesTheFormulaOnRandomLines) {
  std::mt19937 rng(21);
  for (auto [W, H, w, h] : std::vector<std::array<uint32_t, 4>>{
           {100, 20, 37, 7}, {64, 16, 200, 40}, {33, 9, 33, 25}, {1000, 5, 999, 5}, {7, 30, 93, 11}, {50, 50, 3, 3}}) {
    Image in;
    for (uint32_t y = 0; y < H; ++y) {
      Runs runs;
      for (uint64_t x = rng() % 3; x < W;) {
        const uint64_t end = std::min<uint64_t>(x + rng() % 6, W - 1);
        runs.emplace_back(uint32_t(x), uint32_t(end));
        x = end + 2 + rng() % 5;
      }
      in.push_back(runs);
    }
    EXPECT_EQ(rle_scaled(W, in, w, h), rle_formula(W, in, w, h)) << W << " x " << H << " to " << w << " x " << h;
  }
}

TEST(ScaleNNQKRLE, BrokenStreamEndsTheJobWithoutEmptyLines) {
  for (auto [w, h] : {std::pair<uint32_t, uint32_t>{5, 3}, {20, 3}, {10, 6}}) {
    RleRun r = rle_scale(10, encode({{{2, 4}, {5, 6}}, {}, {}}), 3, w, h);
    EXPECT_TRUE(r.made);
    EXPECT_EQ(r.code, 0x80400000u);
    EXPECT_TRUE(r.out.empty()) << w << " x " << h;
  }
}

TEST(ScaleNNQKRLE, RefusesZeroSizes) {
  for (auto [w, h, method] : std::vector<std::tuple<uint32_t, uint32_t, const char*>>{
           {0, 3, "VEK_ScaleWidthQKRLEEngine::initiate()"}, {5, 0, "VEK_ScaleHeightQKRLEEngine::initiate()"}}) {
    RleRun r = rle_scale(10, encode({{}, {}, {}}), 3, w, h);
    EXPECT_FALSE(r.made);
    EXPECT_EQ(r.code, 0x80800000u);
    EXPECT_EQ(r.method, method);
  }
}

TEST(ScaleNNQKRLE, EveryRefusedAllocationLeavesNoLeak) {
  const Image in = {{{2, 4}, {7, 7}}, {}, {{0, 9}}};
  for (auto [w, h] : {std::pair<uint32_t, uint32_t>{25, 7}, {4, 2}})
    expect_rle_refusals([&](uint64_t n) { return rle_scale(10, encode(in), 3, w, h, n); }, rle_formula(10, in, w, h));
}

// ---- Area averaging ----

// The integer formula: output (i, j) = (sum + n / 2) / n over the nx x ny block, height first.
template <class T>
std::vector<T> iar_formula(const std::vector<T>& in, uint32_t W, uint32_t H, uint32_t c, uint32_t fx, uint32_t fy) {
  const uint32_t h = std::max(1u, H / fy), ny = H / h;
  std::vector<uint64_t> rows(size_t(W) * c * h);
  for (uint32_t j = 0; j < h; ++j)
    for (size_t k = 0; k < size_t(W) * c; ++k) {
      uint64_t sum = 0;
      for (uint32_t y = j * ny; y < (j + 1) * ny; ++y) sum += in[y * size_t(W) * c + k];
      rows[j * size_t(W) * c + k] = (sum + ny / 2) / ny;
    }
  const uint32_t w = std::max(1u, W / fx), nx = W / w;
  std::vector<T> out;
  for (uint32_t j = 0; j < h; ++j)
    for (uint32_t i = 0; i < w; ++i)
      for (uint32_t ch = 0; ch < c; ++ch) {
        uint64_t sum = 0;
        for (uint32_t x = i * nx; x < (i + 1) * nx; ++x) sum += rows[(j * size_t(W) + x) * c + ch];
        out.push_back(T((sum + nx / 2) / nx));
      }
  return out;
}

TEST(ScaleIAR, AveragesWholeGroupsRoundingHalvesUp) {
  VEK_TestManager m;
  const std::vector<uint8_t> line = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  EXPECT_EQ(scaled_ok(header(m, 10, 1, 8), line, iar(4, 1)), (std::vector<uint8_t>{2, 7}));  // n = 5
  EXPECT_EQ(scaled_ok(header(m, 10, 1, 8), std::vector<uint8_t>{9, 9, 9, 0, 0, 0, 3, 3, 3, 200}, iar(3, 1)),
            (std::vector<uint8_t>{9, 0, 3}));  // pixel 9 unused
  EXPECT_EQ(scaled_ok(header(m, 5, 1, 16), std::vector<uint16_t>{1, 2, 3, 4, 6}, iar(8, 1)),
            (std::vector<uint16_t>{3}));  // (16 + 2) / 5
  EXPECT_EQ(scaled_ok(header(m, 2, 1, 8), std::vector<uint8_t>{1, 2}, iar(2, 1)), (std::vector<uint8_t>{2}));
  EXPECT_EQ(scaled_ok(header(m, 3, 1, 8), std::vector<uint8_t>{0, 0, 1}, iar(3, 1)), (std::vector<uint8_t>{0}));
  EXPECT_EQ(scaled_ok(header(m, 3, 1, 8), std::vector<uint8_t>{0, 1, 1}, iar(3, 1)), (std::vector<uint8_t>{1}));
  // The same along the height.
  EXPECT_EQ(scaled_ok(header(m, 1, 4, 8), std::vector<uint8_t>{1, 2, 2, 2}, iar(1, 4)), (std::vector<uint8_t>{2}));
  EXPECT_EQ(scaled_ok(header(m, 1, 3, 16), std::vector<uint16_t>{0, 1, 1}, iar(1, 3)), (std::vector<uint16_t>{1}));
  EXPECT_EQ(scaled_ok(header(m, 1, 10, 8), line, iar(1, 3)), (std::vector<uint8_t>{1, 4, 7}));
}

TEST(ScaleIAR, MatchesTheIntegerFormula) {
  VEK_TestManager m;
  for (uint16_t c : {1, 3, 4})
    for (auto [W, H, fx, fy] : std::vector<std::array<uint32_t, 4>>{{16, 12, 4, 2},
                                                                    {17, 13, 3, 5},
                                                                    {10, 9, 7, 9},
                                                                    {6, 40, 1, 8},
                                                                    {31, 2, 32, 1},
                                                                    {12, 12, 6, 4},
                                                                    {40, 16, 8, 8},
                                                                    {20, 8, 2, 2}}) {
      const std::vector<uint8_t> in8 = random_samples<uint8_t>(size_t(W) * H * c, W + H + c);
      EXPECT_EQ(scaled_ok(header(m, W, H, 8, c), in8, iar(fx, fy)), iar_formula(in8, W, H, c, fx, fy))
          << W << " x " << H << " / " << fx << ", " << fy << " c " << c;
      const std::vector<uint16_t> in16 = random_samples<uint16_t>(size_t(W) * H * c, W * H + c);
      EXPECT_EQ(scaled_ok(header(m, W, H, 16, c), in16, iar(fx, fy)), iar_formula(in16, W, H, c, fx, fy))
          << W << " x " << H << " / " << fx << ", " << fy << " c " << c;
    }
}

// 70,000 lines of 65,535 to one line: the sum passes 32 bits.
TEST(ScaleIAR, LongSumsStayExact) {
  VEK_TestManager m;
  std::vector<uint16_t> column(70000, 65535);
  column[0] = 0;
  EXPECT_EQ(scaled_ok(header(m, 1, 70000, 16), column, iar(1, 70000)),
            (std::vector<uint16_t>{uint16_t((65535ull * 69999 + 35000) / 70000)}));
  EXPECT_EQ(scaled_ok(header(m, 70000, 1, 16), column, iar(70000, 1)),
            (std::vector<uint16_t>{uint16_t((65535ull * 69999 + 35000) / 70000)}));
}

TEST(ScaleIAR, RefusesWhatItCannotAverage) {
  VEK_TestManager m;
  Head palette = header(m, 4, 4, 8);
  palette.palette();
  expect_refusal(palette, iar(2, 2), 0x81000000u, "VEK_ScaleHeightIAREngine::initiate()");
  expect_refusal(palette, iar(2, 1), 0x81000000u, "VEK_ScaleWidthIAREngine::initiate()");
  expect_refusal(header(m, 4, 4, 16, 1, VEK_DataType::s_integer), iar(2, 2), 0x81000000u,
                 "VEK_ScaleHeightIAREngine::initiate()");
  expect_refusal(header(m, 4, 4, 1), iar(2, 2), 0x81000000u, "VEK_ScaleHeightIAR::engine()");
  expect_refusal(header(m, 4, 4, 1), iar(2, 1), 0x81000000u, "VEK_ScaleWidthIAR::engine()");
  expect_refusal(header(m, 4, 4, 8), iar(0, 1), 0x80800000u, "VEK_ScaleWidthIAR::engine()");
  expect_refusal(header(m, 4, 4, 8), iar(1, 0), 0x80800000u, "VEK_ScaleHeightIAR::engine()");
}

TEST(ScaleIAR, EveryRefusedAllocationLeavesNoLeak) {
  VEK_TestManager m;
  const std::vector<uint16_t> image = random_samples<uint16_t>(12 * 9 * 2, 23);
  Head h = header(m, 12, 9, 16, 2);
  expect_no_leak_when_memory_runs_out(image, iar(4, 3), iar_formula(image, 12, 9, 2, 4, 3), &h.h);
}

#ifdef VEK_TEST_HAVE_OPENCV
// OpenCV's INTER_AREA averages whole blocks in floating point: within one of the integer means.
template <class T>
void expect_near_opencv_area(int cv_type, uint16_t bits) {
  VEK_TestManager m;
  for (int c : {1, 3, 4})
    for (auto [W, H, fx, fy] :
         std::vector<std::array<uint32_t, 4>>{{64, 48, 4, 4}, {60, 30, 3, 5}, {2048, 40, 4, 4}, {20, 20, 2, 10}}) {
      const std::vector<T> in = random_samples<T>(size_t(W) * H * c, W + c);
      const std::vector<T> got = scaled_ok(header(m, W, H, bits, uint16_t(c)), in, iar(fx, fy));
      cv::Mat src(int(H), int(W), CV_MAKETYPE(cv_type, c), const_cast<T*>(in.data())), dst;
      cv::resize(src, dst, cv::Size(int(W / fx), int(H / fy)), 0, 0, cv::INTER_AREA);
      ASSERT_EQ(got.size(), dst.total() * c);
      const T* want = dst.ptr<T>();
      for (size_t i = 0; i < got.size(); ++i)
        ASSERT_LE(std::abs(int(got[i]) - int(want[i])), 1) << W << " x " << H << " sample " << i;
    }
}

TEST(ScaleIAR, WithinOneOfOpenCVArea) {
  cv::setNumThreads(1);
  expect_near_opencv_area<uint8_t>(CV_8U, 8);
  expect_near_opencv_area<uint16_t>(CV_16U, 16);
}
#endif

}  // namespace
