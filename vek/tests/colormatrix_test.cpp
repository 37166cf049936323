#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <random>

#include "../core/colormatrix/source/vek_colormatrixengine_templ.h"
#include "vek_colormatrix.h"
#include "vek_test_image.h"
#include "vek_test_oracle.h"

namespace {

const std::vector<double> kYCbCrToRgb{1.0, 0.0, 1.402, 1.0, -0.3441, -0.7141, 1.0, 1.772, 0.0};
const std::vector<double> kIdentity{1, 0, 0, 0, 1, 0, 0, 0, 1};

// What one colour-matrix call is given; the matrix and vectors are made on the job's manager.
struct Call {
  uint32_t rows = 3, cols = 3;
  std::vector<double> matrix = kIdentity;
  const std::vector<double>* in = nullptr;
  const std::vector<double>* out = nullptr;
  const VEK_ColorType* color = nullptr;
  bool fixed = false;
};

template <class Creator = VEK_ColorMatrix>
VEK_Engine* call(VEK_Manager* m, VEK_Engine* source, const Call& c, Creator* creator = nullptr) {
  VEK_Matrix<double> matrix(m);
  if (!matrix.resize(c.rows, c.cols)) return nullptr;
  matrix.clear();
  for (uint32_t i = 0; i < c.rows * c.cols && i < c.matrix.size(); ++i) matrix.set(i / c.cols, i % c.cols, c.matrix[i]);
  VEK_Vector<double> in(m), out(m);
  for (double d : c.in != nullptr ? *c.in : std::vector<double>{}) in.push_back(d);
  for (double d : c.out != nullptr ? *c.out : std::vector<double>{}) out.push_back(d);
  Creator local(m);
  return (creator != nullptr ? *creator : local)
      .engine(source, matrix, c.in != nullptr ? &in : nullptr, c.out != nullptr ? &out : nullptr, c.color, c.fixed);
}

auto op(const Call& c) {
  return [c](VEK_Manager* m, VEK_Engine* source) { return call(m, source, c); };
}

void image(VEK_Header& h, uint32_t width, uint32_t height, uint16_t bits, uint16_t channels,
           const VEK_DataType* type = VEK_DataType::u_integer) {
  make(h, width, height, bits, channels, type);
  h.color_type(channels == 3   ? VEK_ColorType_ycbcr::instance()
               : channels == 1 ? VEK_ColorType_gray::instance()
                               : VEK_ColorType_none::instance());
}

// One gray sample through a 1 x 1 matrix [0] with output offset b: the sample the rounding rule gives.
template <class T>
T rounded(double b, bool fixed) {
  const std::vector<double> offset{b};
  VEK_TestManager m;
  VEK_Header h(&m);
  image(h, 1, 1, sizeof(T) * 8, 1);
  Call c;
  c.rows = c.cols = 1;
  c.matrix = {0.0};
  c.out = &offset;
  c.fixed = fixed;
  const TestRun<T> r = run_samples<T>(m, std::vector<T>{7}, op(c), &h);
  EXPECT_TRUE(r.passed) << std::hex << r.code;
  return r.out.empty() ? T(77) : r.out[0];
}

}  // namespace

TEST(ColorMatrix, TheIdentityWithoutOffsetsIsTheSourceAndAnythingElseAnEngine) {
  VEK_TestManager m;
  VEK_Header h(&m);
  image(h, 4, 2, 8, 3);
  const std::vector<uint8_t> in(24, 9);
  VEK_Engine* source = read_samples(m, h, in);
  Call c;
  EXPECT_EQ(call(&m, source, c), source);
  c.color = VEK_ColorType_ycbcr::instance();  // the source's own
  EXPECT_EQ(call(&m, source, c), source);
  c.fixed = true;
  c.matrix[1] = 1e-15;
  VEK_Engine* e = call(&m, source, c);
  ASSERT_NE(e, source);
  EXPECT_NE((dynamic_cast<VEK_ColorMatrix3x3_8xNbitsEngine<VEK_Q12, unsigned char>*>(e)), nullptr);
  EXPECT_EQ(collect(m, e), in);
  expect_clean_end(m);
  // An offset, or a new colour type, builds an engine even for the identity.
  const std::vector<double> zero{0, 0, 0};
  Call with_offset;
  with_offset.out = &zero;
  Call relabelled;
  relabelled.color = VEK_ColorType_s_rgb::instance();
  for (const Call& d : {with_offset, relabelled}) {
    source = read_samples(m, h, in);
    e = call(&m, source, d);
    EXPECT_NE(e, source);
    EXPECT_NE((dynamic_cast<VEK_ColorMatrix3x3_8xNbitsEngine<double, unsigned char>*>(e)), nullptr);
    EXPECT_EQ(collect(m, e), in);
    expect_clean_end(m);
  }
}

