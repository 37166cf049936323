#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "vek_memory.h"
#include "vek_not.h"
#include "vek_notqkrle.h"
#include "vek_qkrlebuffer.h"
#include "vek_qkrlelinebase.h"
#include "vek_test_ops.h"
#include "vek_test_oracle.h"
#include "vek_test_qkrle.h"
#include "vek_test_rlerun.h"

namespace {

// A reader over a stream in memory, served in blocks of whatever size the reader sets.
struct Source {
  VEK_TestManager& m;
  VEK_Header h;
  std::vector<uint8_t> bytes;
  VEK_Engine* engine = nullptr;
  VEK_SrcBuffer* reader = nullptr;

  Source(VEK_TestManager& manager, uint32_t width, uint32_t height, std::vector<uint8_t> stream)
      : m(manager), h(&manager), bytes(std::move(stream)) {
    make_rle(h, width, height);
    engine = VEK_ReadMemory(&m).engine(h, bytes.data(), uint32_t(bytes.size()));
    EXPECT_NE(engine, nullptr);
    reader = engine != nullptr ? engine->src_buffer() : nullptr;
  }
  ~Source() { vek_destroy(reader); }
};

std::vector<Runs> read_lines(VEK_QKRLELine* line) {
  std::vector<Runs> lines;
  while (line->get_next_line()) {
    Runs runs;
    uint32_t s = 0, e = 0;
    while (line->runs().get_next_run(s, e)) runs.emplace_back(s, e);
    lines.push_back(runs);
  }
  return lines;
}

Runs runs_of(VEK_QKRLERunArray a) {
  Runs runs;
  for (uint32_t i = a.position(); i < a.count(); ++i, ++a) runs.emplace_back(a->first, a->second);
  return runs;
}

// The first line of a one-line image through the run buffer, and the job's code.
std::pair<Runs, uint32_t> buffer_line(uint32_t width, const Runs& runs) {
  VEK_TestManager m;
  Runs got;
  {
    Source src(m, width, 1, encode({runs}));
    VEK_QKRLEBuffer* buffer = VEK_QKRLEBuffer::create(&m, src.reader, &src.h);
    EXPECT_NE(buffer, nullptr);
    got = runs_of(buffer->runarray(0));
    buffer->destroy();
  }
  const uint32_t code = m.status().full_code();
  if (code != 0) {
    EXPECT_STREQ(m.status().method(), "VEK_QKRLEBuffer::regist_runarray()");
  }
  end_job(m);
  return {got, code};
}

// A block buffer driven by hand that records the size of every block written into it.
class RecordingBuffer : public VEK_STBlockDstBuffer {
 public:
  using VEK_STBlockDstBuffer::VEK_STBlockDstBuffer;
  bool release(uint32_t n) override {
    released.push_back(n);
    return VEK_STBlockDstBuffer::release(n);
  }
  std::vector<uint32_t> released;
};

struct Rig {
  VEK_TestManager m;
  RecordingBuffer* buffer = nullptr;
  VEK_SrcBuffer* reader = nullptr;

  explicit Rig(uint32_t block) {
    buffer = vek_new<RecordingBuffer>(&m);
    EXPECT_TRUE(buffer->initiate(1 << 20));
    buffer->created(true);
    buffer->block_bytes(block);
    buffer->front(buffer);
    reader = buffer->create_src_buffer(buffer);
    EXPECT_TRUE(reader->block_bytes(8));
  }
  ~Rig() {
    reader->destroy();
    buffer->destroy();
  }
  std::vector<uint8_t> written() {
    std::vector<uint8_t> out;
    uint32_t got = 0;
    while (const void* p = reader->get(&got)) {
      out.insert(out.end(), static_cast<const uint8_t*>(p), static_cast<const uint8_t*>(p) + got);
      reader->release();
    }
    return out;
  }
};

// NOT of a run-length image from memory to memory: the output lines and the job's status.
using NotRun = RleRun;

NotRun invert(VEK_TestManager& m, uint32_t width, const std::vector<uint8_t>& stream, uint32_t height,
              uint64_t fail_allocation = 0) {
  return run_rle(
      m, width, height, stream, max_line_bytes(width), height,
      [](VEK_Manager* mm, VEK_Engine* source) { return VEK_Not(mm).engine(source); }, fail_allocation);
}

Image invert(uint32_t width, const Image& in) {
  VEK_TestManager m;
  NotRun r = invert(m, width, encode(in), uint32_t(in.size()));
  EXPECT_EQ(r.code, 0u) << r.method;
  return r.out;
}

}  // namespace

