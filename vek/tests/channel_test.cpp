#include <gtest/gtest.h>

#include <deque>
#include <opencv2/core.hpp>
#include <random>

#include "vek_mergechannel.h"
#include "vek_selectchannel.h"
#include "vek_test_image.h"
#include "vek_test_oracle.h"

namespace {

const VEK_ColorType* gray() { return VEK_ColorType_gray::instance(); }
const VEK_ColorType* rgb() { return VEK_ColorType_s_rgb::instance(); }
const VEK_ColorType* none() { return VEK_ColorType_none::instance(); }

// The samples a reader reads must outlive it: every image keeps a copy here.
std::deque<std::vector<uint8_t>> kept;

// 64-bit samples are floating, the only kind of that width.
VEK_Engine* image(VEK_TestManager& m, const std::vector<uint8_t>& bytes, uint32_t width, uint32_t height, uint16_t bits,
                  uint16_t channels, const VEK_DataType* type = VEK_DataType::u_integer,
                  const VEK_ColorType* color = nullptr) {
  if (bits == 64) type = VEK_DataType::floating;
  kept.push_back(bytes);
  const std::vector<uint8_t>& copy = kept.back();
  VEK_Header h(&m);
  make(h, width, height, bits, channels, type);
  h.color_type(color != nullptr ? color : channels == 3 ? rgb() : channels == 1 ? gray() : none());
  return read_samples(m, h, copy);
}

std::vector<uint8_t> random_bytes(std::mt19937& random, size_t n) {
  std::vector<uint8_t> v(n);
  for (uint8_t& b : v) b = uint8_t(random());
  return v;
}

// The report of a selection that must be refused, and nothing left behind.
void expect_select_refused(VEK_TestManager& m, VEK_Engine* e, uint32_t code, const char* method) {
  EXPECT_EQ(e, nullptr);
  EXPECT_EQ(m.status().full_code(), code);
  EXPECT_STREQ(m.status().method(), method);
  end_job(m);
}

// One engine's output and the oracle job that answers what it should be.
struct OracleRun {
  std::string where;
  std::vector<uint8_t> out;
  size_t job;
};

void expect_each_equals_the_oracle(OracleBatch& batch, const std::vector<OracleRun>& runs) {
  ASSERT_TRUE(batch.run());
  for (const OracleRun& run : runs) EXPECT_EQ(run.out, batch.answer(run.job)) << run.where;
}

VEK_Engine* merge(VEK_TestManager& m, const std::vector<VEK_Engine*>& engines, const VEK_ColorType* color) {
  VEK_Vector<VEK_Engine*> v(&m);
  for (VEK_Engine* e : engines) v.push_back(e);
  return VEK_MergeChannel(&m).engine(v, color);
}

}  // namespace

TEST(SelectChannel, WholeSourcesAndOneChannelSourcesAreHandedBack) {
  VEK_TestManager m;
  const std::vector<uint8_t> bytes(12, 5);
  VEK_Engine* single = image(m, bytes, 4, 3, 8, 1);
  EXPECT_EQ(VEK_SelectChannel(&m).engine(single, 5, rgb()), single);
  EXPECT_EQ(VEK_SelectChannel(&m).engine(single, 2, 3, rgb()), single);
  VEK_Engine* three = image(m, bytes, 2, 2, 8, 3);
  VEK_Engine* e = VEK_SelectChannel(&m).engine(three, 0, 3, gray());
  EXPECT_EQ(e, three);
  EXPECT_EQ(e->header()->color_type(), rgb());
  expect_clean_end(m);
}