TEST(ColorMatrix, TheShapeChoosesTheEngineAndTheOutputChannels) {
  VEK_TestManager m;
  VEK_Header h(&m);
  image(h, 2, 1, 8, 3);
  const std::vector<uint8_t> in{4, 8, 12, 40, 80, 120};
  Call luma;
  luma.rows = 1;
  luma.matrix = {0.25, 0.5, 0.25};
  luma.color = VEK_ColorType_gray::instance();
  VEK_Engine* e = call(&m, read_samples(m, h, in), luma);
  ASSERT_NE(e, nullptr);
  EXPECT_NE((dynamic_cast<VEK_ColorMatrix8xNbitsEngine<double, unsigned char>*>(e)), nullptr);
  EXPECT_EQ(e->header()->channels(), 1u);
  EXPECT_EQ(e->header()->color_type(), VEK_ColorType_gray::instance());
  EXPECT_EQ(collect(m, e), (std::vector<uint8_t>{8, 80}));
  expect_clean_end(m);

  Call four;
  four.rows = 4;
  four.matrix = {1, 0, 0, 0, 1, 0, 0, 0, 1, 1, 1, 1};
  four.color = VEK_ColorType_cmyk::instance();
  four.fixed = true;
  e = call(&m, read_samples(m, h, in), four);
  ASSERT_NE(e, nullptr);
  EXPECT_NE((dynamic_cast<VEK_ColorMatrix8xNbitsEngine<VEK_Q12, unsigned char>*>(e)), nullptr);
  EXPECT_EQ(collect(m, e), (std::vector<uint8_t>{4, 8, 12, 24, 40, 80, 120, 240}));
  expect_clean_end(m);

  // One channel under the source's RGB-like colour type is no valid header.
  luma.color = nullptr;
  EXPECT_EQ(call(&m, read_samples(m, h, in), luma), nullptr);
  expect_refused(m, 0x80800000u, "VEK_ColorMatrixEngine::initiate()", "vek_colormatrixengine_templ.h");
  // The matrix must take as many channels as the source has.
  Call narrow;
  narrow.cols = 2;
  EXPECT_EQ(call(&m, read_samples(m, h, in), narrow), nullptr);
  expect_refused(m, 0x80800000u, "VEK_ColorMatrix::engine()", "vek_colormatrix.cpp");
  EXPECT_EQ(call(&m, nullptr, luma), nullptr);
  expect_refused(m, 0x80800000u, "VEK_ColorMatrix::engine()", "vek_colormatrix.cpp");
}

TEST(ColorMatrix, SumsRoundHalvesUpAndSaturateOnBothRoads) {
  EXPECT_EQ(rounded<uint8_t>(255.49, false), 255);
  EXPECT_EQ(rounded<uint8_t>(300.0, false), 255);
  EXPECT_EQ(rounded<uint8_t>(-0.2, false), 0);
  EXPECT_EQ(rounded<uint8_t>(254.5, false), 255);
  EXPECT_EQ(rounded<uint8_t>(254.49, false), 254);
  EXPECT_EQ(rounded<uint8_t>(std::numeric_limits<double>::quiet_NaN(), false), 255);
  EXPECT_EQ(rounded<uint16_t>(65534.5, false), 65535);
  EXPECT_EQ(rounded<uint16_t>(70000.0, false), 65535);
  EXPECT_EQ(rounded<uint16_t>(1.4999, false), 1);
  const auto raw = [](int64_t r) { return double(r) / 4096.0; };
  EXPECT_EQ(rounded<uint8_t>(raw(2047), true), 0);
  EXPECT_EQ(rounded<uint8_t>(raw(2048), true), 1);
  EXPECT_EQ(rounded<uint8_t>(raw(6143), true), 1);
  EXPECT_EQ(rounded<uint8_t>(raw(255 * 4096 + 2047), true), 255);
  EXPECT_EQ(rounded<uint8_t>(raw(256 * 4096), true), 255);
  EXPECT_EQ(rounded<uint8_t>(raw(-1), true), 0);
  // trunc(d x 4096): a hair under 2048 stays 2047.
  EXPECT_EQ(rounded<uint8_t>(raw(2048) - 1e-9, true), 0);
  EXPECT_EQ(rounded<uint16_t>(raw(65535LL * 4096 + 2047), true), 65535);
}

