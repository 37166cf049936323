#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "vek_decorator.h"
#include "vek_dib.h"
#include "vek_memory.h"
#include "vek_memorystorage.h"
#include "vek_test_engines.h"
#include "vek_test_ops.h"
#include "vek_test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
const VEK_WriteDIBOption kAuto(0, 300, 300, 0);

VEK_WriteDIBOption with(uint32_t bit_count, uint32_t info_size = 40, uint32_t compression = 0) {
  VEK_WriteDIBOption o(compression, 300, 300, bit_count);
  o.info_size = info_size;
  return o;
}

void make(VEK_Header& h, uint32_t w, uint32_t ht, uint16_t bits, uint16_t channels, const VEK_ColorType* color,
          const Bytes& palette = {}, uint16_t palette_channels = 3) {
  h.width(w);
  h.height(ht);
  h.bits(bits);
  h.channels(channels);
  h.color_type(color);
  h.palette().bits(palette.empty() ? 0 : 8);
  h.palette().channels(palette.empty() ? 0 : palette_channels);
  h.palette().entries(uint32_t(palette.size() / palette_channels));
  ASSERT_TRUE(h.palette().value(palette.empty() ? nullptr : palette.data(), uint32_t(palette.size())));
}

uint32_t u32(const Bytes& b, size_t at) { return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24; }
Bytes slice(const Bytes& b, size_t from, size_t n) { return Bytes(b.begin() + from, b.begin() + from + n); }

// Writes the image, read from caller memory, as a bitmap behind the first `front` bytes of out,
// which ends sized by dib_bytes (wrap may put a decorator in between). The storage has room
// past that size; written gets the highest position the writer reached. The job's status.
VEK_Status write_dib(VEK_TestManager& m, const VEK_Header& h, const Bytes& pixels, const VEK_WriteDIBOption& option,
                     Bytes& out, size_t front = 0,
                     const std::function<VEK_OutputStorage*(VEK_OutputStorage*)>& wrap = nullptr,
                     int32_t* written = nullptr) {
  const Bytes lead(out.begin(), out.begin() + std::min(front, out.size()));
  const size_t sized = front + std::max<uint32_t>(VEK_WriteDIB::dib_bytes(&h, option), 1);
  out.resize(sized);
  out.resize(sized + 64, 0xA5);
  VEK_OutputStorage* storage = VEK_ByteArrayOutputStorage::create(&m, out.data(), int32_t(out.size()));
  if (storage != nullptr && !lead.empty()) storage->write(lead.data(), int32_t(lead.size()));
  VEK_OutputStorage* target = wrap && storage != nullptr ? wrap(storage) : storage;
  VEK_ReadMemory reader(&m);
  run(VEK_WriteDIB(&m).engine(reader.engine(h, pixels.data(), uint32_t(pixels.size())), target, option));
  VEK_Status st(&m);
  m.status(st);
  if (written != nullptr) *written = storage != nullptr ? storage->size() : -1;
  if (target != storage) vek_destroy(target);
  vek_destroy(storage);
  out.resize(sized);
  return st;
}

// Passes writes through until its budget is spent, then takes nothing and reports nothing.
class BudgetStorage : public VEK_OutputStorageDecorator {
 public:
  using VEK_OutputStorageDecorator::VEK_OutputStorageDecorator;
  int32_t write(const void* buffer, int32_t n) override {
    const int32_t k = std::min(n, budget);
    budget -= k;
    return k > 0 ? storage_->write(buffer, k) : 0;
  }
  int32_t budget = INT32_MAX;
};

}  // namespace

