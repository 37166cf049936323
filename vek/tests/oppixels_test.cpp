#include <gtest/gtest.h>
#include <unistd.h>

#ifdef VEK_TEST_HAVE_OPENCV
#include <opencv2/core.hpp>
#endif

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "../core/operation/source/vek_oppixelslines.h"
#include "vek_and.h"
#include "vek_memory.h"
#include "vek_oppixels.h"
#include "vek_test_image.h"
#include "vek_test_ops.h"
#include "vek_test_oracle.h"

namespace {

using Op = VEK_PixelOperator;

// One input image: its header fields and raw lines.
struct Image {
  uint32_t w = 0, h = 0;
  uint16_t bits = 8, channels = 1;
  const VEK_DataType* type = VEK_DataType::u_integer;
  std::vector<uint8_t> bytes;
  uint32_t line_bytes() const { return uint32_t((uint64_t(w) * bits * channels + 7) / 8); }
};

template <class T>
Image image_of(uint32_t w, uint32_t h, const std::vector<T>& samples, uint16_t channels = 1) {
  Image i{w, h, uint16_t(sizeof(T) * 8), channels, test_data_type<T>(), {}};
  i.bytes.resize(samples.size() * sizeof(T));
  if (!samples.empty()) std::memcpy(i.bytes.data(), samples.data(), i.bytes.size());
  return i;
}

Image random_image(std::mt19937& rng, uint32_t w, uint32_t h, uint16_t bits, uint16_t channels,
                   const VEK_DataType* type = VEK_DataType::u_integer) {
  Image i{w, h, bits, channels, type, {}};
  i.bytes.resize(size_t(i.line_bytes()) * h);
  for (uint8_t& b : i.bytes) b = uint8_t(rng());
  return i;
}

void header_of(VEK_Header& h, const Image& i) {
  make(h, i.w, i.h, i.bits, i.channels, i.type);
  h.color_type(i.channels == 3 ? VEK_ColorType_s_rgb::instance() : VEK_ColorType_gray::instance());
}

VEK_Engine* source_of(VEK_Manager& m, const Image& i) {
  VEK_Header h(&m);
  header_of(h, i);
  return VEK_ReadMemory(&m).engine(h, i.bytes.data(), uint32_t(i.bytes.size()));
}

// What a job gave: the engine made, its output, and the job's first report.
struct Job {
  bool made = false, first_itself = false;
  std::vector<uint8_t> out;
  uint32_t code = 0;
  std::string method;
};

using Make = std::function<VEK_Engine*(VEK_Manager*, VEK_Engine*, VEK_Engine*)>;

// Both images from memory through make, collected; the job must leave nothing behind.
Job job(const Image& a, const Image& b, const Make& make) {
  VEK_TestManager m;
  Job j;
  {
    VEK_Engine* first = source_of(m, a);
    VEK_Engine* e = make(&m, first, source_of(m, b));
    j.made = e != nullptr;
    j.first_itself = e == first;
    if (e != nullptr) j.out = collect(m, e);
  }
  j.code = m.status().full_code();
  j.method = m.status().method();
  end_job(m);
  return j;
}

Make and_at(int32_t x, int32_t y) {
  return [=](VEK_Manager* m, VEK_Engine* a, VEK_Engine* b) { return VEK_And(m).engine(a, b, x, y); };
}

// The sample-type creator itself, for inputs already fitted.
template <class OPBin, class T>
Make typed_at(uint32_t x, uint32_t y) {
  return [=](VEK_Manager* m, VEK_Engine* a, VEK_Engine* b) -> VEK_Engine* {
    VEK_Vector<VEK_Engine*> engines(m);
    if (!engines.push_back(a) || !engines.push_back(b)) return nullptr;
    return VEK_OpPixels8xNBitsUnMasked<OPBin, T>(m).engine(engines, x, y);
  };
}

template <class OPBin, class T>
std::vector<T> combined(const std::vector<T>& d, const std::vector<T>& p) {
  const Job j =
      job(image_of<T>(uint32_t(d.size()), 1, d), image_of<T>(uint32_t(p.size()), 1, p), typed_at<OPBin, T>(0, 0));
  EXPECT_EQ(j.code, 0u) << j.method;
  std::vector<T> out(j.out.size() / sizeof(T));
  if (!out.empty()) std::memcpy(out.data(), j.out.data(), out.size() * sizeof(T));
  return out;
}

// numpy's answers for a batch of cases, each the first image with the overlap combined.
class Oracle {
 public:
  void add(int64_t op, int64_t kind, const Image& a, const Image& b, int64_t x, int64_t y) {
    const int64_t record[9] = {op, kind, a.w, a.h, b.w, b.h, a.channels, x, y};
    request_.write(reinterpret_cast<const char*>(record), sizeof(record));
    request_.write(reinterpret_cast<const char*>(a.bytes.data()), std::streamsize(a.bytes.size()));
    request_.write(reinterpret_cast<const char*>(b.bytes.data()), std::streamsize(b.bytes.size()));
    sizes_.push_back(a.bytes.size());
  }
  // False when numpy is not there.
  bool answer(std::vector<std::vector<uint8_t>>& out) {
    if (!oracle_available()) return false;
    const std::string answer = python_oracle("oppixels_oracle.py", request_.str());
    size_t at = 0;
    for (size_t n : sizes_) {
      out.emplace_back(answer.begin() + std::min(at, answer.size()), answer.begin() + std::min(at + n, answer.size()));
      at += n;
    }
    return true;
  }

