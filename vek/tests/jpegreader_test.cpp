#include <gtest/gtest.h>

#include <filesystem>

#include "jpeg/jpegdecode.h"
#include "jpegpeer.h"
#include "jpegtestsupport.h"
#include "vek_decodejpegengine.h"
#include "vek_test_jpeg.h"

namespace {

constexpr const char* kEngineInitiate = "VEK_DecodeJPEGEngine::initiate()";

std::vector<uint8_t> gradient(const PeerOptions& o) {
  std::vector<uint8_t> pixels(size_t(o.width) * o.height * o.components);
  for (size_t i = 0; i < pixels.size(); ++i)
    pixels[i] = uint8_t((i * 7 + i / size_t(o.width * o.components) * 13) & 0xFF);
  return pixels;
}

std::vector<uint8_t> encode(int width, int height, int components, std::initializer_list<uint8_t> sampling,
                            int progression = 0) {
  PeerOptions o;
  o.width = width;
  o.height = height;
  o.components = components;
  // The peer takes three factors; a fourth component is coded 1 x 1.
  size_t i = 0;
  for (uint8_t s : sampling)
    if (i < sizeof(o.sampling)) o.sampling[i++] = s;
  o.progression = progression;
  return PeerEncodeBaseline(o, gradient(o));
}

// An information object loaded on its own storage over its own copy of the bytes.
struct Loaded {
  std::vector<uint8_t> bytes;
  VEK_InputStorage* storage = nullptr;
  VEK_JPEGInfo info;
  Loaded(VEK_Manager& m, std::vector<uint8_t> stream) : bytes(std::move(stream)), info(&m) {
    storage = vek_create<VEK_ByteArrayInputStorage>(&m, bytes.data(), int32_t(bytes.size()));
    ok = storage != nullptr && info.load(storage);
  }
  ~Loaded() { vek_destroy(storage); }
  bool ok = false;
};

void expect_report(VEK_TestManager& m, uint32_t code, const char* method, const char* file, uint32_t line) {
  EXPECT_EQ(m.status().full_code(), code);
  EXPECT_STREQ(m.status().method(), method);
  // The record keeps the file's name without its folders.
  EXPECT_EQ(std::string(m.status().file()), std::string(file).substr(std::string(file).rfind('/') + 1));
  EXPECT_EQ(m.status().line(), line);
  m.clear();
}

}  // namespace

TEST(JpegStatus, CodecResultsMapToLibraryCodesFromOnePlace) {
  const struct {
    jpeg_status status;
    uint32_t code;
  } cases[] = {{-50, 0x81000000u}, {-14, 0x80200000u},   {-13, 0x80200000u}, {-11, 0x80020000u},
               {-3, 0x80400000u},  {-2, 0x80800000u},    {3, 0x40400000u},   {14, 0x41000000u},
               {100, 0x40200010u}, {-9997, 0x80000000u}, {2, 0x80000000u},   {-4, 0x80000000u}};
  for (const auto& c : cases) {
    VEK_TestManager m;
    jpeg_report_status(&m, c.status, "caller()");
    SCOPED_TRACE(c.status);
    expect_report(m, c.code, "caller()", "core/jpeg/source/vek_jpegregiststatus.cpp", 69);
  }
  // Success, refused memory (the manager has said so), a missing SOI and a marker inside the data.
  for (jpeg_status quiet : {1, -1, -12, -9999}) {
    VEK_TestManager m;
    jpeg_report_status(&m, quiet, "caller()");
    EXPECT_EQ(m.status().full_code(), 0u) << quiet;
  }
  VEK_TestManager m;
  auto* info = vek_new<VEK_JPEGInfoInternal>(&m);
  auto* tables = vek_new<VEK_JPEGTableInfoInternal>(&m);
  ASSERT_NE(info, nullptr);
  ASSERT_NE(tables, nullptr);
  info->report(-11, "execute()");
  expect_report(m, 0x80400000u, "VEK_JPEGInfoInternal::execute()", "core/jpeg/source/vek_jpegregiststatus.cpp", 69);
  info->report(-3, "initiate()");
  expect_report(m, 0x80400000u, "VEK_JPEGInfoInternal::initiate()", "core/jpeg/source/vek_jpegregiststatus.cpp", 69);
  tables->report(-11, "initiate()");
  expect_report(m, 0x80400000u, "VEK_JPEGTableInfoInternal::initiate()", "core/jpeg/source/vek_jpegregiststatus.cpp",
                69);
  tables->report(-3, "initiate()");
  expect_report(m, 0x80200000u, "VEK_JPEGTableInfoInternal::initiate()", "core/jpeg/source/vek_jpegregiststatus.cpp",
                69);
  info->destroy();
  tables->destroy();
}