TEST(SelectChannel, RefusesChannelsColourTypesAndDepthsItCannotServe) {
  VEK_TestManager m;
  const std::vector<uint8_t> bytes(24, 5);
  expect_select_refused(m, VEK_SelectChannel(&m).engine(image(m, bytes, 2, 1, 8, 3), 3, gray()), 0x80800000u,
                        "VEK_Select1Channel8xNbitsEngine::initiate()");
  expect_select_refused(m, VEK_SelectChannel(&m).engine(image(m, bytes, 2, 1, 8, 3), 0, 0, gray()), 0x80800000u,
                        "VEK_SelectNChannel8xNbitsEngine::initiate()");
  expect_select_refused(m, VEK_SelectChannel(&m).engine(image(m, bytes, 2, 1, 8, 3), 2, 2, none()), 0x80800000u,
                        "VEK_SelectNChannel8xNbitsEngine::initiate()");
  expect_select_refused(m, VEK_SelectChannel(&m).engine(image(m, bytes, 2, 1, 8, 3), 1, rgb()), 0x80800000u,
                        "VEK_Select1Channel8xNbitsEngine::initiate()");
  expect_select_refused(m, VEK_SelectChannel(&m).engine(image(m, bytes, 2, 1, 1, 3), 1, rgb()), 0x80800000u,
                        "VEK_Select1Channel1bitEngine::initiate()");
  // In 16 bits first 65535 and count 2 would wrap to 1 and read past the line.
  expect_select_refused(m, VEK_SelectChannel(&m).engine(image(m, bytes, 2, 1, 8, 3), 65535, 2, none()), 0x80800000u,
                        "VEK_SelectNChannel8xNbitsEngine::initiate()");
  expect_select_refused(m, VEK_SelectChannel(&m).engine(image(m, bytes, 2, 1, 1, 3), 65535, 2, none()), 0x80800000u,
                        "VEK_SelectNChannel1bitEngine::initiate()");
  // Three channels under a colour type of one, or of four.
  expect_select_refused(m, VEK_SelectChannel(&m).engine(image(m, bytes, 1, 1, 8, 4), 0, 3, gray()), 0x80800000u,
                        "VEK_SelectNChannel8xNbitsEngine::initiate()");
  // 24 bits is a multiple of 8 but no sample width; 12 bits is neither. Only a data type of
  // unknown kind makes a valid header of 24 bits.
  expect_select_refused(m, VEK_SelectChannel(&m).engine(image(m, bytes, 2, 1, 24, 3, VEK_DataType::unknown), 1, gray()),
                        0x81000000u, "VEK_Select1Channel8xNbitsEngine::initiate()");
  expect_select_refused(m, VEK_SelectChannel(&m).engine(image(m, bytes, 2, 1, 12, 3), 1, gray()), 0x81000000u,
                        "VEK_Select1Channel::engine()");
  expect_select_refused(m, VEK_SelectChannel(&m).engine(image(m, bytes, 2, 1, 12, 3), 1, 2, gray()), 0x81000000u,
                        "VEK_SelectNChannel::engine()");
  expect_select_refused(m, VEK_SelectChannel(&m).engine(image(m, bytes, 2, 1, 1, 3, VEK_DataType::unknown), 1, gray()),
                        0x81000000u, "VEK_Select1Channel1bitEngine::initiate()");
  expect_select_refused(m, VEK_SelectChannel(&m).engine(nullptr, 1, gray()), 0x80800000u,
                        "VEK_Select1Channel::engine()");
  expect_select_refused(m, VEK_SelectNChannel8xNbits(&m).engine(nullptr, 1, 2, gray()), 0x80800000u,
                        "VEK_SelectNChannel8xNbits::engine()");
}

TEST(SelectChannel, PicksTheNamedSamples) {
  VEK_TestManager m;
  // Two of four 8-bit channels, under "unknown" whatever is asked.
  VEK_Engine* e = VEK_SelectChannel(&m).engine(image(m, {10, 11, 12, 13, 20, 21, 22, 23}, 2, 1, 8, 4), 1, 2, gray());
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->header()->color_type(), VEK_ColorType_unknown::instance());
  EXPECT_EQ(e->header()->channels(), 2u);
  EXPECT_EQ(collect(m, e), (std::vector<uint8_t>{11, 12, 21, 22}));
  expect_clean_end(m);
}

TEST(SelectChannel, OneOfThreeEightBitChannelsOverWholeRunsAndTheirTail) {
  // Width 53: three runs of 16 pixels and a tail of 5, on either body.
  std::mt19937 random(29);
  const std::vector<uint8_t> in = random_bytes(random, 53 * 3 * 2);
  for (uint16_t k = 0; k < 3; ++k) {
    VEK_TestManager m;
    std::vector<uint8_t> want;
    for (size_t x = 0; x < 53 * 2; ++x) want.push_back(in[3 * x + k]);
    EXPECT_EQ(collect(m, VEK_SelectChannel(&m).engine(image(m, in, 53, 2, 8, 3), k, gray())), want) << k;
    expect_clean_end(m);
  }
}