TEST(QKRLE, MaxLineBytesComputedIn64Bits) {
  EXPECT_EQ(max_line_bytes(1), 16u);
  EXPECT_EQ(max_line_bytes(2), 16u);
  EXPECT_EQ(max_line_bytes(3), 24u);
  EXPECT_EQ(max_line_bytes(4), 24u);
  EXPECT_EQ(max_line_bytes(0xFFFFFFFFu), 17179869192u);
}

TEST(QKRLE, PutRunsFillsWholeBlocksThenTheRestAndTheMarker) {
  Rig rig(16);
  VEK_QKRLERunVector v(&rig.m);
  for (uint32_t i = 0; i < 3; ++i) ASSERT_TRUE(v.add_run(i * 3, i * 3 + 1));
  ASSERT_TRUE(v.put_runs(rig.buffer));
  EXPECT_EQ(rig.buffer->released, (std::vector<uint32_t>{16, 16}));
  // The array writes its list the same way, whatever its position.
  VEK_QKRLERunArray a(&rig.m);
  for (uint32_t i = 0; i < 3; ++i) ASSERT_TRUE(a.add_run(i * 3, i * 3 + 1));
  ++a;
  ASSERT_TRUE(a.put_runs(rig.buffer));
  EXPECT_EQ(rig.buffer->released, (std::vector<uint32_t>{16, 16, 16, 16}));
  EXPECT_EQ(decode(rig.written()), (Image{{{0, 1}, {3, 4}, {6, 7}}, {{0, 1}, {3, 4}, {6, 7}}}));
}

TEST(QKRLE, PutRunsOfAnEmptyLineWritesTheMarkerAlone) {
  Rig rig(24);
  VEK_QKRLERunVector v(&rig.m);
  VEK_QKRLERunArray a(&rig.m);
  ASSERT_TRUE(v.put_runs(rig.buffer));
  ASSERT_TRUE(a.put_runs(rig.buffer));
  EXPECT_EQ(rig.buffer->released, (std::vector<uint32_t>{8, 8}));
  EXPECT_EQ(rig.written(), std::vector<uint8_t>(16, 0xFF));
}

TEST(QKRLE, PutRunsRefusesABlockThatHoldsNoRun) {
  Rig rig(7);
  VEK_QKRLERunVector v(&rig.m);
  ASSERT_TRUE(v.add_run(0, 0));
  EXPECT_FALSE(v.put_runs(rig.buffer));
  EXPECT_REPORT(rig.m, 0x80800000u, "VEK_QKRLERunVectorBase::put_runs()", rig.m.status().line());
  VEK_QKRLERunArray a(&rig.m);
  EXPECT_FALSE(a.put_runs(rig.buffer));
  EXPECT_EQ(rig.m.status().full_code(), 0x80800000u);
  EXPECT_STREQ(rig.m.status().method(), "VEK_QKRLERunArray::put_runs()");
  EXPECT_TRUE(rig.buffer->released.empty());
  EXPECT_EQ(rig.buffer->written(), 0u);
}

TEST(QKRLELine, ReadsLinesAcrossBlocks) {
  // Blocks of 24 bytes at width 4: the second line starts in the first block and ends in the
  // second, which also holds the third line.
  VEK_TestManager m;
  {
    const Image image = {{{0, 0}}, {{0, 0}, {2, 4}}, {}};
    Source src(m, 4, 3, encode(image));
    VEK_QKRLELine* line = VEK_QKRLELine::create(&m, src.reader, &src.h);
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(src.reader->block_bytes(), 24u);
    EXPECT_EQ(read_lines(line), image);
    line->destroy();
  }
  expect_clean_end(m);
}