// Every colour type the codec knows maps to a code of its own channel count; CMY is not taken
// for RGB, and the rest, null included, is "none".
TEST(JpegAdapter, ColourCodes) {
  for (const VEK_ColorType* t :
       {VEK_ColorType_gray::instance(), VEK_ColorType_gray_reverse::instance(), VEK_ColorType_lstar::instance(),
        VEK_ColorType_s_rgb::instance(), VEK_ColorType_adobe_rgb::instance(), VEK_ColorType_ycbcr::instance(),
        VEK_ColorType_itu_lab::instance(), VEK_ColorType_icc_lab::instance(), VEK_ColorType_cmyk::instance()})
    EXPECT_EQ(jpeg_color_code_channels(jpeg_color_code(t)), t->channels()) << t->name();
  EXPECT_EQ(jpeg_color_code(VEK_ColorType_cmy::instance()), 8);
  for (const VEK_ColorType* t :
       {(const VEK_ColorType*)nullptr, VEK_ColorType_xyz::instance(), VEK_ColorType_unknown::instance()})
    EXPECT_EQ(jpeg_color_code(t), 99999);
}

// Whether the codec's range-limit table exists: making it through an allocator that refuses
// succeeds only then.
bool range_table_exists() {
  const jpeg_allocator refusing{[](void*, uint32_t) -> void* { return nullptr; }, [](void*, void*) {}};
  return jpeg_range_table_create(&refusing, nullptr) == JPEG_OK;
}

TEST(JpegAdapter, InformationObjectsShareOneRangeTableUntilTheLastGoes) {
  VEK_TestManager m;
  const std::vector<uint8_t> bytes = jpeg_fixture("cjpeg_420.jpg");
  EXPECT_FALSE(range_table_exists());
  auto* second = new Loaded(m, bytes);
  {
    Loaded first(m, bytes);
    ASSERT_TRUE(first.ok && second->ok);
    EXPECT_TRUE(range_table_exists());
  }
  EXPECT_TRUE(range_table_exists());
  delete second;
  EXPECT_FALSE(range_table_exists());
  m.clear();
  EXPECT_EQ(m.memory_manager().live(), 3u);
}

