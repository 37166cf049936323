#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "vek_crop.h"
#include "vek_cropengine.h"
#include "vek_memory.h"
#include "vek_qkrle.h"
#include "vek_test_ops.h"
#include "vek_test_qkrle.h"

namespace {

constexpr uint32_t kAll = 0xFFFFFFFFu;
using Span = std::pair<uint32_t, uint32_t>;

// What a crop job gave: the output size and lines, and the job's first report.
struct Cut {
  bool made = false;
  uint32_t width = 0, height = 0;
  std::vector<uint8_t> out;  // raw lines back to back, or the run-length stream
  uint32_t code = 0;
  std::string method, file;
};

// Reads the image from memory, crops it with make, collects what comes out and ends the job,
// which must leave nothing behind.
template <class Make>
Cut crop_job(VEK_TestManager& m, const VEK_Header& h, const std::vector<uint8_t>& in, Make make) {
  Cut c;
  {
    VEK_Engine* source = VEK_ReadMemory(&m).engine(h, in.data(), uint32_t(in.size()));
    VEK_Engine* e = source != nullptr ? make(&m, source) : nullptr;
    c.made = e != nullptr;
    if (e != nullptr) {
      c.width = e->header()->width();
      c.height = e->header()->height();
      if (VEK_EncodeType::is_raw(e->header()->encode_type())) {
        c.out = collect(m, e);
      } else {
        std::vector<uint8_t> out(max_line_bytes(c.width) * c.height + 64);
        uint32_t written = 0;
        run(VEK_WriteMemory(&m).engine(e, out.data(), uint32_t(out.size()), &written));
        out.resize(written);
        c.out = out;
      }
    }
  }
  c.code = m.status().full_code();
  c.method = m.status().method();
  c.file = m.status().file();
  end_job(m);
  return c;
}

Cut crop(const VEK_Header& h, const std::vector<uint8_t>& in, uint32_t x, uint32_t y, uint32_t w, uint32_t ht) {
  VEK_TestManager m;
  VEK_Header copy(&m);
  copy = h;
  return crop_job(m, copy, in, [&](VEK_Manager* mm, VEK_Engine* s) { return VEK_Crop(mm).engine(s, x, y, w, ht); });
}

// The rectangle cut from raw lines of whole-byte samples, clipped at the edges.
std::vector<uint8_t> cut_bytes(const std::vector<uint8_t>& in, uint32_t width, uint32_t height, uint32_t pixel_bytes,
                               uint32_t x, uint32_t y, uint32_t w, uint32_t ht) {
  std::vector<uint8_t> out;
  const uint64_t x_end = std::min<uint64_t>(uint64_t(x) + w, width);
  const uint64_t y_end = std::min<uint64_t>(uint64_t(y) + ht, height);
  for (uint64_t r = y; r < y_end; ++r)
    for (uint64_t i = x * uint64_t(pixel_bytes); i < x_end * pixel_bytes; ++i)
      out.push_back(in[r * width * pixel_bytes + i]);
  return out;
}

// The same for 1-bit samples: unpacked bit by bit, repacked from bit 7 with the tail of each
// line clear.
std::vector<uint8_t> cut_bits(const std::vector<uint8_t>& in, uint32_t width, uint32_t height, uint32_t channels,
                              uint32_t x, uint32_t y, uint32_t w, uint32_t ht) {
  const uint64_t in_line = (uint64_t(width) * channels + 7) / 8;
  const uint64_t x_end = std::min<uint64_t>(uint64_t(x) + w, width);
  const uint64_t y_end = std::min<uint64_t>(uint64_t(y) + ht, height);
  const uint64_t out_bits = (x_end - x) * channels;
  std::vector<uint8_t> out;
  for (uint64_t r = y; r < y_end; ++r) {
    std::vector<uint8_t> line((out_bits + 7) / 8, 0);
    for (uint64_t k = 0; k < out_bits; ++k) {
      const uint64_t b = x * uint64_t(channels) + k;
      const int bit = (in[r * in_line + b / 8] >> (7 - b % 8)) & 1;
      if (bit) line[k / 8] |= uint8_t(0x80 >> (k % 8));
    }
    out.insert(out.end(), line.begin(), line.end());
  }
  return out;
}

// Run lines cut to columns x .. x + w - 1 by way of their pixels.
Image cut_runs(const Image& in, uint32_t width, uint32_t x, uint32_t y, uint32_t w, uint32_t ht) {
  const uint64_t x_end = std::min<uint64_t>(uint64_t(x) + w, width);
  const uint64_t y_end = std::min<uint64_t>(uint64_t(y) + ht, in.size());
  Image out;
  for (uint64_t r = y; r < y_end; ++r) {
    std::vector<bool> pixels(width, false);
    for (auto [s, e] : in[r])
      for (uint64_t c = s; c <= e && c < width; ++c) pixels[c] = true;
    Runs runs;
    for (uint64_t c = x; c < x_end; ++c) {
      if (!pixels[c]) continue;
      if (c > x && pixels[c - 1])
        runs.back().second = uint32_t(c - x);
      else
        runs.emplace_back(uint32_t(c - x), uint32_t(c - x));
    }
    out.push_back(runs);
  }
  return out;
}

// Random lines: runs at least one clear pixel apart, ending at width - 1 at most.
Image random_runs(std::mt19937& rng, uint32_t width, uint32_t height) {
  Image image;
  for (uint32_t y = 0; y < height; ++y) {
    Runs runs;
    for (uint64_t c = rng() % 4; c < width;) {
      const uint64_t end = std::min<uint64_t>(c + rng() % 9, width - 1);
      runs.emplace_back(uint32_t(c), uint32_t(end));
      c = end + 2 + rng() % 7;
    }
    image.push_back(runs);
  }
  return image;
}

// Emits `given` lines of a taller image, then stops without a report, as a source cut short does.
class ShortSourceEngine : public VEK_GenerateEngine {
 public:
  using VEK_GenerateEngine::initiate;
  using VEK_GenerateEngine::VEK_GenerateEngine;
  bool initiate(VEK_DstBuffer* destination, const VEK_Header* header, uint32_t given) {
    given_ = given;
    if (!VEK_GenerateEngine::initiate(header, destination)) return false;
    raw_ = VEK_EncodeType::is_raw(header->encode_type());
    return dst_->block_bytes(raw_ ? out_header_.line_bytes() : 8);
  }
  bool execute() override {
    if (line_ >= given_) return false;
    uint8_t* out = static_cast<uint8_t*>(dst_->get());
    if (out == nullptr) return false;
    const uint32_t n = raw_ ? out_header_.line_bytes() : 8;
    std::memset(out, raw_ ? int(line_ + 1) : 0xFF, n);  // raw: line y holds y + 1; else an empty line
    ++line_;
    return dst_->release(n);
  }