TEST(ColorMatrix, SignedSourcesAreRefusedOnBothRoadsAndFloatTakesTheDoubleRoad) {
  for (bool fixed : {false, true}) {
    VEK_TestManager m;
    VEK_Header h(&m);
    image(h, 2, 1, 8, 3, VEK_DataType::s_integer);
    Call c;
    c.matrix = kYCbCrToRgb;
    c.fixed = fixed;
    EXPECT_EQ(call(&m, read_samples(m, h, std::vector<int8_t>(6, 1)), c), nullptr);
    expect_refused(m, 0x81000000u, "VEK_ColorMatrix3x3_8xNbits::engine()", "vek_colormatrix3x3_8xnbits.cpp");
    c.rows = 1;
    c.matrix = {1, 2, 3};
    c.color = VEK_ColorType_gray::instance();
    EXPECT_EQ(call(&m, read_samples(m, h, std::vector<int8_t>(6, 1)), c), nullptr);
    expect_refused(m, 0x81000000u, "VEK_ColorMatrix8xNbits::engine()", "vek_colormatrix8xnbits.cpp");
  }
  // Floats asked for fixed point keep their fractions and are not clamped.
  VEK_TestManager m;
  VEK_Header h(&m);
  image(h, 1, 1, 32, 3, VEK_DataType::floating);
  Call c;
  c.matrix = {0.5, 0, 0, 0, 2, 0, 0, 0, -1};
  c.fixed = true;
  const TestRun<float> r = run_samples<float>(m, std::vector<float>{0.75f, 300.0f, 2.0f}, op(c), &h);
  EXPECT_TRUE(r.passed);
  EXPECT_EQ(r.out, (std::vector<float>{0.375f, 600.0f, -2.0f}));
  image(h, 1, 1, 64, 3, VEK_DataType::floating);
  const TestRun<double> d = run_samples<double>(m, std::vector<double>{0.1, 1e10, 2.0}, op(c), &h);
  EXPECT_EQ(d.out, (std::vector<double>{0.0 + 0.1 * 0.5, 2e10, -2.0}));
}

TEST(ColorMatrix, OffsetVectorsMustMatchTheChannels) {
  const std::vector<double> four{0, 0, 0, 0}, two{0, 0};
  for (bool fixed : {false, true}) {
    VEK_TestManager m;
    VEK_Header h(&m);
    image(h, 2, 1, 8, 3);
    Call c;
    c.matrix = kYCbCrToRgb;
    c.fixed = fixed;
    c.in = &four;
    EXPECT_EQ(call(&m, read_samples(m, h, std::vector<uint8_t>(6, 1)), c), nullptr);
    expect_refused(m, 0x80800000u, "VEK_ColorMatrixEngine::initiate()", "vek_colormatrixengine_templ.h");
    c.in = nullptr;
    c.out = &two;
    EXPECT_EQ(call(&m, read_samples(m, h, std::vector<uint8_t>(6, 1)), c), nullptr);
    expect_refused(m, 0x80800000u, "VEK_ColorMatrixEngine::initiate()", "vek_colormatrixengine_templ.h");
  }
}

TEST(ColorMatrix, YCbCrToRgbOverEveryEightBitTriple) {
  if (!oracle_available()) GTEST_SKIP() << "python3 with numpy and Pillow absent";
  const std::vector<uint8_t> in = every_triple();
  const std::vector<double> offsets{0.0, -128.0, -128.0};
  VEK_TestManager m;
  VEK_Header h(&m);
  image(h, 4096, 4096, 8, 3);
  Call c;
  c.matrix = kYCbCrToRgb;
  c.in = &offsets;
  c.color = VEK_ColorType_s_rgb::instance();
  c.fixed = true;
  const TestRun<uint8_t> fixed = run_samples<uint8_t>(m, in, op(c), &h);
  ASSERT_TRUE(fixed.passed);
  ASSERT_EQ(fixed.out.size(), in.size());
  EXPECT_EQ(fixed.color, VEK_ColorType_s_rgb::instance());
  EXPECT_TRUE(fixed.out == oracle("ycbcr_q12", "")) << "the Q12 closed form";

  const auto within_one = [&](const std::vector<uint8_t>& peer, const char* name) {
    ASSERT_EQ(peer.size(), in.size()) << name;
    size_t off = 0;
    for (size_t i = 0; i < in.size(); ++i)
      if (std::abs(int(peer[i]) - int(fixed.out[i])) > 1 && off++ < 5)
        ADD_FAILURE() << name << " sample " << i << ": " << int(peer[i]) << " against " << int(fixed.out[i]);
    EXPECT_EQ(off, 0u) << name;
  };
  within_one(oracle("ycbcr_pillow", ""), "Pillow");
  cv::setNumThreads(0);
  cv::Mat ycrcb(4096, 4096, CV_8UC3), rgb;
  for (size_t i = 0; i < (1u << 24); ++i) {
    ycrcb.data[3 * i] = in[3 * i];
    ycrcb.data[3 * i + 1] = in[3 * i + 2];
    ycrcb.data[3 * i + 2] = in[3 * i + 1];
  }
  cv::cvtColor(ycrcb, rgb, cv::COLOR_YCrCb2RGB);
  within_one(std::vector<uint8_t>(rgb.data, rgb.data + in.size()), "OpenCV");

  // The double road gives the double closed form.
  c.fixed = false;
  const TestRun<uint8_t> unfixed = run_samples<uint8_t>(m, in, op(c), &h);
  const std::string path = oracle_write("triples", in);
  EXPECT_TRUE(unfixed.out == oracle("matrix_double", "bits=8 in=" + path)) << "the double closed form";
  std::remove(path.c_str());
}