TEST(SelectChannel, WidePixelsPickTheRightSamples) {
  // 9000 channels of 8 bytes: channels x bytes passes 65535, which 16-bit offsets would wrap.
  VEK_TestManager m;
  const uint16_t channels = 9000;
  std::vector<uint64_t> samples(2 * channels);
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = i * 0x0101010101ull;
  std::vector<uint8_t> bytes(samples.size() * 8);
  std::memcpy(bytes.data(), samples.data(), bytes.size());
  VEK_Engine* e = VEK_SelectChannel(&m).engine(image(m, bytes, 2, 1, 64, channels), 8500, gray());
  EXPECT_EQ(collect_as<uint64_t>(m, e), (std::vector<uint64_t>{samples[8500], samples[channels + 8500]}));
  e = VEK_SelectChannel(&m).engine(image(m, bytes, 2, 1, 64, channels), 8999, 1, gray());
  EXPECT_EQ(collect_as<uint64_t>(m, e), (std::vector<uint64_t>{samples[8999], samples[2 * channels - 1]}));
  e = VEK_SelectChannel(&m).engine(image(m, bytes, 2, 1, 64, channels), 7000, 2, gray());
  EXPECT_EQ(collect_as<uint64_t>(m, e),
            (std::vector<uint64_t>{samples[7000], samples[7001], samples[channels + 7000], samples[channels + 7001]}));
  expect_clean_end(m);
}

TEST(SelectChannel, RandomImagesEqualNumpySlicing) {
  if (!oracle_available()) GTEST_SKIP() << "python3 with numpy absent";
  std::mt19937 random(19);
  OracleBatch batch;
  std::vector<OracleRun> runs;
  for (uint16_t bits : {1, 8, 16, 32, 64})
    for (int round = 0; round < 4; ++round) {
      const uint16_t channels = uint16_t(2 + random() % 4);
      const uint16_t first = uint16_t(random() % channels);
      const uint16_t count = uint16_t(1 + random() % (channels - first));
      const uint32_t width = 1 + random() % 37, height = 3;
      const std::vector<uint8_t> in = random_bytes(random, VEK_Header::line_bytes(width, bits, channels) * height);
      const VEK_ColorType* color = count == 1   ? gray()
                                   : count == 3 ? rgb()
                                   : count == 4 ? VEK_ColorType_cmyk::instance()
                                                : none();
      VEK_TestManager m;
      VEK_Engine* e = VEK_SelectChannel(&m).engine(image(m, in, width, height, bits, channels), first, count, color);
      const std::string where = "bits " + std::to_string(bits) + " channels " + std::to_string(channels) + " first " +
                                std::to_string(first) + " count " + std::to_string(count) + " width " +
                                std::to_string(width);
      if (first == 0 && count == channels) {
        EXPECT_EQ(collect(m, e), in) << where;
        continue;
      }
      ASSERT_NE(e, nullptr) << where;
      const std::string path = oracle_write("select" + std::to_string(runs.size()), in);
      runs.push_back(
          {where, collect(m, e),
           batch.add("select", "width=" + std::to_string(width) + " height=3 bits=" + std::to_string(bits) +
                                   " channels=" + std::to_string(channels) + " first=" + std::to_string(first) +
                                   " count=" + std::to_string(count) + " in=" + path)});
      expect_clean_end(m);
    }
  expect_each_equals_the_oracle(batch, runs);
}

TEST(SelectChannel, RefusingEachAllocationInTurnLeaksNothing) {
  VEK_TestManager m;
  VEK_Header h(&m);
  make(h, 3, 2, 8, 3);
  h.color_type(rgb());
  const std::vector<uint8_t> in{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18};
  const auto one = [](VEK_Manager* mm, VEK_Engine* s) { return VEK_SelectChannel(mm).engine(s, 2, gray()); };
  expect_no_leak_when_memory_runs_out(in, one, std::vector<uint8_t>{3, 6, 9, 12, 15, 18}, &h);
  const auto two = [](VEK_Manager* mm, VEK_Engine* s) { return VEK_SelectChannel(mm).engine(s, 0, 2, none()); };
  expect_no_leak_when_memory_runs_out(in, two, std::vector<uint8_t>{1, 2, 4, 5, 7, 8, 10, 11, 13, 14, 16, 17}, &h);
}