 private:
  uint32_t given_ = 0, line_ = 0;
  bool raw_ = true;
};

class ShortSource : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(const VEK_Header& h, uint32_t given) { return create_generator<ShortSourceEngine>(&h, given); }
};

}  // namespace

TEST(Crop, WholeImageIsTheSourceItselfAndRegistersNothing) {
  VEK_TestManager m;
  {
    const std::vector<uint8_t> raw(100 * 50, 7), stream = encode(Image(50));
    VEK_Header h(&m), r(&m);
    make_gray(h, 100, 50);
    make_rle(r, 100, 50);
    for (auto [header, bytes] : {std::pair{&h, &raw}, std::pair{&r, &stream}}) {
      VEK_Engine* source = VEK_ReadMemory(&m).engine(*header, bytes->data(), uint32_t(bytes->size()));
      ASSERT_NE(source, nullptr);
      const uint64_t before = m.memory_manager().allocations();
      for (auto [w, ht] : std::vector<Span>{{100, 50}, {101, 50}, {100, 51}, {kAll, kAll}})
        EXPECT_EQ(VEK_Crop(&m).engine(source, 0, 0, w, ht), source);
      // Rows alone are kept whole even where columns will be cut.
      EXPECT_EQ(VEK_CropHeight(&m).engine(source, 0, 50), source);
      EXPECT_EQ(VEK_CropWidth(&m).engine(source, 0, kAll), source);
      EXPECT_EQ(m.memory_manager().allocations(), before);
    }
    EXPECT_EQ(m.status().full_code(), 0u);
  }
  expect_clean_end(m);
}