TEST(DibWriter, GrayImageLayoutAndBottomUpRows) {
  VEK_TestManager m;
  VEK_Header h(&m);
  make(h, 10, 3, 8, 1, VEK_ColorType_gray::instance());
  EXPECT_EQ(VEK_WriteDIB::info_bytes(&h, kAuto), 1064u);
  const Bytes pixels = random_bytes(30, 1);
  Bytes out;
  int32_t written = 0;
  ASSERT_EQ(write_dib(m, h, pixels, kAuto, out, 0, nullptr, &written).full_code(), 0u);
  EXPECT_EQ(VEK_WriteDIB::dib_bytes(&h, kAuto), 1064u + 3 * 12);
  EXPECT_EQ(written, 1064 + 3 * 12) << "the bitmap is exactly as long as dib_bytes says";
  const uint32_t fields[] = {40, 10, 3, 0x00080001, 0, 36, 11811, 11811, 256, 0};
  for (uint32_t i = 0; i < 10; ++i) EXPECT_EQ(u32(out, 4 * i), fields[i]) << "field " << i;
  for (uint32_t v = 0; v < 256; ++v) EXPECT_EQ(u32(out, 40 + 4 * v), v * 0x010101u);
  for (uint32_t y = 0; y < 3; ++y) {
    const size_t row = 1064 + (2 - y) * 12;  // the top input line is the last row
    EXPECT_EQ(slice(out, row, 10), slice(pixels, y * 10, 10));
    EXPECT_EQ(slice(out, row + 10, 2), Bytes(2)) << "padding of line " << y;
  }
  EXPECT_EQ(m.memory_manager().live(), 3u);
}

TEST(DibWriter, RowBytesAtTheEdges) {
  VEK_TestManager m;
  VEK_Header h(&m);
  Bytes out;
  make(h, 1, 1, 8, 3, VEK_ColorType_s_rgb::instance());
  ASSERT_EQ(write_dib(m, h, {255, 128, 7}, with(16), out).full_code(), 0u);
  EXPECT_EQ(slice(out, 40, 4), Bytes({0x00, 0x7E, 0, 0}));

  make(h, 5, 2, 8, 3, VEK_ColorType_s_rgb::instance());
  out.clear();
  int32_t written = 0;
  ASSERT_EQ(write_dib(m, h, Bytes(30, 9), kAuto, out, 0, nullptr, &written).full_code(), 0u);
  EXPECT_EQ(u32(out, 12), 0x00180001u);
  EXPECT_EQ(u32(out, 32), 0u) << "no colour table";
  EXPECT_EQ(written, 40 + 2 * 16);
  EXPECT_EQ(out[40 + 15], 0);

  // 13 wide, every input bit set: the last byte is masked to its 5 pixels, then 2 bytes of padding.
  make(h, 13, 2, 1, 1, VEK_ColorType_gray_reverse::instance());
  out.clear();
  ASSERT_EQ(write_dib(m, h, Bytes(4, 0xFF), kAuto, out).full_code(), 0u);
  EXPECT_EQ(slice(out, 40, 8), Bytes({255, 255, 255, 0, 0, 0, 0, 0}));
  EXPECT_EQ(slice(out, 48, 8), Bytes({0xFF, 0xF8, 0, 0, 0xFF, 0xF8, 0, 0}));
}

TEST(DibWriter, ResolutionFromDotsPerInch) {
  EXPECT_EQ(VEK_WriteDIBOption(0, 300, 96, 0).x_pels_per_meter, 11811);
  EXPECT_EQ(VEK_WriteDIBOption(0, 300, 96, 0).y_pels_per_meter, 3779);
  EXPECT_EQ(VEK_WriteDIBOption::pels_per_meter(-300), -11811);
  // Out of 32-bit range: held at the limits instead of an undefined conversion.
  EXPECT_EQ(VEK_WriteDIBOption::pels_per_meter(INT32_MAX), INT32_MAX);
  EXPECT_EQ(VEK_WriteDIBOption::pels_per_meter(INT32_MIN), INT32_MIN);
}