 private:
  std::ostringstream request_;
  std::vector<size_t> sizes_;
};

template <class T>
bool same_samples(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i += sizeof(T)) {
    T x, y;
    std::memcpy(&x, &a[i], sizeof(T));
    std::memcpy(&y, &b[i], sizeof(T));
    if (!same_sample(x, y)) return false;
  }
  return true;
}

// Emits the given lines of an image, logging each into a shared list; stops early when told.
class LogSourceEngine : public VEK_GenerateEngine {
 public:
  using VEK_GenerateEngine::initiate;
  using VEK_GenerateEngine::VEK_GenerateEngine;
  bool initiate(VEK_DstBuffer* destination, const VEK_Header* header, char tag, std::vector<std::string>* log,
                uint32_t given) {
    tag_ = tag;
    log_ = log;
    given_ = given;
    return VEK_GenerateEngine::initiate(header, destination) && dst_->block_bytes(out_header_.line_bytes());
  }
  bool execute() override {
    if (line_ >= given_ || line_ >= out_header_.height()) return false;
    uint8_t* out = static_cast<uint8_t*>(dst_->get());
    if (out == nullptr) return false;
    std::memset(out, tag_ == 'A' ? 0xFF : 0x0F, out_header_.line_bytes());
    log_->push_back(std::string(1, tag_) + std::to_string(line_++));
    return dst_->release(out_header_.line_bytes());
  }
  ~LogSourceEngine() override { log_->push_back(std::string("~") + tag_); }

 private:
  char tag_ = 'A';
  std::vector<std::string>* log_ = nullptr;
  uint32_t given_ = 0, line_ = 0;
};

class LogSource : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(const VEK_Header& h, char tag, std::vector<std::string>* log, uint32_t given = UINT32_MAX) {
    return create_generator<LogSourceEngine>(&h, tag, log, given);
  }
};

}  // namespace

TEST(OpPixels, NoOverlapGivesTheFirstAndDropsTheSecond) {
  for (auto [x, y] : {std::pair{7, 0}, {0, 5}, {-4, 0}, {0, -3}, {INT32_MAX, 0}, {INT32_MIN, INT32_MIN}, {9, -9}}) {
    VEK_TestManager m;
    std::vector<std::string> log;
    {
      VEK_Header h1(&m), h2(&m);
      make_gray(h1, 7, 5);
      make_gray(h2, 4, 3);
      VEK_Engine* first = LogSource(&m).engine(h1, 'A', &log);
      VEK_Engine* second = LogSource(&m).engine(h2, 'B', &log);
      EXPECT_EQ(VEK_And(&m).engine(first, second, x, y), first);
      EXPECT_EQ(log, std::vector<std::string>{"~B"}) << x << "," << y;
      EXPECT_EQ(m.status().full_code(), 0u);
      EXPECT_EQ(collect(m, first), std::vector<uint8_t>(35, 0xFF));
    }
    expect_clean_end(m);
  }
}