TEST(ColorMatrix, SixteenBitSamplesGiveTheDoubleClosedFormOnEitherRoad) {
  if (!oracle_available()) GTEST_SKIP() << "python3 with numpy absent";
  std::mt19937 random(17);
  std::vector<uint16_t> in(3 * 512 * 512);
  for (uint16_t& s : in) s = uint16_t(random());
  for (size_t i = 0; i < 64; ++i) in[i] = uint16_t(i % 3 == 0 ? 65535 : i % 2 ? 0 : 32768);
  const std::vector<double> offsets{0.0, -32768.0, -32768.0};
  const std::string path = oracle_write("wide", in);
  const std::vector<uint16_t> want = oracle<uint16_t>("matrix_double", "bits=16 in=" + path);
  std::remove(path.c_str());
  // The creator takes the double road for any bit depth above 8 when fixed point is not asked.
  VEK_TestManager m;
  VEK_Header h(&m);
  image(h, 512, 512, 16, 3);
  Call c;
  c.matrix = kYCbCrToRgb;
  c.in = &offsets;
  c.color = VEK_ColorType_s_rgb::instance();
  const TestRun<uint16_t> r = run_samples<uint16_t>(m, in, op(c), &h);
  EXPECT_TRUE(r.passed);
  EXPECT_TRUE(r.out == want);
  // The general engine sums in the same order as the unrolled one.
  const TestRun<uint16_t> general = run_samples<uint16_t>(
      m, in, [&](VEK_Manager* mm, VEK_Engine* source) { return call<VEK_ColorMatrix8xNbits>(mm, source, c); }, &h);
  EXPECT_TRUE(general.out == want);
}

TEST(ColorMatrix, Q12ElementsAndOffsetsOutsideTheTypeAreRefused) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (double bad : {nan, 1e300, 524288.0, -524288.5, std::numeric_limits<double>::infinity()}) {
    const std::vector<double> offsets{0.0, bad, 0.0};
    for (bool in_matrix : {true, false}) {
      VEK_TestManager m;
      VEK_Header h(&m);
      image(h, 2, 1, 8, 3);
      Call c;
      c.matrix = kYCbCrToRgb;
      c.fixed = true;
      if (in_matrix)
        c.matrix[4] = bad;
      else
        c.out = &offsets;
      EXPECT_EQ(call(&m, read_samples(m, h, std::vector<uint8_t>(6, 1)), c), nullptr) << bad;
      expect_refused(m, 0x80800000u, in_matrix ? "to_fixed()" : "VEK_ColorMatrix3x3_8xNbits::engine()",
                     in_matrix ? "vek_colormatrix.cpp" : "vek_colormatrix3x3_8xnbits.cpp");
    }
  }
  // The edges of the type pass: trunc keeps -524288 and 524288 - 1/4096.
  VEK_TestManager m;
  VEK_Matrix<double> d(&m);
  VEK_Matrix<VEK_Q12> q(&m);
  ASSERT_TRUE(d.resize(1, 3));
  d.set(0, 0, -524288.0);
  d.set(0, 1, 524288.0 - 1.0 / 4096);
  d.set(0, 2, -0.3441);
  ASSERT_TRUE(to_fixed(d, q));
  EXPECT_EQ(q.get(0, 0).raw(), INT32_MIN);
  EXPECT_EQ(q.get(0, 1).raw(), INT32_MAX);
  EXPECT_EQ(q.get(0, 2).raw(), -1409);
}