TEST(Crop, RectanglesPastTheRightAndBottomEdgesAreClipped) {
  VEK_TestManager m;
  VEK_Header h(&m), r(&m);
  make_gray(h, 100, 50);
  make_rle(r, 100, 50);
  const std::vector<uint8_t> raw = random_bytes(100 * 50, 1);
  Image lines;
  for (uint32_t y = 0; y < 50; ++y) lines.push_back({{y, y + 20}, {y + 30, 99}});
  const std::vector<uint8_t> stream = encode(lines);
  struct Case {
    uint32_t x, y, w, h, out_w, out_h;
  };
  // x + width and y + height wrap in 32 bits in all but the first.
  const Case cases[] = {{90, 0, 30, 50, 10, 50},
                        {10, 20, 0xFFFFFFF8u, 50, 90, 30},
                        {0, 7, kAll, kAll, 100, 43},
                        {3, 49, kAll, kAll, 97, 1},
                        {99, 0, kAll, 0xFFFFFFF0u, 1, 50}};
  for (const Case& c : cases) {
    const Cut a = crop(h, raw, c.x, c.y, c.w, c.h);
    EXPECT_TRUE(a.made);
    EXPECT_EQ(a.code, 0u) << a.method;
    EXPECT_EQ(std::pair(a.width, a.height), std::pair(c.out_w, c.out_h));
    EXPECT_EQ(a.out, cut_bytes(raw, 100, 50, 1, c.x, c.y, c.w, c.h));
    const Cut b = crop(r, stream, c.x, c.y, c.w, c.h);
    EXPECT_EQ(b.code, 0u) << b.method;
    EXPECT_EQ(std::pair(b.width, b.height), std::pair(c.out_w, c.out_h));
    EXPECT_EQ(decode(b.out), cut_runs(lines, 100, c.x, c.y, c.w, c.h));
  }
}

TEST(Crop, EmptyRectanglesAndOnesStartingOutsideAreRefused) {
  struct Case {
    uint32_t x, y, w, h;
    const char* raw_method;
  };
  // 0xFFFFFFF6 is -10 passed as unsigned: outside, never wrapped into the image.
  const Case cases[] = {{5, 5, 0, 10, "VEK_CropWidthEngine::initiate()"},
                        {5, 5, 10, 0, "VEK_CropHeightEngine::initiate()"},
                        {100, 0, 10, 10, "VEK_CropWidthEngine::initiate()"},
                        {0, 50, 10, 10, "VEK_CropHeightEngine::initiate()"},
                        {0xFFFFFFF6u, 0, 20, 10, "VEK_CropWidthEngine::initiate()"},
                        {0, 0xFFFFFFF6u, 20, 20, "VEK_CropHeightEngine::initiate()"}};
  for (const Case& c : cases) {
    VEK_TestManager m;
    VEK_Header h(&m), r(&m);
    make_gray(h, 100, 50);
    make_rle(r, 100, 50);
    const Cut a = crop(h, std::vector<uint8_t>(100 * 50), c.x, c.y, c.w, c.h);
    EXPECT_FALSE(a.made);
    EXPECT_EQ(a.code, 0x80800000u);
    EXPECT_EQ(a.method, c.raw_method);
    const Cut b = crop(r, encode(Image(50)), c.x, c.y, c.w, c.h);
    EXPECT_FALSE(b.made);
    EXPECT_EQ(b.code, 0x80800000u);
    EXPECT_EQ(b.method, "VEK_CropQKRLEEngine::initiate()");
    EXPECT_EQ(b.file, "vek_cropqkrleengine.cpp");
  }
  VEK_TestManager m;
  const std::pair<const char*, VEK_Engine* (*)(VEK_Manager*)> creators[] = {
      {"VEK_CropHeight::engine()", [](VEK_Manager* mm) { return VEK_CropHeight(mm).engine(nullptr, 0, 1); }},
      {"VEK_CropWidth::engine()", [](VEK_Manager* mm) { return VEK_CropWidth(mm).engine(nullptr, 0, 1); }},
      {"VEK_CropQKRLE::engine()", [](VEK_Manager* mm) { return VEK_CropQKRLE(mm).engine(nullptr, 0, 0, 1, 1); }},
      {"VEK_CropWidth8xNBits::engine()",
       [](VEK_Manager* mm) { return VEK_CropWidth8xNBits(mm).engine(nullptr, 0, 1); }},
      {"VEK_CropWidth1BitBS::engine()", [](VEK_Manager* mm) { return VEK_CropWidth1BitBS(mm).engine(nullptr, 0, 1); }},
      {"VEK_CropWidth1BitIS::engine()", [](VEK_Manager* mm) { return VEK_CropWidth1BitIS(mm).engine(nullptr, 0, 1); }}};
  for (auto [method, make_null] : creators) {
    EXPECT_EQ(make_null(&m), nullptr);
    EXPECT_EQ(m.status().full_code(), 0x80800000u);
    EXPECT_STREQ(m.status().method(), method);
    m.clear();
  }
  EXPECT_EQ(VEK_Crop(&m).engine(nullptr, 0, 0, 1, 1), nullptr);
  expect_refused(m, 0x80800000u, "VEK_Crop::engine()", "vek_crop.cpp");
}