TEST(JpegAdapter, TablesOnlyStreamLendsItsTables) {
  VEK_TestManager m;
  const std::vector<uint8_t> full = jpeg_fixture("cjpeg_420.jpg");
  std::vector<uint8_t> tables{0xFF, 0xD8};
  // Every DQT and DHT before the scan, in stream order, make the tables-only stream.
  for (size_t i = 2; i < jpeg_marker_at(full, 0xDA);) {
    const size_t n = jpeg_segment_size(full, i);
    if (full[i + 1] == 0xDB || full[i + 1] == 0xC4)
      tables.insert(tables.end(), full.begin() + long(i), full.begin() + long(i + n));
    i += n;
  }
  tables.insert(tables.end(), {0xFF, 0xD9});
  const std::vector<uint8_t> abbreviated = jpeg_without(jpeg_without(full, 0xDB), 0xC4);

  VEK_JPEGTableInfo table_info(&m);
  auto* table_storage = vek_create<VEK_ByteArrayInputStorage>(&m, tables.data(), int32_t(tables.size()));
  ASSERT_TRUE(table_info.load(table_storage));
  EXPECT_EQ(m.status().full_code(), 0u);

  auto* storage = vek_create<VEK_ByteArrayInputStorage>(&m, abbreviated.data(), int32_t(abbreviated.size()));
  JpegRun borrowed;
  {
    VEK_JPEGInfo info(&m);
    ASSERT_TRUE(info.load(storage, VEK_ColorType_unknown::instance(), &table_info, 0));
    drain_jpeg(m, VEK_ReadJPEG(&m).engine(storage, info, 256), borrowed);
  }
  storage->destroy();
  table_storage->destroy();
  m.clear();
  const JpegRun whole = read_jpeg(m, full, JpegReader::jpeg);
  ASSERT_TRUE(borrowed.made);
  EXPECT_EQ(borrowed.pixels, whole.pixels);

  // Without SOI nothing is loaded and the storage stays where it was.
  const std::vector<uint8_t> headless(tables.begin() + 2, tables.end());
  auto* bad = vek_create<VEK_ByteArrayInputStorage>(&m, headless.data(), int32_t(headless.size()));
  VEK_JPEGTableInfo refused(&m);
  EXPECT_FALSE(refused.load(bad));
  EXPECT_EQ(bad->tell(), 0);
  expect_report(m, 0x80400000u, "VEK_JPEGTableInfoInternal::initiate()",
                "core/jpeg/source/vek_jpegtableinfointernal.cpp", 143);
  bad->destroy();
  EXPECT_FALSE(refused.load(nullptr));
  expect_report(m, 0x80800000u, "VEK_JPEGTableInfo::load()", "core/jpeg/source/vek_jpegtableinfo.cpp", 60);
}

TEST(JpegAdapter, SkippedSegmentWarnsAndLoadingGoesOn) {
  VEK_TestManager m;
  // No JFIF segment, whose missing density would be the later warning.
  const std::vector<uint8_t> plain = jpeg_without(jpeg_fixture("cjpeg_444.jpg"), 0xE0);
  const std::vector<uint8_t> extended = jpeg_with_first(plain, 0xF0, {1, 2, 3});
  const JpegRun r = read_jpeg(m, extended, JpegReader::jpeg);
  EXPECT_EQ(r.code, 0x41000000u);
  EXPECT_EQ(r.method, "VEK_JPEGInfoInternal::get_jpeginfo()");
  ASSERT_TRUE(r.made);
  EXPECT_EQ(r.pixels, read_jpeg(m, plain, JpegReader::jpeg).pixels);
}