TEST(MergeChannel, OneEngineIsHandedBackAndEmptyListsAreRefused) {
  VEK_TestManager m;
  VEK_Engine* only = image(m, {1, 2}, 2, 1, 8, 1);
  VEK_Engine* e = merge(m, {only}, rgb());
  EXPECT_EQ(e, only);
  EXPECT_EQ(e->header()->color_type(), gray());
  expect_clean_end(m);
  EXPECT_EQ(merge(m, {}, rgb()), nullptr);
  EXPECT_REPORT(m, 0x80800000u, "VEK_MergeChannel::engine()", 50u);
  EXPECT_EQ(merge(m, {nullptr, image(m, {1}, 1, 1, 8, 1)}, rgb()), nullptr);
  EXPECT_REPORT(m, 0x80800000u, "VEK_MergeChannel::engine()", 50u);
  expect_clean_end(m);
  EXPECT_EQ(merge(m, {image(m, {1}, 1, 1, 8, 1), nullptr}, rgb()), nullptr);
  expect_refused(m, 0x80800000u, "VEK_MergeChannel8xNbits::engine()", "vek_mergechannel8xnbits.cpp");
  EXPECT_EQ(merge(m, {image(m, {1}, 1, 1, 1, 1), nullptr}, rgb()), nullptr);
  expect_refused(m, 0x80800000u, "VEK_MergeChannel1bit::engine()", "vek_mergechannel1bit.cpp");
}

TEST(MergeChannel, RefusesInputsThatDoNotMatch) {
  VEK_TestManager m;
  const std::vector<uint8_t> plane(512, 1);
  const auto planes = [&](uint32_t w2, const VEK_DataType* t2) {
    return std::vector<VEK_Engine*>{image(m, plane, 512, 1, 8, 1), image(m, plane, w2, 1, 8, 1, t2)};
  };
  EXPECT_EQ(merge(m, planes(511, VEK_DataType::u_integer), none()), nullptr);
  expect_refused(m, 0x80800000u, "VEK_MergeChannelEngine::initiate()", "vek_mergechannelengine.cpp");
  EXPECT_EQ(merge(m, planes(512, VEK_DataType::s_integer), none()), nullptr);
  expect_refused(m, 0x80800000u, "VEK_MergeChannelEngine::initiate()", "vek_mergechannelengine.cpp");
  EXPECT_EQ(merge(m, {image(m, plane, 4, 1, 8, 1), image(m, plane, 4, 1, 8, 1), image(m, plane, 4, 1, 8, 1)}, gray()),
            nullptr);
  expect_refused(m, 0x80800000u, "VEK_MergeChannelEngine::initiate()", "vek_mergechannelengine.cpp");
  // 8 bits with floating samples has no engine: refused like any other unsupported kind.
  EXPECT_EQ(merge(m, planes(512, VEK_DataType::floating), none()), nullptr);
  expect_refused(m, 0x81000000u, "VEK_MergeChannel8xNbits::engine()", "vek_mergechannel8xnbits.cpp");
  // 1-bit inputs of two channels.
  EXPECT_EQ(merge(m, {image(m, plane, 4, 1, 1, 2), image(m, plane, 4, 1, 1, 1)}, none()), nullptr);
  expect_refused(m, 0x81000000u, "VEK_MergeChannel1bitEngine::initiate()", "vek_mergechannel1bitengine.cpp");
  // 24 bits reach the double engine, which takes 64 only.
  EXPECT_EQ(
      merge(m,
            {image(m, plane, 4, 1, 24, 1, VEK_DataType::unknown), image(m, plane, 4, 1, 24, 1, VEK_DataType::unknown)},
            none()),
      nullptr);
  expect_refused(m, 0x81000000u, "VEK_MergeChannel8xNbitsEngine::initiate()", "vek_mergechannel8xnbitsengine_templ.h");
  // In 16 bits 65535 + 2 channels would be 1, and every pixel would overrun its line.
  const std::vector<uint8_t> wide(65535, 1);
  EXPECT_EQ(merge(m, {image(m, wide, 1, 1, 8, 65535), image(m, wide, 1, 1, 8, 2)}, none()), nullptr);
  expect_refused(m, 0x80800000u, "VEK_MergeChannelEngine::initiate()", "vek_mergechannelengine.cpp");
}