TEST(OpPixels, OffsetsBeyondThirtyTwoBitsAreSafe) {
  // -INT32_MIN is 2^31: a second image wider than that still overlaps by its last columns.
  VEK_TestManager m;
  VEK_Header h1(&m), h2(&m);
  make_gray(h1, 16, 2, 1);
  make_gray(h2, 0x80000004u, 2, 1);
  std::vector<std::string> log;
  VEK_Engine* first = LogSource(&m).engine(h1, 'A', &log);
  VEK_Engine* e = VEK_And(&m).engine(first, LogSource(&m).engine(h2, 'B', &log), INT32_MIN, 0);
  ASSERT_NE(e, nullptr);
  EXPECT_NE(e, first);
  EXPECT_EQ(e->header()->width(), 16u);
  EXPECT_EQ(m.status().full_code(), 0u);
  // One column short of that, nothing overlaps.
  make_gray(h2, 0x80000000u, 2, 1);
  EXPECT_EQ(VEK_And(&m).engine(first, LogSource(&m).engine(h2, 'B', &log), INT32_MIN, 0), first);
  EXPECT_EQ(VEK_And(&m).engine(first, LogSource(&m).engine(h2, 'B', &log), 0, INT32_MIN), first);
  expect_clean_end(m);
}

TEST(OpPixels, AndMatchesNumpyAtEveryOffset) {
  std::mt19937 rng(19);
  struct Shape {
    uint32_t w1, h1, w2, h2;
    uint16_t bits, channels;
  };
  const Shape shapes[] = {{21, 13, 11, 7, 1, 1}, {19, 9, 30, 12, 1, 1},  {37, 5, 13, 4, 1, 1}, {21, 13, 11, 7, 8, 1},
                          {19, 9, 30, 12, 8, 3}, {21, 13, 11, 7, 16, 1}, {17, 6, 9, 9, 16, 3}};
  Oracle oracle;
  std::vector<Job> jobs;
  std::vector<std::string> names;
  for (const Shape& s : shapes) {
    const int32_t w1 = int32_t(s.w1), w2 = int32_t(s.w2);
    for (int32_t x : {-w2 + 1, -3, -1, 0, 1, 3, 8, w1 - 1})
      for (int32_t y : {-int32_t(s.h2) + 1, -3, -1, 0, 1, 3, 8, int32_t(s.h1) - 1}) {
        const Image a = random_image(rng, s.w1, s.h1, s.bits, s.channels);
        const Image b = random_image(rng, s.w2, s.h2, s.bits, s.channels);
        oracle.add(4, s.bits == 1 ? 0 : s.bits == 8 ? 1 : 3, a, b, x, y);
        jobs.push_back(job(a, b, and_at(x, y)));
        names.push_back(std::to_string(s.bits) + " bits, x " + std::to_string(x) + ", y " + std::to_string(y));
      }
  }
  std::vector<std::vector<uint8_t>> expected;
  if (!oracle.answer(expected)) GTEST_SKIP() << "python3 with numpy absent";
  for (size_t i = 0; i < jobs.size(); ++i) {
    EXPECT_EQ(jobs[i].code, 0u) << names[i] << " " << jobs[i].method;
    EXPECT_EQ(jobs[i].out, expected[i]) << names[i];
  }
}