TEST(CropWidth, ColumnCopierIsChosenByWhereTheFirstColumnFalls) {
  VEK_TestManager m;
  {
    const std::vector<uint8_t> bytes(64 * 3 * 4);
    VEK_Header one(&m), three(&m), rgb(&m);
    make(one, 64, 4, 1, 1);
    make(three, 64, 4, 1, 3);
    make(rgb, 64, 4, 8, 3);
    // A buffer serves one reader: each crop gets a source of its own.
    auto from = [&](const VEK_Header& h) { return VEK_ReadMemory(&m).engine(h, bytes.data(), uint32_t(bytes.size())); };

    // Whole bytes are copied where the first column starts a byte, else shifted.
    EXPECT_NE(dynamic_cast<VEK_CropWidth1BitBSEngine*>(VEK_CropWidth(&m).engine(from(one), 8, 5)), nullptr);
    EXPECT_NE(dynamic_cast<VEK_CropWidth1BitISEngine*>(VEK_CropWidth(&m).engine(from(one), 3, 10)), nullptr);
    EXPECT_NE(dynamic_cast<VEK_CropWidth1BitBSEngine*>(VEK_CropWidth(&m).engine(from(three), 8, 5)), nullptr);
    EXPECT_NE(dynamic_cast<VEK_CropWidth1BitISEngine*>(VEK_CropWidth(&m).engine(from(three), 1, 5)), nullptr);
    EXPECT_NE(dynamic_cast<VEK_CropWidth8xNBitsEngine*>(VEK_CropWidth(&m).engine(from(rgb), 2, 5)), nullptr);
  }
  expect_clean_end(m);
}

// The leaf creators build their engine even where the choice would differ, and the engine
// refuses what it cannot cut.
TEST(CropWidth, LeafEnginesRefuseLinesTheyCannotCopy) {
  struct Case {
    uint16_t bits;
    uint32_t x;
    VEK_Engine* (*make)(VEK_Manager*, VEK_Engine*, uint32_t);
    const char* method;
  };
  const Case cases[] = {
      {1, 3, [](VEK_Manager* m, VEK_Engine* s, uint32_t x) { return VEK_CropWidth1BitBS(m).engine(s, x, 5); },
       "VEK_CropWidth1BitBSEngine::initiate()"},
      {1, 8, [](VEK_Manager* m, VEK_Engine* s, uint32_t x) { return VEK_CropWidth1BitIS(m).engine(s, x, 5); },
       "VEK_CropWidth1BitISEngine::initiate()"},
      {8, 1, [](VEK_Manager* m, VEK_Engine* s, uint32_t x) { return VEK_CropWidth1BitIS(m).engine(s, x, 5); },
       "VEK_CropWidth1BitEngine::initiate()"},
      {1, 0, [](VEK_Manager* m, VEK_Engine* s, uint32_t x) { return VEK_CropWidth8xNBits(m).engine(s, x, 5); },
       "VEK_CropWidth8xNBitsEngine::initiate()"}};
  for (const Case& c : cases) {
    VEK_TestManager m;
    VEK_Header h(&m);
    make(h, 64, 2, c.bits, 1);
    const Cut cut =
        crop_job(m, h, std::vector<uint8_t>(128), [&](VEK_Manager* mm, VEK_Engine* s) { return c.make(mm, s, c.x); });
    EXPECT_FALSE(cut.made);
    EXPECT_EQ(cut.code, 0x81000000u);
    EXPECT_EQ(cut.method, c.method);
  }
}

TEST(Crop, SampleKindsItCannotCutAreRefused) {
  // 12-bit samples: the row crop refuses them when it has rows to cut, else the column copier.
  for (const VEK_DataType* type : {VEK_DataType::u_integer, VEK_DataType::unknown}) {
    VEK_TestManager m;
    VEK_Header h(&m);
    make(h, 8, 4, 12, 1, type);
    const std::vector<uint8_t> bytes(12 * 4);
    Cut c = crop(h, bytes, 1, 0, 4, 4);
    EXPECT_FALSE(c.made);
    EXPECT_EQ(c.code, 0x81000000u);
    EXPECT_EQ(c.method, "VEK_CropWidth8xNBitsEngine::initiate()");
    EXPECT_EQ(c.file, "vek_cropwidth8xnbitsengine.cpp");
    c = crop(h, bytes, 1, 1, 4, 4);
    EXPECT_EQ(c.code, 0x81000000u);
    EXPECT_EQ(c.method, "VEK_CropHeightEngine::initiate()");
    EXPECT_EQ(c.file, "vek_cropheightengine.cpp");
  }
  // Encodings other than raw and run-length.
  VEK_TestManager m;
  VEK_Header h(&m);
  make_gray(h, 8, 4);
  h.encode_type(VEK_EncodeType_jpeg::instance());
  const std::vector<uint8_t> bytes(64);
  Cut c = crop(h, bytes, 0, 1, 4, 2);
  EXPECT_EQ(c.code, 0x81000000u);
  EXPECT_EQ(c.method, "VEK_CropHeightEngine::initiate()");
  c = crop(h, bytes, 1, 0, 4, 4);
  EXPECT_EQ(c.code, 0x81000000u);
  EXPECT_EQ(c.method, "VEK_ProcessLineToLineEngine::initiate()");
}