TEST(QKRLELine, RefusesABlockOfPartRuns) {
  VEK_TestManager m;
  {
    Source src(m, 4, 1, std::vector<uint8_t>(12, 0));
    VEK_QKRLELine* line = VEK_QKRLELine::create(&m, src.reader, &src.h);
    ASSERT_NE(line, nullptr);
    EXPECT_FALSE(line->get_next_line());
    line->destroy();
  }
  expect_refused(m, 0x80400000u, "VEK_QKRLELineBase::get_next_line() - invalid src_buffer's block bytes.",
                 "vek_qkrlelinebase.h");
}

TEST(QKRLELine, RefusesRunsOutOfOrderOrPastTheWidth) {
  const Runs bad[] = {{{5, 6}, {7, 8}}, {{5, 6}, {2, 3}}, {{5, 6}, {5, 6}}, {{4, 3}}, {{0, 11}}, {{11, 11}}};
  for (const Runs& runs : bad) {
    VEK_TestManager m;
    {
      Source src(m, 10, 1, encode({runs}));
      VEK_QKRLELine* line = VEK_QKRLELine::create(&m, src.reader, &src.h);
      ASSERT_NE(line, nullptr);
      EXPECT_FALSE(line->get_next_line());
      line->destroy();
    }
    expect_refused(m, 0x80400000u, "VEK_QKRLELineBase::get_next_line()", "vek_qkrlelinebase.h");
  }
  // The width itself still passes, and a line whose runs are one clear pixel apart.
  VEK_TestManager m;
  {
    const Image image = {{{0, 10}}, {{0, 0}, {2, 2}, {4, 8}, {10, 10}}};
    Source src(m, 10, 2, encode(image));
    VEK_QKRLELine* line = VEK_QKRLELine::create(&m, src.reader, &src.h);
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(read_lines(line), image);
    line->destroy();
  }
  expect_clean_end(m);
}

TEST(QKRLELine, RefusesWhatItCannotRead) {
  VEK_TestManager m;
  {
    Source src(m, 4, 1, encode({{}}));
    EXPECT_EQ(VEK_QKRLELine::create(&m, nullptr, &src.h), nullptr);
    EXPECT_REPORT(m, 0x80800000u, "VEK_QKRLELineBase::initiate()", m.status().line());
    VEK_Header eight(&m);
    make_rle(eight, 4, 1, 8);
    EXPECT_EQ(VEK_QKRLELine::create(&m, src.reader, &eight), nullptr);
    EXPECT_REPORT(m, 0x81000000u, "VEK_QKRLELineBase::initiate()", m.status().line());
    // Its longest line would not fit a 32-bit block.
    VEK_Header wide(&m);
    make_rle(wide, 0xFFFFFFFFu, 1);
    EXPECT_EQ(VEK_QKRLELine::create(&m, src.reader, &wide), nullptr);
    EXPECT_EQ(m.status().full_code(), 0x81000000u);
  }
  end_job(m);
}

TEST(QKRLEBuffer, RegistrationChecksEveryRun) {
  const uint32_t w = 20;
  EXPECT_EQ(buffer_line(w, {{0, w}}), std::make_pair(Runs{{0, w}}, 0u));
  for (const Runs& runs : {Runs{{0, w + 1}}, Runs{{5, 4}}, Runs{{w + 1, w + 1}}, Runs{{2, 4}, {5, 7}},
                           Runs{{2, 4}, {0, 0}}, Runs{{0xFFFFFFFFu, 5}}}) {
    auto [got, code] = buffer_line(w, runs);
    EXPECT_EQ(code, 0x80400000u) << runs[0].first;
    EXPECT_TRUE(got.empty());
  }
}

TEST(QKRLEBuffer, MarkersAreWholeRuns) {
  // At the largest width a run may end on 0xFFFFFFFF; only both words set end a line.
  VEK_TestManager m;
  {
    const Image image = {{{1, 0xFFFFFFFFu}}, {{0, 0}}};
    Source src(m, 0xFFFFFFFFu, 2, encode(image));
    VEK_QKRLEBuffer* buffer = VEK_QKRLEBuffer::create(&m, src.reader, &src.h);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(runs_of(buffer->runarray(0)), image[0]);
    EXPECT_EQ(runs_of(buffer->runarray(1)), image[1]);
    buffer->destroy();
  }
  expect_clean_end(m);
}