TEST(JpegEngine, RefusedImagesAndScales) {
  VEK_TestManager m;
  {
    // 12-bit lossy: the information says 16 bits.
    Loaded twelve(m, jpeg_fixture("dcmtk_extended_12.jpg"));
    ASSERT_TRUE(twelve.ok);
    EXPECT_EQ(twelve.info.bits(), 16);
    m.clear();
    EXPECT_EQ(VEK_ReadJPEG(&m).engine(twelve.storage, twelve.info, 256), nullptr);
    expect_report(m, 0x81000000u, kEngineInitiate, "core/jpeg/source/vek_decodejpegengine.cpp", 105);
  }
  {
    // Two components never load: the codec refuses the header.
    Loaded two(m, encode(16, 16, 2, {0x11, 0x11}));
    EXPECT_FALSE(two.ok);
    expect_report(m, 0x80200000u, "VEK_JPEGInfoInternal::get_jpeginfo()", "core/jpeg/source/vek_jpegregiststatus.cpp",
                  69);
  }
  // 4:2:0 chroma with vertically halved Cb and Cr: sequential only.
  const std::vector<uint8_t> odd = encode(33, 17, 3, {0x22, 0x21, 0x21});
  const JpegRun baseline = read_jpeg(m, odd, JpegReader::jpeg);
  ASSERT_TRUE(baseline.made);
  EXPECT_LT(baseline.code & 0x80000000u, 1u);
  const JpegDistance d = jpeg_distance(baseline.pixels, PeerDecode(odd));
  EXPECT_LE(d.worst, 2);
  const JpegRun progressive = read_jpeg(m, encode(33, 17, 3, {0x22, 0x21, 0x21}, 1), JpegReader::jpeg);
  EXPECT_FALSE(progressive.made);
  EXPECT_EQ(progressive.code, 0x81000000u);
  EXPECT_EQ(progressive.line, 105u);

  // Reduced sizes of a plain baseline 4:2:0 image, rounded to nearest.
  const std::vector<uint8_t> plain = encode(33, 17, 3, {0x22, 0x11, 0x11});
  const struct { uint32_t scale, width, height; } sizes[] = {{128, 17, 9}, {64, 8, 4}, {32, 4, 2}};
  for (const auto& s : sizes) {
    const JpegRun r = read_jpeg(m, plain, JpegReader::jpeg, s.scale);
    ASSERT_TRUE(r.made) << s.scale;
    EXPECT_EQ(r.width, s.width);
    EXPECT_EQ(r.height, s.height);
    EXPECT_EQ(r.pixels.size(), size_t(s.width) * s.height * 3);
    int w = 0, h = 0;
    const std::vector<uint8_t> peer = PeerDecodeScaled(plain, int(256 / s.scale), &w, &h);
    if (w == int(s.width) && h == int(s.height)) {
      EXPECT_LE(jpeg_distance(r.pixels, peer).worst, 2) << s.scale;
    }
  }
  for (const std::vector<uint8_t>& full_only :
       {encode(33, 17, 3, {0x22, 0x11, 0x11}, 1), jpeg_fixture("dcmtk_lossless_sv1_8.jpg")}) {
    const JpegRun r = read_jpeg(m, full_only, JpegReader::jpeg, 128);
    EXPECT_FALSE(r.made);
    EXPECT_EQ(r.code, 0x81000000u);
    EXPECT_EQ(r.method, kEngineInitiate);
  }
}

// A scale that is no power-of-two fraction of 256 would divide by zero or silently decode at
// full size; it is refused before the codec starts, and the information stays usable.
TEST(JpegEngine, ScalesOtherThanTheFourAreRefusedBeforeDecoding) {
  VEK_TestManager m;
  Loaded loaded(m, jpeg_fixture("cjpeg_420.jpg"));
  ASSERT_TRUE(loaded.ok);
  m.clear();
  for (uint32_t scale : {0u, 1u, 100u, 129u, 255u, 512u}) {
    EXPECT_EQ(VEK_ReadJPEG(&m).engine(loaded.storage, loaded.info, scale), nullptr) << scale;
    expect_report(m, 0x80800000u, kEngineInitiate, "core/jpeg/source/vek_decodejpegengine.cpp", 99);
  }
  JpegRun r;
  drain_jpeg(m, VEK_ReadJPEG(&m).engine(loaded.storage, loaded.info, 256), r);
  take_report(m, r);
  EXPECT_EQ(r.width, 40u);
  EXPECT_EQ(r.pixels, read_jpeg(m, jpeg_fixture("cjpeg_420.jpg"), JpegReader::jpeg).pixels);
}