// Every sample kind and channel count against the rectangle cut from the input array.
TEST(Crop, WholeByteSamplesMatchTheCutOfTheInput) {
  struct Kind {
    uint16_t bits;
    const VEK_DataType* type;
  };
  const Kind kinds[] = {{8, VEK_DataType::u_integer},  {8, VEK_DataType::s_integer},  {16, VEK_DataType::u_integer},
                        {16, VEK_DataType::s_integer}, {32, VEK_DataType::u_integer}, {32, VEK_DataType::s_integer},
                        {32, VEK_DataType::floating},  {64, VEK_DataType::floating}};
  const uint32_t W = 37, H = 11;
  struct Rect {
    uint32_t x, y, w, h;
  };
  std::vector<Rect> rects;
  for (uint32_t x = 0; x < 10; ++x)
    for (const Rect& r : {Rect{x, 0, 5, 3}, Rect{x, 4, W - x, H - 4}, Rect{x, 10, W, 9}, Rect{x, 2, 1, kAll}})
      rects.push_back(r);
  rects.push_back({W - 1, H - 1, 1, 1});
  rects.push_back({20, 3, kAll, 2});
  uint32_t seed = 0;
  for (const Kind& k : kinds)
    for (uint16_t channels : {1, 3, 4}) {
      VEK_TestManager m;
      VEK_Header h(&m);
      make(h, W, H, k.bits, channels, k.type);
      h.color_type(channels == 1   ? VEK_ColorType_gray::instance()
                   : channels == 3 ? VEK_ColorType_s_rgb::instance()
                                   : VEK_ColorType_cmyk::instance());
      const uint32_t pixel = k.bits / 8 * channels;
      const std::vector<uint8_t> in = random_bytes(size_t(W) * H * pixel, ++seed);
      for (const Rect& r : rects) {
        SCOPED_TRACE(testing::Message() << k.bits << "-bit type " << k.type->name() << " x" << channels << " at ("
                                        << r.x << ", " << r.y << ") " << r.w << " x " << r.h);
        const Cut c = crop(h, in, r.x, r.y, r.w, r.h);
        ASSERT_EQ(c.code, 0u) << c.method;
        EXPECT_EQ(c.out, cut_bytes(in, W, H, pixel, r.x, r.y, r.w, r.h));
      }
    }
}

// 1-bit lines with every first column of a byte, ends inside the line, on its last byte and
// past it, and source bits after the last pixel that are set.
TEST(Crop, OneBitSamplesMatchTheCutOfTheInputBitByBit) {
  for (uint16_t channels : {1, 3})
    for (uint32_t W : {37u, 64u}) {
      const uint32_t H = 6;
      const uint32_t line = (W * channels + 7) / 8;
      const std::vector<uint8_t> in = random_bytes(size_t(line) * H, W + channels);
      VEK_TestManager m;
      VEK_Header h(&m);
      make(h, W, H, 1, channels);
      for (uint32_t x = 0; x < 24; ++x)
        for (uint32_t w : {1u, 2u, 5u, 7u, 8u, 9u, 16u, 17u, W - x - 1, W - x, kAll})
          for (auto [y, ht] : std::vector<Span>{{0, kAll}, {2, 3}, {5, 1}}) {
            // The whole image is the source itself, whose lines are not the crop's to change.
            if (x == 0 && y == 0 && w >= W) continue;
            SCOPED_TRACE(testing::Message()
                         << "W " << W << " x" << channels << " at (" << x << ", " << y << ") " << w << " x " << ht);
            const Cut c = crop(h, in, x, y, w, ht);
            ASSERT_EQ(c.code, 0u) << c.method;
            EXPECT_EQ(c.out, cut_bits(in, W, H, channels, x, y, w, ht));
          }
    }
}

// The image lies in memory of its exact size, which the column copy reads in place, and the
// shifting copy ends on the last byte of each line, the last line included: a read past it
// would be caught by the address sanitizer.
TEST(Crop, ShiftingCopyReadsNothingPastTheSourceLine) {
  for (uint32_t W : {21u, 131u}) {
    const uint32_t H = 3, line = (W + 7) / 8;
    std::vector<uint8_t> in = random_bytes(line * H, W);
    VEK_TestManager m;
    VEK_Header h(&m);
    make(h, W, H, 1, 1);
    for (uint32_t x : {3u, 9u, 17u}) {
      const Cut c = crop(h, in, x, 0, kAll, kAll);
      ASSERT_EQ(c.code, 0u) << c.method;
      EXPECT_EQ(c.out, cut_bits(in, W, H, 1, x, 0, kAll, kAll));
    }
  }
}