TEST(QKRLEBuffer, BlockSizeRaisedToWholeRuns) {
  VEK_TestManager m;
  {
    Image image;
    for (uint32_t y = 0; y < 300; ++y) image.push_back({{y % 7, y % 7 + 2}, {20, 20 + y % 5}});
    Source src(m, 40, 300, encode(image));
    ASSERT_TRUE(src.reader->block_bytes(4100));
    VEK_QKRLEBuffer* buffer = VEK_QKRLEBuffer::create(&m, src.reader, &src.h);
    ASSERT_NE(buffer, nullptr);
    for (uint32_t y = 0; y < 300; ++y) EXPECT_EQ(runs_of(buffer->runarray(y)), image[y]) << y;
    EXPECT_EQ(src.reader->block_bytes(), 4104u);
    buffer->destroy();
  }
  expect_clean_end(m);
}

TEST(QKRLEBuffer, ShortStreamFailsOnceAndLinesPastTheHeightAreNotRead) {
  VEK_TestManager m;
  {
    Source src(m, 10, 3, encode({{{1, 2}}, {}}));
    VEK_QKRLEBuffer* buffer = VEK_QKRLEBuffer::create(&m, src.reader, &src.h);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(buffer->runarray(0).count(), 0u);
    EXPECT_TRUE(buffer->regist_failed());
    EXPECT_REPORT(m, 0x80400000u, "VEK_QKRLEBuffer::regist_runarray()", m.status().line());
    // No second try: nothing more is read or reported.
    EXPECT_EQ(buffer->runarray_at_end(0).count(), 0u);
    EXPECT_EQ(buffer->runarray(1).count(), 0u);
    EXPECT_EQ(m.status().full_code(), 0u);
    buffer->destroy();
  }
  {
    // Two lines of a two-line image, then a run that would fail the checks.
    std::vector<uint8_t> stream = encode({{{1, 2}}, {}, {{5, 4}}});
    Source src(m, 10, 2, stream);
    VEK_QKRLEBuffer* buffer = VEK_QKRLEBuffer::create(&m, src.reader, &src.h);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(runs_of(buffer->runarray(0)), (Runs{{1, 2}}));
    EXPECT_FALSE(buffer->regist_failed());
    // Past the last line: an empty array, and a walk over it ends.
    EXPECT_EQ(buffer->runarray(2).count(), 0u);
    EXPECT_TRUE(buffer->runarray(7) == buffer->runarray_at_end(7));
    buffer->destroy();
  }
  expect_clean_end(m);
}

TEST(QKRLEBuffer, RunArraysShareTheLineUntilTheyChangeIt) {
  VEK_TestManager m;
  {
    Source src(m, 10, 2, encode({{{1, 2}, {5, 6}}, {}}));
    VEK_QKRLEBuffer* buffer = VEK_QKRLEBuffer::create(&m, src.reader, &src.h);
    ASSERT_NE(buffer, nullptr);
    EXPECT_FALSE(buffer->runarray(0) == buffer->runarray_at_end(0));
    EXPECT_TRUE(buffer->runarray(1) == buffer->runarray_at_end(1));
    VEK_QKRLERunArray walk = buffer->runarray(0);
    ++walk;
    ++walk;
    EXPECT_TRUE(walk == buffer->runarray_at_end(0));

    VEK_QKRLERunArray changed = buffer->runarray(0);
    ASSERT_TRUE(changed.add_run(8, 9));
    EXPECT_EQ(changed.count(), 3u);
    EXPECT_EQ(runs_of(changed), (Runs{{1, 2}, {5, 6}, {8, 9}}));
    EXPECT_EQ(runs_of(buffer->runarray(0)), (Runs{{1, 2}, {5, 6}}));
    EXPECT_FALSE(changed == buffer->runarray(0));
    // A copy of an array on its own runs keeps them after the original is gone.
    VEK_QKRLERunArray copy(&m);
    {
      VEK_QKRLERunArray own(&m);
      ASSERT_TRUE(own.add_run(3, 4));
      copy = own;
    }
    EXPECT_EQ(runs_of(copy), (Runs{{3, 4}}));
    buffer->destroy();
  }
  expect_clean_end(m);
}