namespace {

// Random samples with the values that decide saturation and rounding.
template <class T>
Image random_samples(std::mt19937& rng, uint32_t w, uint32_t h, uint16_t c) {
  std::vector<T> v(size_t(w) * h * c);
  for (T& s : v) {
    if constexpr (std::is_floating_point_v<T>) {
      const double pick[] = {0.0,
                             -0.0,
                             1.5,
                             -2.25,
                             std::numeric_limits<T>::max(),
                             -std::numeric_limits<T>::max(),
                             INFINITY,
                             -INFINITY,
                             NAN,
                             std::numeric_limits<T>::max() / 3};
      const uint32_t r = rng() % 16;
      s = r < 10 ? T(pick[r]) : T(std::uniform_real_distribution<double>(-1e6, 1e6)(rng));
    } else {
      uint64_t bits = (uint64_t(rng()) << 32) | rng();
      if (rng() % 3 == 0) bits %= 300;  // small values and their negatives
      std::memcpy(&s, &bits, sizeof(T));
      if (rng() % 3 == 0) s = T(-s);
    }
  }
  return image_of<T>(w, h, v, c);
}

template <class T>
constexpr int64_t kind_of() {
  if constexpr (std::is_same_v<T, signed char>)
    return 2;
  else if constexpr (std::is_same_v<T, short>)
    return 4;
  else if constexpr (std::is_same_v<T, unsigned int>)
    return 5;
  else if constexpr (std::is_same_v<T, int>)
    return 6;
  else if constexpr (std::is_same_v<T, float>)
    return 7;
  else
    return 8;
}

struct Case {
  std::vector<uint8_t> out;
  std::function<bool(const std::vector<uint8_t>&, const std::vector<uint8_t>&)> same;
  std::string name;
};

template <class OPBin, class T>
void add_cases(std::mt19937& rng, int64_t op, Oracle& oracle, std::vector<Case>& cases) {
  struct Place {
    uint32_t w1, h1, w2, h2, x, y;
    uint16_t c;
  };
  for (Place p : {Place{17, 6, 9, 4, 5, 1, 3}, Place{23, 5, 23, 5, 0, 0, 1}, Place{12, 7, 3, 2, 9, 5, 3}}) {
    const Image a = random_samples<T>(rng, p.w1, p.h1, p.c), b = random_samples<T>(rng, p.w2, p.h2, p.c);
    oracle.add(op, kind_of<T>(), a, b, p.x, p.y);
    const Job j = job(a, b, typed_at<OPBin, T>(p.x, p.y));
    EXPECT_EQ(j.code, 0u) << j.method;
    cases.push_back({j.out, &same_samples<T>, "op " + std::to_string(op) + " type " + std::to_string(kind_of<T>())});
  }
}

template <class OPBin>
void add_every_type(std::mt19937& rng, int64_t op, Oracle& oracle, std::vector<Case>& cases) {
  add_cases<OPBin, signed char>(rng, op, oracle, cases);
  add_cases<OPBin, short>(rng, op, oracle, cases);
  add_cases<OPBin, unsigned int>(rng, op, oracle, cases);
  add_cases<OPBin, int>(rng, op, oracle, cases);
  add_cases<OPBin, float>(rng, op, oracle, cases);
  add_cases<OPBin, double>(rng, op, oracle, cases);
}

}  // namespace

TEST(OpPixels, EveryInstanceMatchesNumpy) {
  std::mt19937 rng(7);
  Oracle oracle;
  std::vector<Case> cases;
  add_every_type<Op::Add>(rng, 0, oracle, cases);
  add_every_type<Op::Sub>(rng, 1, oracle, cases);
  add_every_type<Op::Multiply>(rng, 2, oracle, cases);
  add_cases<Op::MultiplyWithNormalization, unsigned int>(rng, 3, oracle, cases);
  add_every_type<Op::Overwrite>(rng, 5, oracle, cases);
  // And on 8 and 16 bits through its own creators.
  for (uint16_t bits : {8, 16}) {
    const Image a = random_image(rng, 15, 4, bits, 1), b = random_image(rng, 6, 3, bits, 1);
    oracle.add(4, bits == 8 ? 1 : 3, a, b, 7, 1);
    const Job j = bits == 8 ? job(a, b, typed_at<Op::And, unsigned char>(7, 1))
                            : job(a, b, typed_at<Op::And, unsigned short>(7, 1));
    cases.push_back({j.out, &same_samples<uint8_t>, "and " + std::to_string(bits)});
  }
  std::vector<std::vector<uint8_t>> expected;
  if (!oracle.answer(expected)) GTEST_SKIP() << "python3 with numpy absent";
  for (size_t i = 0; i < cases.size(); ++i) EXPECT_TRUE(cases[i].same(cases[i].out, expected[i])) << cases[i].name;
}

#ifdef VEK_TEST_HAVE_OPENCV
namespace {

template <class T>
void expect_as_opencv(int cv_type) {
  std::mt19937 rng(15);
  const Image a = random_samples<T>(rng, 29, 7, 1), b = random_samples<T>(rng, 11, 4, 1);
  const cv::Mat first(7, 29, cv_type, const_cast<uint8_t*>(a.bytes.data()));
  const cv::Mat second(4, 11, cv_type, const_cast<uint8_t*>(b.bytes.data()));
  const cv::Rect overlap(13, 2, 11, 4);
  using Cv = void (*)(const cv::Mat&, const cv::Mat&, cv::Mat&);
  const Cv ops[] = {[](const cv::Mat& x, const cv::Mat& y, cv::Mat& r) { cv::add(x, y, r); },
                    [](const cv::Mat& x, const cv::Mat& y, cv::Mat& r) { cv::subtract(x, y, r); },
                    [](const cv::Mat& x, const cv::Mat& y, cv::Mat& r) { cv::multiply(x, y, r); }};
  const Make ours[] = {typed_at<Op::Add, T>(13, 2), typed_at<Op::Sub, T>(13, 2), typed_at<Op::Multiply, T>(13, 2)};
  for (int k = 0; k < 3; ++k) {
    cv::Mat expected = first.clone();
    cv::Mat window = expected(overlap);
    cv::Mat result;
    ops[k](first(overlap), second, result);
    result.copyTo(window);
    const std::vector<uint8_t> want(expected.data, expected.data + a.bytes.size());
    EXPECT_EQ(job(a, b, ours[k]).out, want) << "operator " << k << ", " << sizeof(T) * 8 << " bits";
  }
}

}  // namespace