TEST(JpegEngine, LineSizesAndDamagedRows) {
  VEK_TestManager m;
  const struct {
    std::vector<uint8_t> bytes;
    uint32_t line;
  } cases[] = {{encode(100, 8, 3, {0x11, 0x11, 0x11}), 300}, {constant_lossless(100, 2, 16), 200}};
  for (const auto& c : cases) {
    Loaded loaded(m, c.bytes);
    ASSERT_TRUE(loaded.ok);
    VEK_Engine* e = loaded.info.is_lossless() ? VEK_ReadLosslessJPEG(&m).engine(loaded.storage, loaded.info)
                                              : VEK_ReadJPEG(&m).engine(loaded.storage, loaded.info, 256);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(static_cast<VEK_BufferOutputEngine*>(e)->dst_buffer()->block_bytes(), c.line);
    JpegRun r;
    drain_jpeg(m, e, r);
    if (loaded.info.is_lossless()) {
      // Every sample at half the 16-bit range, little-endian.
      std::vector<uint8_t> expected(200 * 2);
      for (size_t i = 0; i < expected.size(); i += 2) expected[i + 1] = 0x80;
      EXPECT_EQ(r.pixels, expected);
    }
    m.clear();
  }
  // A lossless row that cannot be decoded is filled, reported as a warning, and delivered.
  // (Without its JFIF segment, whose missing density would be the first warning kept.)
  std::vector<uint8_t> damaged = jpeg_without(jpeg_fixture("dcmtk_lossless_sv1_8.jpg"), 0xE0);
  const size_t scan = jpeg_marker_at(damaged, 0xDA);
  damaged[scan + jpeg_segment_size(damaged, scan) + 30] = 0xFF;
  damaged[scan + jpeg_segment_size(damaged, scan) + 31] = 0xFF;
  const JpegRun r = read_jpeg(m, damaged, JpegReader::lossless);
  ASSERT_TRUE(r.made);
  EXPECT_EQ(r.code, 0x40400000u);
  EXPECT_EQ(r.method, "VEK_DecodeJPEGEngine::execute()");
  EXPECT_EQ(r.line, 160u);
  EXPECT_EQ(r.pixels.size(), 40u * 24u);
}

TEST(JpegReaders, JfifOrPlainJpeg) {
  VEK_TestManager m;
  // Without a JFIF segment the JFIF information refuses and leaves the storage for the plain reader.
  const std::vector<uint8_t> plain = jpeg_without(jpeg_fixture("cjpeg_444.jpg"), 0xE0);
  auto* storage = vek_create<VEK_ByteArrayInputStorage>(&m, plain.data(), int32_t(plain.size()));
  {
    VEK_JFIFInfo jfif(&m);
    EXPECT_FALSE(jfif.load(storage));
    EXPECT_FALSE(jfif.loaded());
    EXPECT_EQ(storage->tell(), 0);
  }
  JpegRun fallback;
  drain_jpeg(m, VEK_ReadJPEG(&m).engine(storage, 256), fallback);
  storage->destroy();
  take_report(m, fallback);
  EXPECT_EQ(fallback.code, 0u);
  EXPECT_EQ(fallback.color, VEK_ColorType_ycbcr::instance());
  EXPECT_LE(jpeg_distance(fallback.pixels, PeerDecode(plain)).worst, 2);

  // Colours and resolution from the JFIF segment.
  const struct {
    const char* name;
    uint16_t channels;
    const VEK_ColorType* color;
  } cases[] = {{"cjpeg_444.jpg", 3, VEK_ColorType_ycbcr::instance()},
               {"cjpeg_grey.jpg", 1, VEK_ColorType_gray::instance()}};
  for (const auto& c : cases) {
    const std::vector<uint8_t> bytes =
        jpeg_with_first(jpeg_without(jpeg_fixture(c.name), 0xE0), 0xE0, jfif_payload(1, 72, 96));
    auto* s = vek_create<VEK_ByteArrayInputStorage>(&m, bytes.data(), int32_t(bytes.size()));
    VEK_JFIFInfo info(&m);
    ASSERT_TRUE(info.load(s)) << c.name;
    EXPECT_STREQ(info.format_name(), "jfif");
    EXPECT_EQ(info.channels(), c.channels);
    EXPECT_EQ(info.color_type(), c.color);
    EXPECT_EQ(info.jfif_resolution_x(), 72u);
    EXPECT_EQ(info.jfif_resolution_y(), 96u);
    EXPECT_EQ(info.resolution().x_resolution(), 72.0);
    EXPECT_EQ(info.resolution().y_resolution(), 96.0);
    EXPECT_EQ(info.resolution().unit(), 1u);
    JpegRun r;
    drain_jpeg(m, VEK_ReadJFIF(&m).engine(s, info, 256), r);
    take_report(m, r);
    EXPECT_EQ(r.code, 0u);
    EXPECT_LE(jpeg_distance(r.pixels, PeerDecode(bytes)).worst, 2) << c.name;
    s->destroy();
  }
  VEK_JPEGInfo jpeg(&m);
  EXPECT_STREQ(jpeg.format_name(), "jpeg");
}