TEST(DibWriter, RefusalsNameTheirCause) {
  const VEK_ColorType* gray = VEK_ColorType_gray::instance();
  const VEK_ColorType* rgb = VEK_ColorType_s_rgb::instance();
  const char* option = "VEK_WriteDIBRawEngine::is_supported_option()";
  const char* initiate = "VEK_WriteDIBRawEngine::initiate()";
  const char* creator = "VEK_WriteDIB::engine()";
  struct Case {
    uint32_t w, h;
    uint16_t bits, channels;
    const VEK_ColorType* color;
    VEK_WriteDIBOption option;
    uint32_t code;
    const char* method;
    uint32_t line;  // 0: any
    Bytes palette = {};
  } cases[] = {
      {4, 2, 8, 1, gray, with(4), 0x81000000u, option, 170},
      {4, 2, 8, 1, gray, with(2), 0x80800000u, option, 198},
      {4, 2, 8, 1, gray, with(1), 0x81000000u, option, 165},
      {4, 2, 8, 3, rgb, with(8), 0x81000000u, option, 175},
      {4, 2, 8, 1, gray, with(16), 0x81000000u, option, 181},
      {4, 2, 8, 1, gray, with(24), 0x81000000u, option, 187},
      {4, 2, 8, 1, gray, with(32), 0x81000000u, option, 193},
      {4, 2, 8, 1, gray, with(0, 0), 0x81000000u, option, 203},
      {4, 2, 8, 1, gray, with(0, 16), 0x80800000u, option, 0},
      {32768, 1, 8, 1, gray, with(0, 12), 0x80800000u, option, 213},
      {4, 2, 8, 1, gray, with(0, 40, 1), 0x81000000u, creator, 83},
      {4, 2, 8, 1, gray, with(0, 40, 2), 0x81000000u, creator, 79},
      {4, 2, 8, 1, gray, with(0, 40, 3), 0x81000000u, creator, 88},
      {4, 2, 8, 1, gray, with(0, 40, 7), 0x81000000u, creator, 92},
      {4, 2, 16, 1, gray, kAuto, 0x81000000u, initiate, 61},
      {4, 2, 8, 1, VEK_ColorType_gray_reverse::instance(), kAuto, 0x81000000u, initiate, 61},
      // A grey palette would be lost behind the fixed grey table.
      {4, 2, 1, 1, gray, kAuto, 0x81000000u, initiate, 61, {255, 0}},
      // Whole bitmaps past a storage's 2^31 - 1 bytes, refused before anything is allocated.
      {0x7FFFFFFF, 2, 8, 1, gray, kAuto, 0x80800000u, option, 222},
      {32767, 32767, 8, 3, rgb, with(0, 12), 0x80800000u, option, 213},
  };
  for (const Case& c : cases) {
    VEK_TestManager m;
    VEK_Header h(&m);
    make(h, c.w, c.h, c.bits, c.channels, c.color, c.palette, 1);
    Bytes out;
    const size_t live = m.memory_manager().live();
    const VEK_Status st = write_dib(m, h, Bytes(64), c.option, out);
    EXPECT_EQ(st.full_code(), c.code) << c.method << " " << c.line;
    EXPECT_STREQ(st.method(), c.method);
    EXPECT_TRUE(c.line == 0 || st.line() == c.line) << st.line() << " for " << c.line;
    EXPECT_EQ(m.memory_manager().live(), live) << c.line;
  }

  VEK_TestManager m;
  VEK_Header h(&m);
  make(h, 4, 2, 8, 1, gray);
  const Bytes pixels(8);
  VEK_ReadMemory reader(&m);
  VEK_Engine* source = reader.engine(h, pixels.data(), 8);
  Bytes bytes(2000);
  VEK_OutputStorage* storage = VEK_ByteArrayOutputStorage::create(&m, bytes.data(), 2000);
  // The raw writer, used directly, writes uncompressed rows only.
  EXPECT_EQ(VEK_WriteDIBRaw(&m).engine(source->header(), source->src_buffer(), storage, with(0, 40, 3)), nullptr);
  EXPECT_STREQ(m.status().method(), option);
  m.clear();
  storage->destroy();
}

TEST(DibWriter, SizeQueriesAnswerZeroForWhatIsNeverWritten) {
  VEK_TestManager m;
  VEK_Header h(&m);
  make(h, 5, 3, 16, 1, VEK_ColorType_gray::instance());
  EXPECT_EQ(VEK_WriteDIB::dib_bytes(&h, kAuto), 0u) << "no bit count for 16-bit samples";
  make(h, 9, 3, 1, 1, VEK_ColorType_s_rgb::instance(), {1, 2, 3, 4, 5, 6});
  EXPECT_EQ(VEK_WriteDIB::dib_bytes(&h, kAuto), 48u + 3 * 4);
  EXPECT_EQ(VEK_WriteDIB::dib_bytes(&h, with(0, 16)), 0u);
  // Too large for a storage, even where a 64-bit product would wrap.
  make(h, 0xFFFFFFFF, 0xFFFFFFFF, 8, 3, VEK_ColorType_s_rgb::instance());
  EXPECT_EQ(VEK_WriteDIB::dib_bytes(&h, with(32)), 0u);
  make(h, 0x7FFFFFFF, 2, 8, 1, VEK_ColorType_gray::instance());
  EXPECT_EQ(VEK_WriteDIB::dib_bytes(&h, kAuto), 0u);
}