// Column offsets are worked out in 64 bits: 3 x x bits pass 32 bits long before the line's bytes do.
TEST(CropWidth, ByteOffsetsAreComputedIn64Bits) {
  VEK_TestManager m;
  {
    VEK_Header h(&m);
    make(h, 0xFFFFFFF0u, 1, 1, 3);
    const std::vector<uint8_t> bytes(16);
    auto from = [&] { return VEK_ReadMemory(&m).engine(h, bytes.data(), 16); };
    const uint32_t x = 0xAAAAAAA8u;
    auto* bs = dynamic_cast<VEK_CropWidth1BitBSEngine*>(VEK_CropWidth(&m).engine(from(), x, 16));
    ASSERT_NE(bs, nullptr);
    EXPECT_EQ(bs->byte_offset(), uint64_t(x) * 3 / 8);
    auto* is = dynamic_cast<VEK_CropWidth1BitISEngine*>(VEK_CropWidth(&m).engine(from(), x + 1, 16));
    ASSERT_NE(is, nullptr);
    EXPECT_EQ(is->byte_offset(), (uint64_t(x) + 1) * 3 / 8);
    EXPECT_EQ(is->left_shift(), 3);
  }
  expect_clean_end(m);
}

// A source line of more than 32 bits of bytes is refused, not wrapped; the chain's end points
// refuse such a header themselves, so the engines are driven here by hand.
TEST(CropWidth, LinesPast32BitsAreRefused) {
  for (bool rows : {false, true}) {
    VEK_TestManager m;
    {
      VEK_Header small(&m), huge(&m);
      make(small, 8, 1, 8, 1);
      make(huge, 0x40000000u, 2, 64, 4, VEK_DataType::floating);
      const std::vector<uint8_t> bytes(8);
      VEK_Engine* source = VEK_ReadMemory(&m).engine(small, bytes.data(), 8);
      VEK_SrcBuffer* reader = source->src_buffer();
      VEK_DstBuffer* out = m.create_dst_buffer();
      VEK_Engine* e = nullptr;
      if (rows) {
        auto* r = vek_new<VEK_CropHeightEngine>(&m);
        EXPECT_FALSE(r->initiate(&huge, reader, out, 1, 1));
        e = r;
      } else {
        auto* w = vek_new<VEK_CropWidth8xNBitsEngine>(&m);
        EXPECT_FALSE(w->initiate(&huge, reader, out, 1, 2));
        e = w;
      }
      EXPECT_EQ(m.status().full_code(), 0x80800000u);
      e->destroy();
      reader->destroy();
      out->destroy();
    }
    end_job(m);
  }
}

TEST(CropHeight, RowsBelowTheRectangleAreNeverRead) {
  const uint32_t W = 10, H = 20;
  const std::vector<uint8_t> in = random_bytes(W * H, 3);
  for (auto [y, ht] : std::vector<Span>{{0, 5}, {7, 4}, {19, 1}}) {
    VEK_TestManager m;
    VEK_Header h(&m);
    make_gray(h, W, H);
    uint32_t read = 0;
    std::vector<uint8_t> out;
    {
      VEK_Engine* source = VEK_ReadMemory(&m).engine(h, in.data(), uint32_t(in.size()), &read);
      out = collect(m, VEK_Crop(&m).engine(source, 2, y, 6, ht));
    }
    EXPECT_EQ(out, cut_bytes(in, W, H, 1, 2, y, 6, ht));
    EXPECT_EQ(read, (y + ht) * W);
    expect_clean_end(m);
  }
}