TEST(NotQKRLE, InvertsRunLinesAtWidth10) {
  EXPECT_EQ(invert(10, {{{2, 4}, {7, 7}}, {{0, 9}}, {}, {{3, 9}}, {{0, 0}, {9, 9}}}),
            (Image{{{0, 1}, {5, 6}, {8, 9}}, {}, {{0, 9}}, {{0, 2}}, {{1, 8}}}));
}

TEST(NotQKRLE, MatchesNumpyOnRandomLines) {
  std::mt19937 rng(12);
  const uint32_t widths[] = {1, 7, 64, 1000};
  std::vector<Image> images;
  std::ostringstream request;
  for (uint32_t w : widths) {
    Image image;
    for (int y = 0; y < 75; ++y) {
      // Runs at random columns, each at least one clear pixel past the previous.
      Runs runs;
      const uint32_t density = rng() % 4;
      for (uint64_t x = rng() % 3; x < w;) {
        const uint32_t len = rng() % (density * 3 + 1);
        const uint64_t end = std::min<uint64_t>(x + len, w - 1);
        if (rng() % 4 != 0) runs.emplace_back(uint32_t(x), uint32_t(end));
        x = end + 2 + rng() % (density == 0 ? 3 : w / 8 + 1);
      }
      image.push_back(runs);
      request << w;
      for (auto [s, e] : runs) request << ' ' << s << ' ' << e;
      request << '\n';
    }
    images.push_back(image);
  }
  if (!oracle_available()) GTEST_SKIP() << "python3 with numpy absent";
  std::istringstream answer(python_oracle("qkrle_not_oracle.py", request.str()));
  for (size_t i = 0; i < images.size(); ++i) {
    Image expected;
    std::string text;
    for (size_t y = 0; y < images[i].size() && std::getline(answer, text); ++y) {
      std::istringstream words(text);
      Runs runs;
      uint32_t s, e;
      while (words >> s >> e) runs.emplace_back(s, e);
      expected.push_back(runs);
    }
    EXPECT_EQ(invert(widths[i], images[i]), expected) << "width " << widths[i];
  }
}

TEST(NotQKRLE, RefusesWhatItCannotInvert) {
  VEK_TestManager m;
  EXPECT_EQ(VEK_NotQKRLE(&m).engine(nullptr), nullptr);
  expect_refused(m, 0x80800000u, "VEK_NotQKRLE::engine()", "vek_notqkrle.cpp");
  const std::vector<uint8_t> stream = encode({{}, {}});
  for (auto [bits, channels] : {std::pair<uint16_t, uint16_t>{1, 2}, {8, 1}}) {
    VEK_Header h(&m);
    make_rle(h, 10, 2, bits, channels);
    VEK_Engine* source = VEK_ReadMemory(&m).engine(h, stream.data(), uint32_t(stream.size()));
    EXPECT_EQ(VEK_Not(&m).engine(source), nullptr);
    expect_refused(m, 0x81000000u, "VEK_NotQKRLEEngine::initiate()", "vek_notqkrleengine.cpp");
  }
  // Its longest line would not fit a 32-bit block.
  {
    VEK_Header h(&m);
    make_rle(h, 0xFFFFFFFFu, 2);
    EXPECT_EQ(VEK_Not(&m).engine(VEK_ReadMemory(&m).engine(h, stream.data(), uint32_t(stream.size()))), nullptr);
    expect_refused(m, 0x81000000u, "VEK_NotQKRLEEngine::initiate()", "vek_notqkrleengine.cpp");
  }
  // Width 0 has no last column.
  VEK_Header h(&m);
  make_rle(h, 0, 2);
  EXPECT_EQ(VEK_Not(&m).engine(VEK_ReadMemory(&m).engine(h, stream.data(), uint32_t(stream.size()))), nullptr);
  expect_refused(m, 0x80800000u, "VEK_NotQKRLE::engine()", "vek_notqkrle.cpp");
}