TEST(DibWriter, FailuresEndTheChainWithAReport) {
  VEK_TestManager m;
  VEK_Header h(&m), taller(&m);
  // The source delivers two of three lines and says nothing: the last line is missing.
  make(h, 10, 2, 8, 1, VEK_ColorType_gray::instance());
  make(taller, 10, 3, 8, 1, VEK_ColorType_gray::instance());
  Bytes out(VEK_WriteDIB::dib_bytes(&taller, kAuto));
  VEK_OutputStorage* storage = VEK_ByteArrayOutputStorage::create(&m, out.data(), int32_t(out.size()));
  TestFamily family(&m);
  VEK_RewriteHeader stretch(&m);
  run(VEK_WriteDIB(&m).engine(stretch.engine(family.pattern(h), &taller), storage, kAuto));
  VEK_Status st(&m);
  EXPECT_FALSE(m.status(st));
  EXPECT_EQ(st.full_code(), 0x80400000u);
  EXPECT_EQ(st.line(), 271u);
  storage->destroy();

  // Writes stop at a budget: in the grey table, in the pre-fill, in the first row.
  const Bytes pixels = random_bytes(30, 4);
  const std::pair<int32_t, uint32_t> budgets[] = {{140, 594}, {1084, 86}, {1100, 318}};
  for (const auto& [budget, line] : budgets) {
    out.clear();
    const int32_t bytes = budget;
    const VEK_Status st = write_dib(m, taller, pixels, kAuto, out, 0, [&](VEK_OutputStorage* s) {
      BudgetStorage* b = vek_create<BudgetStorage>(&m, s);
      b->budget = bytes;
      return b;
    });
    EXPECT_EQ(st.full_code(), 0x80020000u);
    EXPECT_EQ(st.line(), line);
    EXPECT_TRUE(line != 318 || std::all_of(out.begin() + 1064, out.end(), [](uint8_t v) { return v == 0; }));
    EXPECT_EQ(m.memory_manager().live(), 3u);
  }

  // Every allocation refused in turn (the grey table and the row buffer among them): no leak,
  // and a memory report unless the job got through.
  for (uint16_t channels : {1, 3}) {
    make(h, 7, 3, 8, channels, channels == 1 ? VEK_ColorType_gray::instance() : VEK_ColorType_s_rgb::instance());
    const Bytes input = random_bytes(21 * channels, 5);
    const VEK_WriteDIBOption option = with(channels == 1 ? 0 : 16);
    Bytes good;
    ASSERT_EQ(write_dib(m, h, input, option, good).full_code(), 0u);
    for (uint64_t n = 1;; ++n) {
      m.memory_manager().fail_nth(n);
      out.clear();
      const uint32_t code = write_dib(m, h, input, option, out).full_code();
      EXPECT_EQ(m.memory_manager().live(), 3u) << n;
      if (code == 0) {
        EXPECT_EQ(out, good);
        m.memory_manager().fail_nth(0);
        break;
      }
      EXPECT_EQ(code, 0x80010000u) << n;
    }
  }
}