// A source that ends without a report: the crop stops where its lines stop, above the rectangle
// and inside it alike, and adds no report of its own.
// Raw rows and run-length lines alike: the crop stops where the source's lines stop, above the
// rectangle and inside it, and makes up no empty lines for the missing ones.
TEST(Crop, SourceThatEndsEarlyEndsTheCrop) {
  for (bool rle : {false, true})
    for (uint32_t y : {5u, 1u}) {
      VEK_TestManager m;
      {
        VEK_Header h(&m);
        if (rle)
          make_rle(h, 16, 10);
        else
          make_gray(h, 4, 10);
        VEK_Engine* source = ShortSource(&m).engine(h, 3);
        VEK_Engine* e = rle ? VEK_Crop(&m).engine(source, 2, y, 4, 4) : VEK_CropHeight(&m).engine(source, y, 4);
        ASSERT_NE(e, nullptr);
        std::vector<uint8_t> out(256);
        ASSERT_NE(VEK_WriteMemory(&m).engine(e, out.data(), 256), nullptr);
        uint32_t steps = 0;
        while (e->execute()) ASSERT_LT(++steps, 10u);
        // Lines 0 .. 2 exist: a step for each one inside the rectangle.
        EXPECT_EQ(steps, y < 3 ? 3 - y : 0u);
        EXPECT_EQ(m.status().full_code(), 0u) << m.status().method();
      }
      expect_clean_end(m);
    }
}

TEST(CropQKRLE, RunsAreCutToTheColumnsAndMovedToTheirStart) {
  // Columns 10 .. 14, each run in a line of its own, then an empty line and several runs at once.
  const Image in = {{{5, 20}},  {{12, 30}}, {{0, 9}}, {{15, 40}}, {}, {{0, 10}, {12, 12}, {14, 15}, {17, 18}},
                    {{10, 14}}, {{11, 13}}};
  const Image want = {{{0, 4}}, {{2, 4}}, {}, {}, {}, {{0, 0}, {2, 2}, {4, 4}}, {{0, 4}}, {{1, 3}}};
  VEK_TestManager m;
  VEK_Header h(&m);
  make_rle(h, 50, uint32_t(in.size()));
  const Cut c = crop(h, encode(in), 10, 0, 5, kAll);
  EXPECT_EQ(c.code, 0u) << c.method;
  EXPECT_EQ(std::pair(c.width, c.height), std::pair(5u, uint32_t(in.size())));
  EXPECT_EQ(decode(c.out), want);
  // The empty line is the marker alone.
  EXPECT_EQ(std::vector<uint8_t>(c.out.begin() + 16 * 2 + 8 * 2, c.out.begin() + 16 * 2 + 8 * 3),
            std::vector<uint8_t>(8, 0xFF));
}

TEST(CropQKRLE, RandomLinesMatchTheCutOfTheirPixels) {
  std::mt19937 rng(21);
  for (uint32_t W : {1u, 9u, 64u, 300u}) {
    const Image in = random_runs(rng, W, 12);
    // A run may end on the width itself, which readers accept; the cut never goes past width - 1.
    Image with_edge = in;
    with_edge[3] = {{W > 2 ? W - 2 : 0, W}};
    VEK_TestManager m;
    VEK_Header h(&m);
    make_rle(h, W, 12);
    for (int k = 0; k < 60; ++k) {
      const uint32_t x = rng() % W, y = rng() % 12;
      const uint32_t w = k % 5 == 0 ? kAll : rng() % W + 1, ht = k % 7 == 0 ? kAll : rng() % 12 + 1;
      SCOPED_TRACE(testing::Message() << "W " << W << " at (" << x << ", " << y << ") " << w << " x " << ht);
      for (const Image* image : {&in, static_cast<const Image*>(&with_edge)}) {
        const Cut c = crop(h, encode(*image), x, y, w, ht);
        // The whole image passes unchanged: nothing cuts the run past the width.
        if (image == &with_edge && x == 0 && y == 0 && w >= W && ht >= 12) continue;
        ASSERT_EQ(c.code, 0u) << c.method;
        EXPECT_EQ(decode(c.out), cut_runs(*image, W, x, y, w, ht));
      }
    }
  }
}

// Lines of the longest kind fill one block of the reader each, so the bytes read tell the lines read.
TEST(CropQKRLE, LinesAboveAreReadAndDroppedAndLinesBelowNeverRead) {
  const uint32_t W = 20, H = 30;
  Image in(H);
  for (uint32_t y = 0; y < H; ++y)
    for (uint32_t c = y % 2; c < W; c += 2) in[y].emplace_back(c, c);
  const std::vector<uint8_t> stream = encode(in);
  for (auto [y, ht] : std::vector<Span>{{0, 4}, {11, 5}, {29, 1}}) {
    VEK_TestManager m;
    VEK_Header h(&m);
    make_rle(h, W, H);
    uint32_t read = 0;
    Image out;
    {
      VEK_Engine* source = VEK_ReadMemory(&m).engine(h, stream.data(), uint32_t(stream.size()), &read);
      std::vector<uint8_t> bytes(4096);
      uint32_t written = 0;
      run(VEK_WriteMemory(&m).engine(VEK_Crop(&m).engine(source, 3, y, 10, ht), bytes.data(), 4096, &written));
      bytes.resize(written);
      out = decode(bytes);
    }
    EXPECT_EQ(out, cut_runs(in, W, 3, y, 10, ht));
    EXPECT_EQ(read, (y + ht) * max_line_bytes(W));
    expect_clean_end(m);
  }
}