TEST(NotQKRLE, BrokenStreamStopsTheJobWithNothingWritten) {
  for (const std::vector<uint8_t>& stream :
       {encode({{{2, 4}}, {}}), encode({{{2, 4}}, {{7, 0xFFFFFFFFu}}, {}}), encode({{{2, 4}, {5, 6}}, {}, {}})}) {
    VEK_TestManager m;
    NotRun r = invert(m, 10, stream, 3);
    EXPECT_TRUE(r.made);
    EXPECT_EQ(r.code, 0x80400000u);
    EXPECT_EQ(r.method, "VEK_QKRLEBuffer::regist_runarray()");
    EXPECT_TRUE(r.out.empty());
  }
}

TEST(NotQKRLE, EveryRefusedAllocationLeavesNoLeak) {
  const Image in = {{{2, 4}, {7, 7}}, {}, {{0, 9}}};
  expect_rle_refusals(
      [&](uint64_t n) {
        VEK_TestManager m;
        return invert(m, 10, encode(in), 3, n);
      },
      {{{0, 1}, {5, 6}, {8, 9}}, {{0, 9}}, {}});
}

TEST(QKRLEBuffer, RefusesWhatItCannotLoad) {
  VEK_TestManager m;
  {
    Source src(m, 4, 1, encode({{}}));
    EXPECT_EQ(VEK_QKRLEBuffer::create(&m, src.reader, nullptr), nullptr);
    EXPECT_REPORT(m, 0x80800000u, "VEK_QKRLEBufferBase::initiate()", m.status().line());
    VEK_Header raw(&m);
    make(raw, 4, 1, 1);
    EXPECT_EQ(VEK_QKRLEBuffer::create(&m, src.reader, &raw), nullptr);
    EXPECT_REPORT(m, 0x81000000u, "VEK_QKRLEBufferBase::initiate()", m.status().line());
  }
  expect_clean_end(m);
}

// Streams of random words, markers and small columns mixed: NOT either refuses the stream as
// invalid data or writes lines that cover exactly the pixels the input lines leave clear.
TEST(NotQKRLE, RandomStreamsAreInvertedOrRefused) {
  std::mt19937 rng(133);
  const uint32_t width = 12, height = 3;
  int inverted = 0;
  for (int i = 0; i < 3000; ++i) {
    std::vector<uint8_t> stream;
    const int units = int(rng() % 10 + 1);
    uint32_t column = 0;
    for (int k = 0; k < units; ++k) {
      // Mostly runs that ascend, some markers, some runs anywhere, a few random words.
      const uint32_t pick = rng() % 20;
      uint32_t start = rng() % (width + 2), end = start + rng() % 3;
      if (pick < 6) {
        start = end = 0xFFFFFFFFu;
        column = 0;
      } else if (pick < 17) {
        start = column + rng() % 4;
        end = start + rng() % 3;
        column = end + 2;
      } else if (pick == 19) {
        end = rng();
      }
      for (uint32_t v : {start, end}) {
        uint8_t b[4];
        std::memcpy(b, &v, 4);
        stream.insert(stream.end(), b, b + 4);
      }
    }
    VEK_TestManager m;
    NotRun r = invert(m, width, stream, height);
    if (r.code != 0) {
      EXPECT_EQ(r.code, 0x80400000u);
      continue;
    }
    ++inverted;
    const Image in = decode(stream);
    ASSERT_GE(in.size(), height);
    ASSERT_EQ(r.out.size(), height);
    for (uint32_t y = 0; y < height; ++y) {
      std::vector<int> cover(width + 1, 0);
      for (const Image* image : {&in, static_cast<const Image*>(&r.out)})
        for (auto [s, e] : (*image)[y])
          for (uint32_t x = s; x <= e && x < width; ++x) ++cover[x];
      for (uint32_t x = 0; x < width; ++x) EXPECT_EQ(cover[x], 1) << "line " << y << " column " << x;
    }
  }
  EXPECT_GT(inverted, 100);
}