// The bitmaps, behind a 14-byte file header written first into the same storage, as Pillow
// (Debian's python3-pil) decodes them; expected pixels come from the input alone.
TEST(DibWriter, PillowDecodesTheInputPixels) {
  const Bytes palette8 = {9, 8, 7, 200, 0, 100, 255, 255, 255, 1, 128, 254};
  struct Case {
    std::string name;
    uint32_t w, h;
    uint16_t bits, channels;
    const VEK_ColorType* color;
    Bytes palette;
    VEK_WriteDIBOption option;
  } cases[] = {
      {"gray1", 13, 4, 1, 1, VEK_ColorType_gray::instance(), {}, kAuto},
      {"reverse1", 21, 3, 1, 1, VEK_ColorType_gray_reverse::instance(), {}, kAuto},
      {"palette1", 9, 3, 1, 1, VEK_ColorType_s_rgb::instance(), {10, 20, 30, 240, 250, 5}, kAuto},
      {"gray8", 10, 3, 8, 1, VEK_ColorType_gray::instance(), {}, kAuto},
      {"core8", 6, 5, 8, 1, VEK_ColorType_gray::instance(), {}, with(0, 12)},
      {"palette8", 9, 4, 8, 1, VEK_ColorType_s_rgb::instance(), palette8, kAuto},
      {"rgb16", 7, 3, 8, 3, VEK_ColorType_s_rgb::instance(), {}, with(16)},
      {"rgb24", 5, 4, 8, 3, VEK_ColorType_s_rgb::instance(), {}, kAuto},
      {"rgb32", 3, 2, 8, 3, VEK_ColorType_s_rgb::instance(), {}, with(32)},
  };
  std::string dir_template = testing::TempDir() + "vek_dib_XXXXXX";
  ASSERT_NE(mkdtemp(dir_template.data()), nullptr);
  struct Cleanup {
    std::filesystem::path dir;
    ~Cleanup() { std::filesystem::remove_all(dir); }
  } tmp{dir_template};
  std::string command =
      "/usr/bin/python3 -c 'import sys\nfrom PIL import Image\nfor p in sys.argv[1:]:\n"
      "  im = Image.open(p).convert(\"RGB\")\n"
      "  open(p + \".rgb\", \"wb\").write(bytes(im.size) + im.tobytes())\n'";
  std::vector<Bytes> expected;
  for (const Case& c : cases) {
    VEK_TestManager m;
    VEK_Header h(&m);
    make(h, c.w, c.h, c.bits, c.channels, c.color, c.palette);
    const uint32_t entries = uint32_t(c.palette.size() / 3);
    const Bytes pixels = random_bytes(h.line_bytes() * c.h, c.w, c.bits == 8 && entries != 0 ? entries : 256);
    Bytes rgb = {uint8_t(c.w), uint8_t(c.h)};
    for (uint32_t y = 0; y < c.h; ++y)
      for (uint32_t x = 0; x < c.w; ++x) {
        const uint8_t* line = &pixels[y * h.line_bytes()];
        uint32_t v = c.bits == 1 ? (line[x / 8] >> (7 - x % 8)) & 1 : line[x * c.channels];
        if (entries != 0) {
          rgb.insert(rgb.end(), &c.palette[v * 3], &c.palette[v * 3 + 3]);
        } else if (c.channels == 3) {
          rgb.insert(rgb.end(), &line[x * 3], &line[x * 3 + 3]);
        } else {
          if (c.bits == 1) v = (v != 0) == VEK_ColorType::is_gray(c.color) ? 255 : 0;
          rgb.insert(rgb.end(), 3, uint8_t(v));
        }
      }
    expected.push_back(rgb);

    const uint32_t dib = VEK_WriteDIB::dib_bytes(&h, c.option);
    Bytes file = {'B', 'M'};
    for (uint32_t v : {14 + dib, 0u, 14 + VEK_WriteDIB::info_bytes(&h, c.option)})
      for (int k = 0; k < 4; ++k) file.push_back(uint8_t(v >> 8 * k));
    int32_t written = 0;
    ASSERT_EQ(write_dib(m, h, pixels, c.option, file, 14, nullptr, &written).full_code(), 0u) << c.name;
    // The application sizes its bitmap by dib_bytes: the writer must fill exactly that much.
    ASSERT_EQ(written, int32_t(14 + dib)) << c.name;
    const std::filesystem::path path = tmp.dir / (c.name + ".bmp");
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));
    command += " " + path.string();
  }
  ASSERT_EQ(std::system(command.c_str()), 0) << "Pillow could not decode; ./test.sh installs python3-pil";
  for (size_t i = 0; i < std::size(cases); ++i) {
    std::ifstream in(tmp.dir / (cases[i].name + ".bmp.rgb"), std::ios::binary);
    Bytes decoded((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (cases[i].option.bit_count == 16)  // five bits a channel survive
      for (Bytes* v : {&decoded, &expected[i]})
        for (size_t k = 2; k < v->size(); ++k) (*v)[k] >>= 3;
    EXPECT_EQ(decoded, expected[i]) << cases[i].name;
  }
}