TEST(OpPixels, SignedAddSubMultiplyMatchOpenCV) {
  expect_as_opencv<signed char>(CV_8SC1);
  expect_as_opencv<short>(CV_16SC1);
}
#endif

TEST(OpPixels, IntegerResultsSaturate) {
  using SC = signed char;
  EXPECT_EQ((combined<Op::Add, SC>({100, -100, 5}, {100, -100, -7})), (std::vector<SC>{127, -128, -2}));
  EXPECT_EQ((combined<Op::Sub, unsigned>({3, 5, 4294967295u}, {5, 3, 0})), (std::vector<unsigned>{0, 2, 4294967295u}));
  EXPECT_EQ((combined<Op::Multiply, short>({300, 300, -2}, {300, -300, 3})), (std::vector<short>{32767, -32768, -6}));
  EXPECT_EQ((combined<Op::MultiplyWithNormalization, unsigned>({4294967295u, 2147483648u, 65535u},
                                                               {4294967295u, 4294967295u, 65535u})),
            (std::vector<unsigned>{4294967295u, 2147483648u, 0}));
  EXPECT_EQ((combined<Op::Add, int>({INT32_MAX, INT32_MIN}, {1, -1})), (std::vector<int>{INT32_MAX, INT32_MIN}));
  EXPECT_EQ((combined<Op::Multiply, unsigned>({65536, 7}, {65536, 3})), (std::vector<unsigned>{4294967295u, 21}));
  EXPECT_EQ((combined<Op::Overwrite, SC>({1, 2}, {-3, 4})), (std::vector<SC>{-3, 4}));
}

TEST(OpPixels, FloatingResultsStayFinite) {
  constexpr double kMax = std::numeric_limits<double>::max();
  EXPECT_EQ((combined<Op::Add, float>({3e38f, 1.5f}, {3e38f, 2.0f})),
            (std::vector<float>{3.4028234663852886e+38f, 3.5f}));
  EXPECT_EQ((combined<Op::Add, double>({1e308, -1e308}, {1e308, -1e308})), (std::vector<double>{kMax, -kMax}));
  EXPECT_EQ((combined<Op::Sub, double>({1e308}, {-1e308})), (std::vector<double>{kMax}));
  EXPECT_EQ((combined<Op::Multiply, double>({1e200, -1e200}, {-1e200, -1e200})), (std::vector<double>{-kMax, kMax}));
  // An infinite result keeps its sign; a NaN becomes the negative maximum.
  EXPECT_EQ((combined<Op::Add, double>({INFINITY, -INFINITY, NAN, INFINITY}, {-1.0, 1.0, 1.0, -INFINITY})),
            (std::vector<double>{kMax, -kMax, -kMax, -kMax}));
  EXPECT_EQ((combined<Op::Sub, double>({INFINITY, 2.5}, {0.0, 0.5})), (std::vector<double>{kMax, 2.0}));
  const std::vector<float> nan = combined<Op::Add, float>({NAN}, {1.0f});
  ASSERT_EQ(nan.size(), 1u);
  EXPECT_TRUE(std::isnan(nan[0]));
}