TEST(CropQKRLE, BrokenStreamsStopTheCrop) {
  struct Case {
    std::vector<uint8_t> stream;
    const char* method;
  };
  std::vector<uint8_t> part_runs = encode({{{1, 2}}});
  part_runs.resize(12);
  // A run whose end lies before its start would come out of the cut with a wrapped end.
  const Case cases[] = {{part_runs, "VEK_QKRLELineBase::get_next_line() - invalid src_buffer's block bytes."},
                        {encode({{{1, 2}}, {{12, 5}}, {}}), "VEK_QKRLELineBase::get_next_line()"},
                        {encode({{{12, 5}}, {}, {}}), "VEK_QKRLELineBase::get_next_line()"}};
  for (const Case& c : cases) {
    VEK_TestManager m;
    {
      VEK_Header h(&m);
      make_rle(h, 20, 3);
      VEK_Engine* source = VEK_ReadMemory(&m).engine(h, c.stream.data(), uint32_t(c.stream.size()));
      VEK_Engine* e = VEK_Crop(&m).engine(source, 10, 1, 5, 2);
      ASSERT_NE(e, nullptr);
      std::vector<uint8_t> out(256);
      ASSERT_NE(VEK_WriteMemory(&m).engine(e, out.data(), 256), nullptr);
      while (e->execute()) {
      }
      EXPECT_EQ(m.status().full_code(), 0x80400000u);
      EXPECT_STREQ(m.status().method(), c.method);
    }
    VEK_Status st(&m);
    EXPECT_FALSE(m.status(st));
    EXPECT_EQ(m.memory_manager().live(), kManagerParts);
  }
}

// A stream with fewer lines than its height: no empty lines are made up for the missing ones.
TEST(CropQKRLE, WidthsWhoseLongestLinePasses32BitsAreRefused) {
  VEK_TestManager m;
  VEK_Header h(&m);
  make_rle(h, kAll, 2);
  const Cut c = crop(h, encode(Image(2)), 5, 0, 10, 2);
  EXPECT_FALSE(c.made);
  EXPECT_EQ(c.code, 0x81000000u);
  EXPECT_EQ(c.method, "VEK_CropQKRLEEngine::initiate()");
  // Run-length images of more than one bit or channel are refused the same way.
  make(h, 16, 2, 1, 3);
  h.encode_type(VEK_EncodeType_qk_rle::instance());
  const Cut d = crop(h, encode(Image(2)), 5, 0, 10, 2);
  EXPECT_EQ(d.code, 0x81000000u);
  EXPECT_EQ(d.method, "VEK_CropQKRLEEngine::initiate()");
}

TEST(Crop, EveryRefusedAllocationLeavesNoLeak) {
  VEK_TestManager probe;
  VEK_Header wide(&probe), bits(&probe), rle(&probe);
  make(wide, 13, 6, 16, 3);
  make(bits, 29, 6, 1, 1);
  make_rle(rle, 29, 6);
  const std::vector<uint8_t> raw16 = random_bytes(13 * 6 * 6, 8), raw1 = random_bytes(4 * 6, 9);
  std::mt19937 rng(4);
  const Image lines = random_runs(rng, 29, 6);
  const std::vector<uint8_t> stream = encode(lines);
  struct Job {
    const VEK_Header* h;
    const std::vector<uint8_t>* in;
    std::vector<uint8_t> want;
  };
  const Job jobs[] = {{&wide, &raw16, cut_bytes(raw16, 13, 6, 6, 3, 2, 7, 3)},
                      {&bits, &raw1, cut_bits(raw1, 29, 6, 1, 3, 2, 7, 3)},
                      {&rle, &stream, encode(cut_runs(lines, 29, 3, 2, 7, 3))}};
  for (const Job& job : jobs) {
    for (uint64_t n = 1;; ++n) {
      VEK_TestManager m;
      VEK_Header h(&m);
      h = *job.h;
      const Cut c = crop_job(m, h, *job.in, [&](VEK_Manager* mm, VEK_Engine* s) {
        m.memory_manager().fail_nth(n);
        return VEK_Crop(mm).engine(s, 3, 2, 7, 3);
      });
      if (c.code == 0) {
        EXPECT_EQ(c.out, job.want);
        break;
      }
      EXPECT_EQ(c.code, 0x80010000u) << "refusing allocation " << n << " " << c.method;
      ASSERT_LT(n, 100u);
    }
  }
}
