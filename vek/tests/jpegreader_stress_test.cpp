#include <gtest/gtest.h>

#include <thread>

#include "jpegpeer.h"
#include "vek_test_jpeg.h"

namespace {

struct Job {
  const char* fixture;
  JpegReader reader;
};

const Job kJobs[] = {{"cjpeg_420.jpg", JpegReader::jpeg},
                     {"cjpeg_grey.jpg", JpegReader::jfif},
                     {"cjpeg_progressive.jpg", JpegReader::jpeg},
                     {"cjpeg_411.jpg", JpegReader::jfif},
                     {"dcmtk_lossless_sv1_12.jpg", JpegReader::lossless},
                     {"dcmtk_lossless_sv1_rgb.jpg", JpegReader::lossless},
                     {"cjpeg_restart.jpg", JpegReader::jpeg},
                     {"dcmtk_lossless_sv7_12.jpg", JpegReader::lossless}};

}  // namespace

// Decoders on different threads share only the codec's global state: each thread's output is
// the one a single thread gets.
TEST(JpegThreads, EightThreadsDecodeWhatOneThreadDecodes) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 50;
  std::vector<std::vector<uint8_t>> inputs, expected;
  for (int t = 0; t < kThreads; ++t) {
    inputs.push_back(jpeg_fixture(kJobs[t].fixture));
    VEK_DefaultManager m;
    const JpegRun r = read_jpeg(m, inputs.back(), kJobs[t].reader);
    ASSERT_TRUE(r.made) << kJobs[t].fixture;
    expected.push_back(r.pixels);
  }
  std::vector<int> mismatches(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      VEK_DefaultManager m;
      for (int round = 0; round < kRounds; ++round) {
        const JpegRun r = read_jpeg(m, inputs[(t + round) % kThreads], kJobs[(t + round) % kThreads].reader);
        if (!r.made || r.pixels != expected[(t + round) % kThreads] || vek_is_error(r.code)) ++mismatches[t];
      }
    });
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

// Every allocation of each reader's chain refused in turn: the chain fails (or, for a refused
// copy of an APPn segment, completes without it) with the refusal stored, and nothing is left.
TEST(JpegMemory, EveryRefusedAllocationIsReportedAndLeavesNothing) {
  const Job jobs[] = {{"cjpeg_420.jpg", JpegReader::jpeg},
                      {"cjpeg_progressive.jpg", JpegReader::jpeg},
                      {"cjpeg_grey.jpg", JpegReader::jfif},
                      {"dcmtk_lossless_sv1_12.jpg", JpegReader::lossless},
                      {"dcmtk_lossless_sv1_rgb.jpg", JpegReader::lossless}};
  for (const Job& job : jobs) {
    SCOPED_TRACE(job.fixture);
    const std::vector<uint8_t> bytes = jpeg_fixture(job.fixture);
    std::vector<uint8_t> clean;
    {
      VEK_TestManager m;
      clean = read_jpeg(m, bytes, job.reader).pixels;
      ASSERT_FALSE(clean.empty());
    }
    int refused_runs = 0;
    for (uint64_t n = 1;; ++n) {
      VEK_TestManager m;
      const uint64_t before = m.memory_manager().allocations();
      m.memory_manager().fail_nth(n);
      const JpegRun r = read_jpeg(m, bytes, job.reader);
      const bool refused = m.memory_manager().allocations() - before >= n;
      m.memory_manager().fail_nth(0);
      m.clear();
      EXPECT_EQ(m.memory_manager().live(), 3u) << "refusing allocation " << n;
      if (!refused) {
        EXPECT_EQ(r.pixels, clean);
        break;
      }
      ++refused_runs;
      EXPECT_EQ(r.code, 0x80010000u) << "refusing allocation " << n;
    }
    EXPECT_GT(refused_runs, 5);
  }
}