TEST(OpPixels, RefusesWhatItCannotCombine) {
  std::mt19937 rng(3);
  const VEK_DataType *u = VEK_DataType::u_integer, *s = VEK_DataType::s_integer, *f = VEK_DataType::floating;
  // AND on signed 8-bit, any 32-bit or floating data.
  for (auto [bits, type] : {std::pair{8, s}, {32, u}, {32, s}, {32, f}, {64, f}, {16, f}, {12, u}}) {
    const Image a = random_image(rng, 6, 3, uint16_t(bits), 1, type),
                b = random_image(rng, 2, 2, uint16_t(bits), 1, type);
    const Job j = job(a, b, and_at(1, 1));
    EXPECT_FALSE(j.made);
    EXPECT_EQ(j.code, 0x81000000u) << bits;
    EXPECT_EQ(j.method, "VEK_OpPixelsUnMasked<OPBin, DataType>::create_engine()");
  }
  // Inputs of different kinds (placed inside the first, so nothing is cropped).
  const Image a = random_image(rng, 6, 3, 8, 1);
  Image other_bits = random_image(rng, 2, 2, 16, 1), other_channels = random_image(rng, 2, 2, 8, 3);
  Image other_type = random_image(rng, 2, 2, 8, 1, s);
  for (const Image* b : {&other_bits, &other_channels, &other_type}) {
    const Job j = job(a, *b, and_at(1, 1));
    EXPECT_EQ(j.code, 0x81000000u);
    EXPECT_EQ(j.method, "VEK_OpPixelsEngine::initiate()");
  }
  const Image b = random_image(rng, 2, 2, 8, 1);
  auto with = [&](const std::function<void(VEK_Header&)>& change, bool on_second) {
    return [=](VEK_Manager* m, VEK_Engine* first, VEK_Engine* second) -> VEK_Engine* {
      VEK_Header h(m);
      h = *(on_second ? second : first)->header();
      change(h);
      VEK_Engine* changed = VEK_RewriteHeader(m).engine(on_second ? second : first, &h);
      return on_second ? VEK_And(m).engine(first, changed, 1, 1) : VEK_And(m).engine(changed, second, 1, 1);
    };
  };
  auto palette = [](VEK_Header& h) {
    const uint8_t entry[2] = {0, 0};
    h.palette().bits(8);
    h.palette().channels(1);
    h.palette().entries(2);
    h.palette().value(entry, 2);
  };
  auto colour = [](VEK_Header& h) { h.color_type(VEK_ColorType_gray_reverse::instance()); };
  auto packed = [](VEK_Header& h) { h.encode_type(VEK_EncodeType_pack_bits::instance()); };
  for (const Make& make : {Make(with(palette, true)), Make(with(palette, false)), Make(with(colour, true)),
                           Make(with(packed, true)), Make(with(packed, false))}) {
    const Job j = job(a, b, make);
    EXPECT_FALSE(j.made);
    EXPECT_EQ(j.code, 0x81000000u);
    EXPECT_EQ(j.method, "VEK_OpPixelsEngine::initiate()");
  }
  // Sample-type engines take only their own depth: a wrong one would be read past its line.
  {
    const Image wide = random_image(rng, 6, 3, 16, 1), wide2 = random_image(rng, 2, 2, 16, 1);
    const Job j = job(wide, wide2, typed_at<Op::And, unsigned char>(1, 1));
    EXPECT_EQ(j.code, 0x81000000u);
    EXPECT_EQ(j.method, "VEK_OpPixels8xNBitsEngine::initiate()");
    const Image narrow = random_image(rng, 6, 3, 8, 1, s), narrow2 = random_image(rng, 2, 2, 8, 1, s);
    EXPECT_EQ(job(narrow, narrow2, typed_at<Op::And, unsigned char>(1, 1)).method,
              "VEK_OpPixels8xNBitsEngine::initiate()");
    const Image bits3 = random_image(rng, 6, 3, 1, 3), bits3b = random_image(rng, 2, 2, 1, 3);
    const Job k = job(bits3, bits3b, and_at(1, 1));
    EXPECT_EQ(k.code, 0x81000000u);
    EXPECT_EQ(k.method, "VEK_OpPixels1Engine::initiate()");
  }
  // A mask engine passed: no creator takes one.
  for (uint16_t bits : {8, 1}) {
    const Image one = random_image(rng, 6, 3, bits, 1), two = random_image(rng, 2, 2, bits, 1);
    const Job j = job(one, two, [&](VEK_Manager* m, VEK_Engine* first, VEK_Engine* second) {
      return VEK_OpPixelsUnMasked<Op::And>(m).engine(first, second, source_of(*m, two), 1, 1);
    });
    EXPECT_EQ(j.code, 0x80800000u);
    EXPECT_EQ(j.method, bits == 8 ? "VEK_OpPixels8xNBits::engine()" : "VEK_OpPixels1::engine()");
  }
}