TEST(MergeChannel, RandomImagesEqualOpenCVAndNumpy) {
  std::mt19937 random(23);
  {
    // Three 8-bit planes against cv::merge.
    VEK_TestManager m;
    const uint32_t w = 77, h = 5;
    std::vector<std::vector<uint8_t>> p(3);
    std::vector<cv::Mat> mats;
    for (auto& v : p) {
      v = random_bytes(random, w * h);
      mats.push_back(cv::Mat(int(h), int(w), CV_8UC1, v.data()));
    }
    cv::Mat merged;
    cv::merge(mats, merged);
    VEK_Engine* e =
        merge(m, {image(m, p[0], w, h, 8, 1), image(m, p[1], w, h, 8, 1), image(m, p[2], w, h, 8, 1)}, rgb());
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->header()->color_type(), rgb());
    EXPECT_EQ(collect(m, e), std::vector<uint8_t>(merged.data, merged.data + 3 * w * h));
    expect_clean_end(m);
  }
  if (!oracle_available()) GTEST_SKIP() << "python3 with numpy absent";
  OracleBatch batch;
  std::vector<OracleRun> runs;
  for (uint16_t bits : {1, 8, 16, 32, 64})
    for (int round = 0; round < 4; ++round) {
      const uint32_t n = 2 + random() % 5, width = 1 + random() % 29, height = 3;
      VEK_TestManager m;
      std::vector<VEK_Engine*> engines;
      std::vector<std::vector<uint8_t>> inputs;
      std::string params = "width=" + std::to_string(width) + " height=3 bits=" + std::to_string(bits) + " channels=";
      uint32_t total = 0;
      for (uint32_t i = 0; i < n; ++i) {
        const uint16_t c = bits == 1 || round == 0 ? 1 : uint16_t(1 + random() % 3);
        inputs.push_back(random_bytes(random, VEK_Header::line_bytes(width, bits, c) * height));
        engines.push_back(image(m, inputs.back(), width, height, bits, c));
        params += (i == 0 ? "" : ",") + std::to_string(c);
        total += c;
      }
      for (uint32_t i = 0; i < n; ++i)
        params += " in" + std::to_string(i) + "=" +
                  oracle_write("merge" + std::to_string(runs.size()) + "_" + std::to_string(i), inputs[i]);
      VEK_Engine* e = merge(m, engines, none());
      ASSERT_NE(e, nullptr) << params;
      EXPECT_EQ(e->header()->channels(), total);
      runs.push_back({params, collect(m, e), batch.add("merge", params)});
      expect_clean_end(m);
    }
  expect_each_equals_the_oracle(batch, runs);
}

TEST(MergeChannel, RefusingEachAllocationInTurnLeaksNothing) {
  VEK_TestManager m;
  VEK_Header h(&m);
  make(h, 3, 2, 8, 1);
  h.color_type(gray());
  const std::vector<uint8_t> in{1, 2, 3, 4, 5, 6};
  // Three branches of one source merged: every sample three times.
  for (uint16_t bits : {8, 1}) {
    h.bits(bits);
    const auto three = [](VEK_Manager* mm, VEK_Engine* s) -> VEK_Engine* {
      VEK_Vector<VEK_Engine*> branches = s->branch(3);
      if (branches.size() != 3) return nullptr;
      return VEK_MergeChannel(mm).engine(branches, rgb());
    };
    // 1 bit: lines 001 and 010 give 000000111 and 000111000.
    if (bits == 8)
      expect_no_leak_when_memory_runs_out(
          in, three, std::vector<uint8_t>{1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5, 5, 5, 6, 6, 6}, &h);
    else
      expect_no_leak_when_memory_runs_out(std::vector<uint8_t>{0x20, 0x40}, three,
                                          std::vector<uint8_t>{0x03, 0x80, 0x1C, 0x00}, &h);
  }
}