TEST(JpegReaders, RefusedStreams) {
  VEK_TestManager m;
  // Four components under a JFIF segment: labelled grey, an invalid header.
  const std::vector<uint8_t> cmyk =
      jpeg_with_first(encode(16, 16, 4, {0x11, 0x11, 0x11, 0x11}), 0xE0, jfif_payload(1, 72, 72));
  JpegRun r = read_jpeg(m, cmyk, JpegReader::jfif);
  EXPECT_FALSE(r.made);
  EXPECT_EQ(r.code, 0x80800000u);
  EXPECT_EQ(r.method, "VEK_ReadJFIF::engine()");
  EXPECT_EQ(r.line, 79u);
  // The plain reader takes the same stream.
  r = read_jpeg(m, cmyk, JpegReader::jpeg);
  EXPECT_TRUE(r.made);
  EXPECT_EQ(r.channels, 4);

  // Frame width 0.
  std::vector<uint8_t> narrow = jpeg_fixture("cjpeg_grey.jpg");
  const size_t sof = jpeg_marker_at(narrow, 0xC0);
  narrow[sof + 7] = 0;
  narrow[sof + 8] = 0;
  {
    Loaded zero(m, narrow);
    EXPECT_FALSE(zero.ok);
    EXPECT_EQ(zero.storage->tell(), 0);
    expect_report(m, 0x80200000u, "VEK_JPEGInfo::load()", "core/jpeg/source/vek_jpeginfo.cpp", 113);
  }
  r = read_jpeg(m, jpeg_fixture("cjpeg_grey.jpg"), JpegReader::lossless);
  EXPECT_FALSE(r.made);
  EXPECT_EQ(r.code, 0x81000000u);
  EXPECT_EQ(r.method, "VEK_ReadLosslessJPEG::engine()");
  EXPECT_EQ(r.line, 70u);

  // No stream at all: the loading creators say the reader could not be made.
  const std::vector<uint8_t> junk(64, 0x55);
  for (JpegReader reader : {JpegReader::jpeg, JpegReader::jfif, JpegReader::lossless}) {
    r = read_jpeg(m, junk, reader);
    EXPECT_FALSE(r.made);
    EXPECT_EQ(r.code, 0x80100000u);
  }
}