namespace {

// A made engine that has no header to give.
class HeaderlessEngine : public TestPatternEngine {
 public:
  using TestPatternEngine::TestPatternEngine;
  const VEK_Header* header() override { return nullptr; }
};

class Headerless : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(const VEK_Header& h) { return create_generator<HeaderlessEngine>(&h, 0u, 0u); }
};

}  // namespace

TEST(OpPixels, RefusesMissingEnginesWithoutTouchingThem) {
  VEK_TestManager m;
  const Image a = image_of<uint8_t>(2, 1, {1, 2});
  VEK_Engine* first = source_of(m, a);
  EXPECT_EQ(VEK_And(&m).engine(first, nullptr, 0, 0), nullptr);
  expect_refused(m, 0x80800000u, "VEK_OpPixels<OPBin>::engine()", "vek_oppixels_templ.h");
  EXPECT_EQ(VEK_And(&m).engine(nullptr, source_of(m, a), 0, 0), nullptr);
  expect_refused(m, 0x80800000u, "VEK_OpPixels<OPBin>::engine()", "vek_oppixels_templ.h");
  VEK_Header h(&m);
  make_gray(h, 2, 1, 1);
  // The sample-type creators check their entries too, the 1-bit one included.
  for (int k = 0; k < 3; ++k) {
    {
      VEK_Vector<VEK_Engine*> engines(&m);
      TestFamily family(&m);
      ASSERT_TRUE(engines.push_back(family.pattern(h)));
      // A null entry, one without a header, or a third (a mask).
      ASSERT_TRUE(engines.push_back(k == 0 ? nullptr : k == 1 ? Headerless(&m).engine(h) : family.pattern(h)));
      if (k == 2) {
        ASSERT_TRUE(engines.push_back(family.pattern(h)));
      }
      EXPECT_EQ(VEK_OpPixels1UnMasked<Op::And>(&m).engine(engines, 0, 0), nullptr);
    }
    expect_refused(m, 0x80800000u, "VEK_OpPixels1::engine()", "vek_oppixels1_templ.h");
  }
  {
    VEK_Vector<VEK_Engine*> engines(&m);
    TestFamily family(&m);
    ASSERT_TRUE(engines.push_back(Headerless(&m).engine(h)));
    ASSERT_TRUE(engines.push_back(family.pattern(h)));
    EXPECT_EQ((VEK_OpPixels8xNBitsUnMasked<Op::Add, short>(&m).engine(engines, 0, 0)), nullptr);
  }
  expect_refused(m, 0x80800000u, "VEK_OpPixels8xNBits::engine()", "vek_oppixels8xnbits_templ.h");
}

TEST(OpPixels, ReadsEachInputOnceAndToItsEnd) {
  for (uint16_t bits : {1, 8}) {
    VEK_TestManager m;
    std::vector<std::string> log;
    {
      VEK_Header h1(&m), h2(&m);
      make_gray(h1, 12, 6, bits);
      make_gray(h2, 5, 3, bits);
      VEK_Engine* e =
          VEK_And(&m).engine(LogSource(&m).engine(h1, 'A', &log), LogSource(&m).engine(h2, 'B', &log), 4, 2);
      const std::vector<uint8_t> out = collect(m, e);
      EXPECT_EQ(out.size(), size_t(h1.line_bytes()) * 6);
    }
    expect_clean_end(m);
    // Lines only: the order in which finished sources are torn down is the workflow's matter.
    std::vector<std::string> reads;
    for (const std::string& entry : log)
      if (entry[0] != '~') reads.push_back(entry);
    EXPECT_EQ(reads, (std::vector<std::string>{"A0", "A1", "A2", "B0", "A3", "B1", "A4", "B2", "A5"})) << bits;
  }
}

TEST(OpPixels, AnInputCutShortFailsTheStep) {
  for (uint16_t bits : {1, 16})
    for (char short_one : {'A', 'B'}) {
      VEK_TestManager m;
      std::vector<std::string> log;
      std::vector<uint8_t> out;
      {
        VEK_Header h1(&m), h2(&m);
        make_gray(h1, 12, 6, bits);
        make_gray(h2, 5, 3, bits);
        VEK_Engine* a = LogSource(&m).engine(h1, 'A', &log, short_one == 'A' ? 3 : UINT32_MAX);
        VEK_Engine* b = LogSource(&m).engine(h2, 'B', &log, short_one == 'B' ? 1 : UINT32_MAX);
        out = collect(m, VEK_And(&m).engine(a, b, 4, 2));
      }
      // The first input ends after line 2; the second after one line, so output line 3 fails.
      EXPECT_EQ(out.size(), size_t((12 * bits + 7) / 8) * (short_one == 'A' ? 3 : 4)) << bits << short_one;
      end_job(m);
    }
}