TEST(ColorMatrix, Q12SumsOfSixteenBitSamplesDoNotWrap) {
  // Ten times the identity: 60000 x 10 x 4096 passes 2^31, and must still be bright.
  std::vector<double> ten(9, 0.0);
  ten[0] = ten[4] = ten[8] = 10.0;
  Call c;
  c.matrix = ten;
  c.fixed = true;
  VEK_TestManager m;
  VEK_Header h(&m);
  image(h, 2, 1, 16, 3);
  const std::vector<uint16_t> in{60000, 1000, 6553, 65535, 0, 6554};
  const std::vector<uint16_t> want{65535, 10000, 65530, 65535, 0, 65535};
  EXPECT_EQ(run_samples<uint16_t>(m, in, op(c), &h).out, want);
  EXPECT_EQ(run_samples<uint16_t>(
                m, in, [&](VEK_Manager* mm, VEK_Engine* s) { return call<VEK_ColorMatrix8xNbits>(mm, s, c); }, &h)
                .out,
            want);
  // A large constant below zero with large weights: the sum is exact, not wrapped.
  const std::vector<double> out{-300000.0, 0, 0};
  c.out = &out;
  c.matrix[0] = 9.0;
  image(h, 1, 1, 16, 3);
  EXPECT_EQ(run_samples<uint16_t>(m, std::vector<uint16_t>{65535, 0, 0}, op(c), &h).out,
            (std::vector<uint16_t>{uint16_t((65535 * 9 - 300000 + 0.5)), 0, 0}));
}

TEST(ColorMatrix, MoreRowsThanAHeaderCanCountAreRefused) {
  VEK_TestManager m;
  VEK_Header h(&m);
  image(h, 1, 1, 8, 1);
  h.color_type(VEK_ColorType_none::instance());
  Call c;
  c.rows = 65537;
  c.cols = 1;
  c.matrix = {1.0};
  EXPECT_EQ(call(&m, read_samples(m, h, std::vector<uint8_t>{1}), c), nullptr);
  expect_refused(m, 0x80800000u, "VEK_ColorMatrixEngine::initiate()", "vek_colormatrixengine_templ.h");
}

TEST(ColorMatrix, EachFixedCallKeepsOnlyItsOwnQ12Offsets) {
  VEK_TestManager m;
  VEK_Header h(&m);
  image(h, 2, 1, 8, 3);
  const std::vector<uint8_t> in(6, 100);
  const std::vector<double> first{0, -128, -128}, second{1.5, 2.0, -0.25};
  {
    VEK_ColorMatrix3x3_8xNbits creator(&m);
    Call c;
    c.matrix = kYCbCrToRgb;
    c.fixed = true;
    c.in = &first;
    ASSERT_NE(call(&m, read_samples(m, h, in), c, &creator), nullptr);
    const size_t live = m.memory_manager().live();
    c.in = &second;
    c.out = &first;
    ASSERT_NE(call(&m, read_samples(m, h, in), c, &creator), nullptr);
    ASSERT_NE(creator.fixed_in_offsets(), nullptr);
    ASSERT_NE(creator.fixed_out_offsets(), nullptr);
    EXPECT_EQ((*creator.fixed_in_offsets())[0].raw(), 6144);
    EXPECT_EQ((*creator.fixed_out_offsets())[1].raw(), -524288);
    // A third call with one vector instead of two frees both of the second call's: it leaves
    // four allocations (two vectors' objects and entries) fewer than the second call.
    const size_t second = m.memory_manager().live();
    c.out = nullptr;
    ASSERT_NE(call(&m, read_samples(m, h, in), c, &creator), nullptr);
    EXPECT_EQ(creator.fixed_out_offsets(), nullptr);
    EXPECT_EQ(m.memory_manager().live() - second, second - live - 4);
  }
  expect_clean_end(m);
}

TEST(ColorMatrix, RefusingEachAllocationInTurnLeaksNothing) {
  const std::vector<double> a{0, -128, -128}, b{1, 2, 3, 4};
  VEK_TestManager m;
  VEK_Header h(&m);
  image(h, 2, 1, 8, 3);
  const std::vector<uint8_t> in{10, 200, 30, 40, 50, 60};
  for (bool fixed : {true, false}) {
    Call c;
    c.matrix = kYCbCrToRgb;
    c.in = &a;
    c.fixed = fixed;
    c.color = VEK_ColorType_s_rgb::instance();
    expect_no_leak_when_memory_runs_out(in, op(c), run_samples<uint8_t>(m, in, op(c), &h).out, &h);
    c.rows = 4;
    c.matrix = {1, 0, 0, 0, 1, 0, 0, 0, 1, 1, 1, 1};
    c.out = &b;
    c.color = VEK_ColorType_cmyk::instance();
    expect_no_leak_when_memory_runs_out(in, op(c), run_samples<uint8_t>(m, in, op(c), &h).out, &h);
  }
}