// The codec's fixtures through the readers meet the codec's own oracles: dcmdjpeg's samples for
// lossless streams, libjpeg-turbo's islow decode within 2 for lossy ones.
TEST(JpegReaders, FixturesMeetTheCodecOracles) {
  VEK_TestManager m;
  int lossless = 0, lossy = 0;
  for (const auto& entry : std::filesystem::directory_iterator(VEK_JPEG_DATA_DIR)) {
    const std::string name = entry.path().filename().string();
    if (entry.path().extension() != ".jpg") continue;
    SCOPED_TRACE(name);
    const std::vector<uint8_t> bytes = jpeg_fixture(name);
    if (name.rfind("dcmtk_lossless_", 0) == 0) {
      const JpegRun r = read_jpeg(m, bytes, JpegReader::lossless);
      ASSERT_TRUE(r.made);
      EXPECT_EQ(r.pixels, jpeg_fixture(name.substr(0, name.size() - 4) + ".raw"));
      EXPECT_FALSE(vek_is_error(r.code));
      ++lossless;
    } else if (name.rfind("cjpeg_", 0) == 0) {
      const std::vector<uint8_t> expected = PeerDecode(bytes);
      const double mean = name.find("progressive") != std::string::npos ? 1.0 : 0.5;
      for (JpegReader reader : {JpegReader::jpeg, JpegReader::jfif}) {
        const JpegRun r = read_jpeg(m, bytes, reader);
        ASSERT_TRUE(r.made);
        ASSERT_EQ(r.pixels.size(), expected.size());
        const JpegDistance d = jpeg_distance(r.pixels, expected);
        EXPECT_LE(d.worst, 2);
        EXPECT_LE(d.mean, mean);
        EXPECT_FALSE(vek_is_error(r.code));
      }
      ++lossy;
    }
  }
  EXPECT_GE(lossless, 26);
  EXPECT_GE(lossy, 9);
  EXPECT_EQ(m.memory_manager().live(), 3u);
}

TEST(JpegReaders, SegmentFlagsAndArguments) {
  VEK_TestManager m;
  std::vector<uint8_t> bytes = encode(16, 16, 4, {0x11, 0x11, 0x11, 0x11});  // libjpeg marks CMYK with Adobe
  bytes = jpeg_with_first(bytes, 0xE1, {'E', 'x', 'i', 'f', 0, 0});
  bytes = jpeg_with_first(bytes, 0xE1, {'G', '3', 'F', 'A', 'X', 0, 0x07, 0xCA, 0, 200});
  {
    Loaded loaded(m, bytes);
    ASSERT_TRUE(loaded.ok);
    EXPECT_FALSE(loaded.info.has_jfif());
    EXPECT_TRUE(loaded.info.has_exif());
    EXPECT_TRUE(loaded.info.has_g3fax());
    EXPECT_TRUE(loaded.info.has_adobe());
    EXPECT_EQ(loaded.info.encode_type(), VEK_EncodeType_jpeg::instance());
  }
  {
    // A signature one byte short of its segment's minimum is not the segment.
    Loaded loaded(m, jpeg_with_first(jpeg_fixture("cjpeg_grey.jpg"), 0xE1, {'E', 'x', 'i', 'f', 0}));
    ASSERT_TRUE(loaded.ok);
    EXPECT_TRUE(loaded.info.has_jfif());
    EXPECT_FALSE(loaded.info.has_exif());
    EXPECT_FALSE(loaded.info.has_adobe());
  }
  m.clear();
  VEK_JPEGInfo info(&m);
  EXPECT_FALSE(info.load(nullptr, VEK_ColorType_unknown::instance(), nullptr, 0));
  expect_report(m, 0x80800000u, "VEK_JPEGInfo::load()", "core/jpeg/source/vek_jpeginfo.cpp", 79);
  const std::vector<uint8_t> grey = jpeg_fixture("cjpeg_grey.jpg");
  auto* storage = vek_create<VEK_ByteArrayInputStorage>(&m, grey.data(), int32_t(grey.size()));
  EXPECT_EQ(VEK_ReadJPEG(&m).engine(storage, info, 256), nullptr);  // not loaded
  expect_report(m, 0x80800000u, "VEK_ReadJPEG::engine()", "core/jpeg/source/vek_readjpeg.cpp", 65);
  EXPECT_EQ(VEK_ReadLosslessJPEG(&m).engine(storage, info), nullptr);
  expect_report(m, 0x80800000u, "VEK_ReadLosslessJPEG::engine()", "core/jpeg/source/vek_readlosslessjpeg.cpp", 64);
  storage->destroy();
}