TEST(OpPixels, EveryRefusedAllocationLeavesNoLeak) {
  std::mt19937 rng(5);
  struct Shape {
    uint16_t bits;
    int32_t x, y;
  };
  // Cropped on both sides, the 1-bit line buffer, and a sample-type engine of its own.
  for (Shape s : {Shape{1, -3, 2}, Shape{16, 4, -1}, Shape{8, 0, 0}}) {
    const Image a = random_image(rng, 21, 6, s.bits, 1), b = random_image(rng, 11, 5, s.bits, 1);
    const std::vector<uint8_t> want = job(a, b, and_at(s.x, s.y)).out;
    ASSERT_FALSE(want.empty());
    for (uint64_t n = 1;; ++n) {
      VEK_TestManager m;
      std::vector<uint8_t> out;
      const uint64_t before = m.memory_manager().allocations();
      {
        VEK_Engine* first = source_of(m, a);
        VEK_Engine* second = source_of(m, b);
        m.memory_manager().fail_nth(n);
        out = collect(m, VEK_And(&m).engine(first, second, s.x, s.y));
      }
      const bool refused = m.memory_manager().allocations() - before >= n;
      VEK_Status st(&m);
      if (m.status(st)) {
        EXPECT_EQ(out, want) << n;
      } else {
        EXPECT_EQ(st.code(), 0x80010000u) << "refusing allocation " << n;
      }
      EXPECT_EQ(m.memory_manager().live(), kManagerParts) << "refusing allocation " << n;
      if (!refused) break;
      ASSERT_LT(n, 200u);
    }
  }
}

TEST(OpPixels, EveryBodyWritesTheSameBytes) {
  if (!vek_kernel_set_available(VEK_KERNELS_AVX2)) GTEST_SKIP() << "no second body set on this processor";
  std::mt19937 rng(9);
  std::vector<uint8_t> d(8 * 67 + 1), p(8 * 67 + 1);
  auto same = [&](auto plain, auto wide, uint32_t n) {
    for (uint8_t& b : d) b = uint8_t(rng());
    for (uint8_t& b : p) b = uint8_t(rng());
    std::vector<uint8_t> d2 = d;
    plain(d.data() + 1, p.data() + 1, n);  // unaligned on purpose
    wide(d2.data() + 1, p.data() + 1, n);
    return d == d2;
  };
  auto lines = [&](auto op, auto sample) {
    using OPBin = decltype(op);
    using T = decltype(sample);
    EXPECT_TRUE(
        same(vek_oppixels_line<OPBin, T>(VEK_KERNELS_PLAIN), vek_oppixels_line<OPBin, T>(VEK_KERNELS_AVX2), 67));
  };
  for (int round = 0; round < 4; ++round) {
    lines(Op::And{}, uint8_t{});
    lines(Op::And{}, uint16_t{});
    lines(Op::MultiplyWithNormalization{}, 0u);
    auto every = [&](auto op) {
      lines(op, (signed char)0);
      lines(op, short{});
      lines(op, 0u);
      lines(op, 0);
      lines(op, 0.0f);
      lines(op, 0.0);
    };
    every(Op::Add{});
    every(Op::Sub{});
    every(Op::Multiply{});
    every(Op::Overwrite{});
    EXPECT_TRUE(same(vek_oppixels_and_bytes(VEK_KERNELS_PLAIN), vek_oppixels_and_bytes(VEK_KERNELS_AVX2), 131));
    for (uint32_t shift = 1; shift < 8; ++shift) {
      auto plain = [&](uint8_t* x, const uint8_t* y, uint32_t n) {
        vek_oppixels_and_shifted(VEK_KERNELS_PLAIN)(x, y, n, shift);
      };
      auto wide = [&](uint8_t* x, const uint8_t* y, uint32_t n) {
        vek_oppixels_and_shifted(VEK_KERNELS_AVX2)(x, y, n, shift);
      };
      EXPECT_TRUE(same(plain, wide, 130));
    }
  }
}
