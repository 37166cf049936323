#include <gtest/gtest.h>

#include <malloc.h>

#include <string>
#include <tuple>
#include <vector>

#include "pyr/pyrdicomdataset.h"
#include "vek_dicominfo.h"
#include "vek_dicominfointernal.h"
#include "vek_test_dicom.h"
#include "vek_test_refusals.h"

namespace {

constexpr const char* kPixelOffset = "VEK_DICOMInfoInternal::get_pixel_offset()";
constexpr const char* kPalette = "VEK_DICOMInfoInternal::get_info_palette()";

struct Loaded {
  VEK_TestManager m;
  VEK_DICOMInfo info{&m};
  bool ok = false;
  int32_t tell = -1;
  explicit Loaded(const std::vector<uint8_t>& bytes) { ok = load_bytes(info, m, bytes, &tell); }
  explicit Loaded(const std::string& fixture) : Loaded(read_fixture(fixture)) {}
};

// A segmented palette table's value, walked by the information's own expansion: each walk
// stays within the entries it writes and the units it reads.
struct SegmentWalk {
  VEK_TestManager m;
  PyrDicomDataset dataset;
  PyrDicomDataElement* e = dataset.CreateElement();
  VEK_DICOMInfoInternal* internals = vek_create<VEK_DICOMInfoInternal>(&m, uint8_t(0));
  ~SegmentWalk() {
    if (internals != nullptr) internals->destroy();
  }
  void set(const std::vector<uint8_t>& bytes) {
    EXPECT_EQ(e->AllocateValue(uint32_t(bytes.size()), false), kPyrSuccess);
    if (!bytes.empty()) std::memcpy(e->MutableValue(), bytes.data(), bytes.size());
  }
  bool expand16(const std::vector<uint16_t>& units, uint32_t n, std::vector<uint16_t>& out) {
    set(DicomBytes::words(units));
    out.assign(n, 0xBEEF);
    const bool ok = internals->expand_segments16(out.data(), n, e);
    EXPECT_LE(internals->segment_steps(), 2 * uint64_t(n) + units.size() + 1);
    return ok;
  }
};

void expect_frames(const VEK_DICOMInfo& info, const std::string& file, uint32_t frames) {
  ASSERT_EQ(info.frame_count(), frames) << file;
  ASSERT_EQ(info.frames().size(), frames);
  for (uint32_t k = 0; k < frames; ++k) {
    const auto& e = expected_values().at(file + " frame " + std::to_string(k));
    EXPECT_EQ(to_std(info.get_frame_positions(k)), split_numbers(e[0])) << file << " frame " << k;
    EXPECT_EQ(to_std(info.get_frame_lengths(k)), split_numbers(e[1])) << file << " frame " << k;
  }
  EXPECT_TRUE(info.get_frame_positions(frames).empty());
  EXPECT_TRUE(info.get_frame_lengths(frames).empty());
}

// A small image with the given elements after the geometry.
std::vector<uint8_t> image_file(const std::string& photometric, int samples, const DicomBytes& tail,
                                const std::string& syntax = "1.2.840.10008.1.2.1") {
  DicomBytes d = DicomBytes::part10(syntax);
  d.image(2, 2, 8, photometric, samples);
  d.raw(tail.bytes);
  return d.bytes;
}

std::vector<uint8_t> native(const std::string& photometric, int samples) {
  DicomBytes tail;
  tail.element(0x7FE0, 0x0010, "OB", std::vector<uint8_t>(4 * (samples > 0 ? samples : 3), 7));
  return image_file(photometric, samples, tail);
}

}  // namespace

TEST(DICOMInfo, ByteOrdersGiveTheSameHeader) {
  const struct {
    const char* file;
    uint32_t code;
    uint32_t little;
  } cases[] = {{"ct_implicit.dcm", 0, 1}, {"ct_explicit.dcm", 1, 1}, {"ct_bigendian.dcm", 3, 0}};
  for (const auto& c : cases) {
    Loaded l(c.file);
    ASSERT_TRUE(l.ok) << c.file;
    const VEK_DICOMInfo& i = l.info;
    EXPECT_STREQ(i.format_name(), "dicom");
    EXPECT_TRUE(i.is_valid());
    EXPECT_EQ(i.compression_kind(), 0u);
    EXPECT_EQ(i.compression_code(), c.code);
    EXPECT_EQ(i.little_endian(), c.little);
    EXPECT_EQ(std::tuple(i.width(), i.height(), i.bits(), i.channels()), std::tuple(512u, 512u, 16u, 1u));
    EXPECT_EQ(i.color_type(), VEK_ColorType_gray::instance());
    EXPECT_EQ(i.encode_type(), VEK_EncodeType_raw::instance());
    EXPECT_EQ(std::pair(i.data_type(), i.pixel_data_type()),
              std::pair(VEK_DataType::s_integer, VEK_DataType::s_integer));
    EXPECT_EQ(i.has_pixel_data(), 1u);
    EXPECT_EQ(i.multi_fragment_frames(), 0u);
    expect_frames(i, c.file, 1);
    // The tag: 8 bytes before the value implicitly, 12 with an explicit OW header.
    EXPECT_EQ(i.pixel_data_position() + (c.code == 0 ? 8 : 12), i.get_frame_positions(0)[0]);
    EXPECT_EQ(i.pixel_data_size(), (c.code == 0 ? 8u : 12u) + 512u * 512u * 2u);
  }
}

TEST(DICOMInfo, TransferSyntaxChoosesTheCompression) {
  {
    Loaded l("rle3_ot.dcm");
    ASSERT_TRUE(l.ok);
    EXPECT_EQ(l.info.compression_kind(), 3u);
    EXPECT_EQ(l.info.compression_code(), 31u);
    EXPECT_EQ(l.info.encode_type(), VEK_EncodeType_pack_bits::instance());
    EXPECT_EQ(l.info.data_type(), VEK_DataType::u_integer);
    EXPECT_EQ(l.info.pixel_data_type(), VEK_DataType::s_integer);
  }
  const struct {
    const char* file;
    uint32_t kind, code;
  } jpeg[] = {{"jpeg_eb.dcm", 1, 4}, {"jpeg_ee.dcm", 1, 5}, {"jpeg_el.dcm", 2, 11}, {"jpeg_e1.dcm", 2, 21}};
  for (const auto& c : jpeg) {
    Loaded l(c.file);
    ASSERT_TRUE(l.ok) << c.file;
    EXPECT_EQ(l.info.compression_kind(), c.kind) << c.file;
    EXPECT_EQ(l.info.compression_code(), c.code) << c.file;
    EXPECT_EQ(l.info.encode_type(), VEK_EncodeType_jpeg::instance());
    expect_frames(l.info, c.file, 1);
  }
  for (const char* file : {"jpeg_ep.dcm", "j2k.dcm"}) {
    Loaded l(file);
    EXPECT_FALSE(l.ok) << file;
    EXPECT_EQ(l.tell, 0) << file;
    EXPECT_REPORT(l.m, 0x81000000u, "VEK_DICOMInfoInternal::get_info_compression_type()", 784u);
  }
}

TEST(DICOMInfo, PhotometricInterpretationGivesTheColourType) {
  const struct {
    const char* photometric;
    const VEK_ColorType* type;
    int samples;
  } cases[] = {{"MONOCHROME1", VEK_ColorType_gray_reverse::instance(), 1},
               {"MONOCHROME2", VEK_ColorType_gray::instance(), 1},
               {"RGB", VEK_ColorType_s_rgb::instance(), 3},
               {"CMYK", VEK_ColorType_cmyk::instance(), 4},
               {"YBR_FULL", VEK_ColorType_ycbcr::instance(), 3},
               {"YBR_FULL_422", VEK_ColorType_ycbcr::instance(), 3},
               {"YBR_PARTIAL_422", VEK_ColorType_ycbcr::instance(), 3},
               {"YBR_PARTIAL_420", VEK_ColorType_ycbcr::instance(), 3},
               {"", VEK_ColorType_unknown::instance(), 1},
               {"UNKNOWN", VEK_ColorType_unknown::instance(), 1}};
  for (const auto& c : cases) {
    Loaded given(native(c.photometric, c.samples));
    ASSERT_TRUE(given.ok) << c.photometric;
    EXPECT_EQ(given.info.color_type(), c.type) << c.photometric;
    EXPECT_EQ(given.info.channels(), c.samples) << c.photometric;
    // Without Samples per Pixel the colour type supplies it, except for an unknown one.
    Loaded missing(native(c.photometric, 0));
    if (c.type == VEK_ColorType_unknown::instance()) {
      EXPECT_FALSE(missing.ok) << c.photometric;
      EXPECT_REPORT(missing.m, 0x81000000u, "VEK_DICOMInfoInternal::correct_color()", 864u);
    } else {
      ASSERT_TRUE(missing.ok) << c.photometric;
      EXPECT_EQ(missing.info.channels(), c.samples) << c.photometric;
    }
  }
  const struct {
    const char* photometric;
    uint32_t line;
  } refused[] = {{"HSV", 822}, {"ARGB", 826}, {"YBR_ICT", 849}};
  for (const auto& c : refused) {
    Loaded l(native(c.photometric, 3));
    EXPECT_FALSE(l.ok);
    EXPECT_EQ(l.tell, 0);
    EXPECT_REPORT(l.m, 0x81000000u, "VEK_DICOMInfoInternal::get_info_color_type()", c.line);
  }
  Loaded planar("rgb_planar.dcm");
  ASSERT_TRUE(planar.ok);
  EXPECT_EQ(planar.info.planar_configuration(), 1u);
  EXPECT_EQ(expected_values().at("rgb_planar.dcm planar")[0], "1");
  Loaded interleaved("rgb_noraw.dcm");
  ASSERT_TRUE(interleaved.ok);
  EXPECT_EQ(interleaved.info.planar_configuration(), 0u);
  EXPECT_EQ(interleaved.info.color_type(), VEK_ColorType_s_rgb::instance());
}

TEST(DICOMInfo, NativeFramesSplitTheValue) {
  DicomBytes d = DicomBytes::part10();
  d.image(1000, 1000, 8, "MONOCHROME2");
  d.text(0x0028, 0x0008, "IS", "3");
  const size_t value = d.element(0x7FE0, 0x0010, "OB", std::vector<uint8_t>(3000001, 1));
  Loaded l(d.bytes);
  ASSERT_TRUE(l.ok);
  ASSERT_EQ(l.info.frame_count(), 3u);
  for (uint32_t k = 0; k < 3; ++k) {
    EXPECT_EQ(to_std(l.info.get_frame_positions(k)), std::vector<unsigned>{unsigned(value + k * 1000000)});
    EXPECT_EQ(to_std(l.info.get_frame_lengths(k)), std::vector<unsigned>{1000000u});
  }
  EXPECT_EQ(l.info.multi_fragment_frames(), 0u);
}

TEST(DICOMInfo, FrameCountPastTheDataKeepsTheWholeFrames) {
  // A count past the data gives the whole frames there, at whole-image steps, with a warning:
  // a hostile count never lays out billions of frames.
  for (const char* frames : {"4294967295", "2147483647", "3000002", "4"}) {
    DicomBytes d = DicomBytes::part10();
    d.image(1000, 1000, 8, "MONOCHROME2");
    d.text(0x0028, 0x0008, "IS", frames);
    const size_t value = d.element(0x7FE0, 0x0010, "OB", std::vector<uint8_t>(3500001, 1));
    Loaded l(d.bytes);
    ASSERT_TRUE(l.ok) << frames;
    ASSERT_EQ(l.info.frame_count(), 3u) << frames;
    for (uint32_t k = 0; k < 3; ++k) {
      EXPECT_EQ(to_std(l.info.get_frame_positions(k)), std::vector<unsigned>{unsigned(value + k * 1000000)});
      EXPECT_EQ(to_std(l.info.get_frame_lengths(k)), std::vector<unsigned>{1000000u});
    }
    EXPECT_EQ(l.m.status().full_code(), 0x40400000u) << frames;
    EXPECT_STREQ(l.m.status().method(), kPixelOffset);
  }
  // Not one whole frame: nothing to show.
  DicomBytes short_value = DicomBytes::part10();
  short_value.image(1000, 1000, 8, "MONOCHROME2");
  short_value.text(0x0028, 0x0008, "IS", "2");
  short_value.element(0x7FE0, 0x0010, "OB", std::vector<uint8_t>(999998, 1));
  Loaded refused(short_value.bytes);
  EXPECT_FALSE(refused.ok);
  EXPECT_REPORT(refused.m, 0x80400000u, kPixelOffset, 469u);
  // RGB frames count three samples a pixel; 4:2:2 frames hold two bytes per pixel, more than
  // the floor, so their count stays.
  struct Colour {
    const char* photometric;
    uint16_t side;
    const char* claimed;
    size_t bytes;
    uint32_t frame_length;
  };
  for (const Colour& c : {Colour{"RGB", 10, "9", 700, 300}, Colour{"YBR_FULL_422", 4, "2", 64, 32}}) {
    DicomBytes d = DicomBytes::part10();
    d.image(c.side, c.side, 8, c.photometric, 3);
    d.text(0x0028, 0x0008, "IS", c.claimed);
    d.element(0x7FE0, 0x0010, "OB", std::vector<uint8_t>(c.bytes, 1));
    Loaded colour(d.bytes);
    ASSERT_TRUE(colour.ok) << c.photometric;
    EXPECT_EQ(colour.info.frame_count(), 2u) << c.photometric;
    EXPECT_EQ(colour.info.get_frame_lengths(1)[0], c.frame_length) << c.photometric;
  }
}

TEST(DICOMInfo, EncapsulatedFramesFollowTheItems) {
  for (const char* file : {"rle3_ot.dcm", "rle3_noot.dcm", "rle3_fs_ot.dcm", "rle3_fs_noot.dcm"}) {
    Loaded l(file);
    ASSERT_TRUE(l.ok) << file;
    expect_frames(l.info, file, 3);
  }
  EXPECT_EQ(Loaded("rle3_ot.dcm").info.multi_fragment_frames(), 0u);
  EXPECT_EQ(Loaded("rle3_fs_ot.dcm").info.multi_fragment_frames(), 1u);
  EXPECT_EQ(Loaded("rle3_fs_noot.dcm").info.multi_fragment_frames(), 1u);

  Loaded one("rle1_fs_noot.dcm");
  ASSERT_TRUE(one.ok);
  const auto& items = expected_values().at("rle1_fs_noot.dcm fragments");
  ASSERT_EQ(items[0], "5");
  EXPECT_EQ(one.info.frame_count(), 1u);
  EXPECT_EQ(one.info.multi_fragment_frames(), 1u);
  EXPECT_EQ(to_std(one.info.get_frame_positions(0)), split_numbers(items[1]));
  EXPECT_EQ(to_std(one.info.get_frame_lengths(0)), split_numbers(items[2]));
}

TEST(DICOMInfo, BrokenOffsetTablesAreSetAside) {
  // The first two table entries of the 15-fragment file, moved into a fragment or reversed:
  // the frames are found by their RLE headers instead.
  const std::vector<uint8_t> good = read_fixture("rle3_fs_ot.dcm");
  const uint32_t first_fragment = split_numbers(expected_values().at("rle3_fs_ot.dcm fragments")[1])[0];
  const size_t table = first_fragment - 8 - 12;  // value of the table item before the first item
  auto patched = [&](uint32_t entry1, uint32_t entry2) {
    std::vector<uint8_t> b = good;
    for (int i = 0; i < 4; ++i) {
      b[table + 4 + i] = uint8_t(entry1 >> (8 * i));
      b[table + 8 + i] = uint8_t(entry2 >> (8 * i));
    }
    return b;
  };
  uint32_t second = 0, third = 0;
  std::memcpy(&second, &good[table + 4], 4);
  std::memcpy(&third, &good[table + 8], 4);
  ASSERT_GT(third, second);
  for (const auto& bytes : {patched(second + 2, third), patched(third, second)}) {
    Loaded l(bytes);
    ASSERT_TRUE(l.ok);
    expect_frames(l.info, "rle3_fs_ot.dcm", 3);
    EXPECT_EQ(l.m.status().full_code(), 0x40400000u);
  }
}

// Three JPEG frames in five fragments under tables of several shapes. A table that rises
// and lands on items serves the frames, even with an entry past them marking the end; any
// other is set aside for the streams' starts.
TEST(DICOMInfo, OffsetTablesServeTheFramesTheyPlace) {
  const std::vector<std::vector<uint8_t>> streams = {
      {0xFF, 0xD8, 1, 2}, {3, 4}, {0xFF, 0xD8, 5, 6, 7, 8}, {0xFF, 0xD8, 9, 9}, {1, 1, 1, 1}};
  // The same, with a continuing fragment that happens to open like a stream: only the table
  // can place these frames.
  std::vector<std::vector<uint8_t>> lookalike = streams;
  lookalike[1] = {0xFF, 0xD8};
  const std::vector<std::vector<unsigned>> groups = {{0, 1}, {2}, {3, 4}};
  auto make = [&](const std::vector<uint32_t>& table, const std::vector<std::vector<uint8_t>>& fragments,
                  std::vector<uint32_t>& at) {
    DicomBytes d = DicomBytes::part10("1.2.840.10008.1.2.4.57");
    d.image(8, 8, 8, "MONOCHROME2");
    d.text(0x0028, 0x0008, "IS", "3");
    at = d.encapsulated(table, fragments);
    return d.bytes;
  };
  // Item offsets from the first item tag, found by writing once without a table.
  std::vector<uint32_t> at;
  make({}, streams, at);
  std::vector<uint32_t> item;
  for (uint32_t a : at) item.push_back(a - at[0]);
  const uint32_t end = at.back() + 4 - (at[0] - 8);
  auto expect_grouped = [&](const std::vector<uint32_t>& table, const std::vector<std::vector<uint8_t>>& fragments,
                            uint32_t status, const char* shape) {
    std::vector<uint32_t> written;
    Loaded l(make(table, fragments, written));
    ASSERT_TRUE(l.ok) << shape;
    ASSERT_EQ(l.info.frame_count(), 3u) << shape;
    EXPECT_EQ(l.m.status().full_code(), status) << shape;
    for (uint32_t k = 0; k < 3; ++k) {
      std::vector<unsigned> want;
      for (unsigned g : groups[k]) want.push_back(written[g]);
      EXPECT_EQ(to_std(l.info.get_frame_positions(k)), want) << shape << " frame " << k;
    }
  };
  expect_grouped({0, item[2], item[3], end}, lookalike, 0u, "trailing end entry");
  expect_grouped({0, item[2], item[3]}, lookalike, 0u, "one entry a frame");
  const std::vector<std::pair<const char*, std::vector<uint32_t>>> broken = {
      {"falling", {0, item[3], item[2], end}},
      {"off an item", {0, item[2] + 2, item[3], end}},
      {"fewer entries", {0, item[2]}},
      {"trailing entry past the end", {0, item[2], item[3], end + 8}},
      {"two past the frames", {0, item[2], item[3], end, end + 8}},
      {"first not 0", {8, item[2], item[3], end}}};
  for (const auto& [shape, table] : broken) expect_grouped(table, streams, 0x40400000u, shape);

  // A table claiming millions of entries: set aside once its entries outrun the items.
  std::vector<uint32_t> huge(2'000'000);
  for (uint32_t k = 0; k < huge.size(); ++k) huge[k] = k < 3 ? item[k == 0 ? 0 : k + 1] : end + 8 * k;
  expect_grouped(huge, streams, 0x40400000u, "millions");
}

TEST(DICOMInfo, FragmentsWithoutTableJoinTheFrameTheyContinue) {
  // Two JPEG frames in five fragments; fragments that do not open a stream continue one.
  const std::vector<std::vector<uint8_t>> fragments = {
      {0xFF, 0xD8, 1, 2}, {3, 4, 5, 6}, {7, 8}, {0xFF, 0xD8, 9, 9}, {1, 1}};
  auto file = [&](const char* frames) {
    DicomBytes d = DicomBytes::part10("1.2.840.10008.1.2.4.50");
    d.image(8, 8, 8, "MONOCHROME2");
    d.text(0x0028, 0x0008, "IS", frames);
    return std::make_pair(d.bytes, d.encapsulated({}, fragments));
  };
  auto [bytes, at] = file("2");
  DicomBytes whole;
  whole.bytes = bytes;
  at = whole.encapsulated({}, fragments);
  Loaded l(whole.bytes);
  ASSERT_TRUE(l.ok);
  ASSERT_EQ(l.info.frame_count(), 2u);
  EXPECT_EQ(l.info.multi_fragment_frames(), 1u);
  EXPECT_EQ(to_std(l.info.get_frame_positions(0)), (std::vector<unsigned>{at[0], at[1], at[2]}));
  EXPECT_EQ(to_std(l.info.get_frame_lengths(0)), (std::vector<unsigned>{4, 4, 2}));
  EXPECT_EQ(to_std(l.info.get_frame_positions(1)), (std::vector<unsigned>{at[3], at[4]}));

  // Three frames claimed but two streams found: one frame per fragment, as written.
  DicomBytes three;
  three.bytes = file("3").first;
  three.encapsulated({}, fragments);
  Loaded t(three.bytes);
  ASSERT_TRUE(t.ok);
  EXPECT_EQ(t.info.frame_count(), 5u);
  EXPECT_EQ(t.info.multi_fragment_frames(), 0u);

  // Number of Frames 1: every fragment in one frame.
  DicomBytes single;
  single.bytes = file("1").first;
  single.encapsulated({}, fragments);
  Loaded s(single.bytes);
  ASSERT_TRUE(s.ok);
  EXPECT_EQ(s.info.frame_count(), 1u);
  EXPECT_EQ(s.info.get_frame_positions(0).size(), 5u);
  EXPECT_EQ(s.info.multi_fragment_frames(), 1u);
}

// A header parsed by one info, taken by another on its own manager: the same frames, header
// and values, with the first gone; an info that loaded nothing gives nothing to take.
TEST(DICOMInfo, TakenHeaderOutlivesTheParser) {
  VEK_TestManager parser_manager;
  VEK_TestManager m;
  VEK_DICOMInfo taker(&m);
  {
    VEK_DICOMInfo parser(&parser_manager);
    EXPECT_FALSE(taker.take(parser));
    EXPECT_FALSE(taker.loaded());
    ASSERT_TRUE(load_bytes(parser, parser_manager, read_fixture("rle3_fs_noot.dcm")));
    ASSERT_TRUE(taker.take(parser));
  }
  EXPECT_TRUE(taker.is_valid());
  Loaded parsed("rle3_fs_noot.dcm");
  ASSERT_TRUE(parsed.ok);
  EXPECT_EQ(taker.width(), parsed.info.width());
  EXPECT_EQ(taker.compression_kind(), 3u);
  EXPECT_EQ(taker.multi_fragment_frames(), 1u);
  expect_frames(taker, "rle3_fs_noot.dcm", 3);
  EXPECT_EQ(std::u16string(taker.get_string_value(0x0002, 0x0010).c_str()), u"1.2.840.10008.1.2.5");
  EXPECT_EQ(m.status().full_code(), 0u);
}

TEST(DICOMInfo, StillLoads) {
  // A DICOMDIR has no pixel data but its directory records.
  Loaded dir("DICOMDIR");
  ASSERT_TRUE(dir.ok);
  EXPECT_EQ(dir.info.has_pixel_data(), 0u);
  EXPECT_TRUE(dir.info.exist(0x0004, 0x1220));
  EXPECT_EQ(dir.m.status().full_code(), 0u);
  {
    // A bare directory-record dataset, implicit VR: no meta group, no pixels.
    DicomBytes d;
    d.u16(0x0004);
    d.u16(0x1220);
    d.u32(0xFFFFFFFF);
    d.u16(0xFFFE);
    d.u16(0xE0DD);
    d.u32(0);
    VEK_TestManager m;
    auto* internals = vek_create<VEK_DICOMInfoInternal>(&m, uint8_t(0));
    ASSERT_NE(internals, nullptr);
    auto* storage = vek_create<VEK_ByteArrayInputStorage>(&m, d.bytes.data(), int32_t(d.size()));
    EXPECT_TRUE(internals->decode_start(storage, 1, nullptr));
    storage->destroy();
    internals->destroy();
  }
  {
    // Odd pixel value length, unpadded.
    DicomBytes d = DicomBytes::part10();
    d.image(3, 3, 8, "MONOCHROME2");
    const size_t value = d.element(0x7FE0, 0x0010, "OB", std::vector<uint8_t>(9, 5));
    Loaded l(d.bytes);
    ASSERT_TRUE(l.ok);
    EXPECT_EQ(to_std(l.info.get_frame_positions(0)), std::vector<unsigned>{unsigned(value)});
    EXPECT_EQ(to_std(l.info.get_frame_lengths(0)), std::vector<unsigned>{9u});
  }
  {
    // Cut inside the pixel data: the rest of the file still reads, with a warning.
    std::vector<uint8_t> cut = read_fixture("ct_explicit.dcm");
    cut.resize(100000);
    Loaded l(cut);
    ASSERT_TRUE(l.ok);
    EXPECT_EQ(l.info.has_pixel_data(), 0u);
    EXPECT_TRUE(l.info.exist(0x0028, 0x0010));
    EXPECT_REPORT(l.m, 0x40400000u, "VEK_DICOMInfoInternal::decode_start()", 202u);
  }
}

namespace {

// A storage whose skips claim to move as far as asked, so that a value can seem to reach
// past what 31-bit positions hold.
class HugeStorage : public VEK_InputStorage {
 public:
  explicit HugeStorage(VEK_Manager* m) : VEK_InputStorage(m) {}
  bool initiate(const std::vector<uint8_t>* bytes) {
    bytes_ = bytes;
    return true;
  }
  bool is_empty() const override { return false; }
  int32_t get() override { return -1; }
  int32_t read(void* buffer, int32_t n) override {
    const int64_t have = std::max<int64_t>(0, int64_t(bytes_->size()) - position_);
    const int32_t got = int32_t(std::max<int64_t>(0, std::min<int64_t>(n, have)));
    if (got > 0) std::memcpy(buffer, bytes_->data() + position_, size_t(got));
    position_ += got;
    return got;
  }
  int32_t tell() override { return int32_t(std::min<int64_t>(position_, INT32_MAX)); }
  int32_t skip(int32_t n) override {
    position_ += n;
    return n;
  }
  int32_t size() override { return INT32_MAX; }
  bool to_begin() override {
    position_ = 0;
    return true;
  }
  bool to_end() override { return true; }

 private:
  const std::vector<uint8_t>* bytes_ = nullptr;
  int64_t position_ = 0;
};

}  // namespace

TEST(DICOMInfo, PositionsPastThirtyOneBitsAreRefused) {
  DicomBytes d = DicomBytes::part10();
  d.image(2, 2, 8, "MONOCHROME2");
  d.head(0x7FE0, 0x0010, "OB", 0x7FFFFFF0u);
  VEK_TestManager m;
  auto* storage = vek_create<HugeStorage>(&m, &d.bytes);
  ASSERT_NE(storage, nullptr);
  VEK_DICOMInfo info(&m);
  EXPECT_FALSE(info.load(storage));
  EXPECT_REPORT(m, 0x80400000u, kPixelOffset, 469u);
  storage->destroy();
}

TEST(DICOMInfo, PaletteEntriesMatchTheLookupTables) {
  for (const char* file :
       {"pal_8_8.dcm", "pal_8_16.dcm", "pal_8_8w.dcm", "pal_16_0.dcm", "pal_first100.dcm", "pal_seg.dcm"}) {
    Loaded l(file);
    ASSERT_TRUE(l.ok) << file;
    const VEK_Header::VEK_Palette& p = l.info.palette();
    ASSERT_EQ(l.info.has_palette(), 1u);
    EXPECT_EQ(l.info.color_type(), VEK_ColorType_s_rgb::instance());
    EXPECT_EQ(p.channels(), 3u);
    const bool index16 = std::string(file) == "pal_16_0.dcm";
    EXPECT_EQ(p.entries(), index16 ? 65536u : 256u) << file;
    const uint32_t sample = p.bits() / 8;
    uint32_t checked = 0;
    for (uint32_t i = 0; i < p.entries(); ++i) {
      auto it = expected_values().find(std::string(file) + " entry " + std::to_string(i));
      if (it == expected_values().end()) continue;
      for (uint32_t c = 0; c < 3; ++c) {
        uint32_t v = 0;
        std::memcpy(&v, p.data() + (uint64_t(i) * 3 + c) * sample, sample);
        EXPECT_EQ(v, std::stoul(it->second[c])) << file << " entry " << i << " channel " << c;
      }
      ++checked;
    }
    EXPECT_EQ(checked, 256u) << file;
  }
  EXPECT_EQ(Loaded("pal_8_8w.dcm").info.palette().bits(), 8u);
  // The linear segment from 0 to 100 over four entries.
  const auto& e = expected_values();
  for (int i = 1; i <= 4; ++i) EXPECT_EQ(e.at("pal_seg.dcm entry " + std::to_string(i))[1], std::to_string(25 * i));
}

namespace {

std::vector<uint8_t> palette_file(const std::vector<std::vector<uint16_t>>& descriptors,
                                  const std::vector<std::vector<uint16_t>>& segments) {
  DicomBytes d = DicomBytes::part10();
  d.image(2, 2, 8, "PALETTE COLOR");
  for (uint16_t c = 0; c < 3; ++c) d.us(0x0028, uint16_t(0x1101 + c), descriptors[c]);
  for (uint16_t c = 0; c < 3; ++c) d.element(0x0028, uint16_t(0x1221 + c), "OW", DicomBytes::words(segments[c]));
  d.element(0x7FE0, 0x0010, "OB", std::vector<uint8_t>(4, 0));
  return d.bytes;
}

}  // namespace

TEST(DICOMInfo, BrokenPalettesAreRefused) {
  const std::vector<uint16_t> seg = {0, 2, 1, 2};
  Loaded counts(palette_file({{2, 0, 16}, {3, 0, 16}, {2, 0, 16}}, {seg, seg, seg}));
  EXPECT_FALSE(counts.ok);
  EXPECT_REPORT(counts.m, 0x80400000u, kPalette, 924u);
  Loaded nested(palette_file({{2, 0, 16}, {2, 0, 16}, {2, 0, 16}}, {{0, 1, 5, 2, 1, 0, 0, 2, 1, 0, 0}, seg, seg}));
  EXPECT_FALSE(nested.ok);
  EXPECT_REPORT(nested.m, 0x80400000u, kPalette, 1016u);
}

TEST(DICOMInfo, SegmentsStayInsideTheirBuffers) {
  SegmentWalk walk;
  ASSERT_NE(walk.e, nullptr);
  ASSERT_NE(walk.internals, nullptr);
  std::vector<uint16_t> out;
  const auto expand16 = [&](const std::vector<uint16_t>& units, uint32_t n, std::vector<uint16_t>* into = nullptr) {
    return walk.expand16(units, n, into != nullptr ? *into : out);
  };
  // Linear 25/50/75/100 and entries no segment reaches taking the last value.
  ASSERT_TRUE(expand16({0, 1, 0, 1, 4, 100}, 8, &out));
  EXPECT_EQ(out, (std::vector<uint16_t>{0, 25, 50, 75, 100, 100, 100, 100}));
  // The indirect offset counts bytes: 6 is the second segment (entries would be the third).
  ASSERT_TRUE(expand16({0, 1, 7, 0, 2, 0, 10, 2, 1, 6, 0}, 7, &out));
  EXPECT_EQ(out, (std::vector<uint16_t>{7, 0, 10, 0, 10, 10, 10}));
  ASSERT_TRUE(expand16({0, 2, 9, 8, 2, 1, 0, 0}, 5, &out));
  EXPECT_EQ(out, (std::vector<uint16_t>{9, 8, 9, 8, 8}));
  // An odd length's last half word is ignored; nothing written leaves zeros.
  ASSERT_TRUE(expand16({}, 3, &out));
  EXPECT_EQ(out, (std::vector<uint16_t>{0, 0, 0}));
  EXPECT_FALSE(expand16({0, 3, 1, 2, 3}, 2));         // writes past n entries
  EXPECT_FALSE(expand16({0, 1, 5, 1, 3, 9}, 3));      // linear past n entries
  EXPECT_FALSE(expand16({0, 4, 1, 2}, 8));            // reads past the value
  EXPECT_FALSE(expand16({0, 1, 5, 1, 2}, 8));         // linear without its end value
  EXPECT_FALSE(expand16({1, 2, 100}, 8));             // linear first
  EXPECT_FALSE(expand16({0, 1, 5, 2, 1, 3, 0}, 8));   // indirect offset inside a word
  EXPECT_FALSE(expand16({0, 1, 5, 2, 1, 40, 0}, 8));  // indirect offset past the value
  EXPECT_FALSE(expand16({0, 1, 5, 2, 1, 6, 0}, 8));   // an indirect segment pointing at one
  EXPECT_FALSE(expand16({0, 1, 5, 7, 0}, 8));         // unknown opcode

  // 8-bit tables: every unit a byte, the indirect offset two bytes.
  walk.set({0, 2, 10, 20, 1, 2, 40, 2, 1, 0, 0});
  std::vector<uint8_t> small(8, 0xEE);
  ASSERT_TRUE(walk.internals->expand_segments8(small.data(), 8, walk.e));
  EXPECT_EQ(small, (std::vector<uint8_t>{10, 20, 30, 40, 10, 20, 20, 20}));
}

// An indirect segment replays up to 65,535 segments, and a segment may write nothing: the walk
// is bounded by the entries it writes and the value's length, never by the counts it reads.
TEST(DICOMInfo, SegmentWalksAreBoundedByTheTable) {
  std::vector<uint16_t> out;
  SegmentWalk walk;
  ASSERT_NE(walk.e, nullptr);
  ASSERT_NE(walk.internals, nullptr);
  const auto expand16 = [&walk](const std::vector<uint16_t>& units, uint32_t n, std::vector<uint16_t>& into) {
    return walk.expand16(units, n, into);
  };

  // Full-range ramps, one replayed through an indirect segment, against their closed forms.
  ASSERT_TRUE(expand16({0, 1, 0, 1, 65535, 65535}, 65536, out));
  for (uint32_t i = 0; i < 65536; ++i) ASSERT_EQ(out[i], i);
  ASSERT_TRUE(expand16({0, 1, 65535, 1, 65535, 0}, 65536, out));
  for (uint32_t i = 0; i < 65536; ++i) ASSERT_EQ(out[i], 65535 - i);
  ASSERT_TRUE(expand16({0, 1, 0, 1, 32767, 65534, 2, 1, 0, 0, 1, 32767, 65534}, 65536, out));
  for (uint32_t i = 0; i < 65536; ++i) ASSERT_EQ(out[i], 2 * (i % 32768)) << i;

  // 65,535 segments that write nothing, replayed by a thousand indirect segments: refused
  // after about as many idle segments as the value has units, not 65 million.
  std::vector<uint16_t> idle;
  for (int k = 0; k < 65535; ++k) idle.insert(idle.end(), {0, 0});
  for (int k = 0; k < 1000; ++k) idle.insert(idle.end(), {2, 65535, 0, 0});
  EXPECT_FALSE(expand16(idle, 256, out));
  std::vector<uint16_t> linear = {0, 1, 7};
  for (int k = 0; k < 65535; ++k) linear.insert(linear.end(), {1, 0, 9});
  for (int k = 0; k < 1000; ++k) linear.insert(linear.end(), {2, 65535, 6, 0});
  EXPECT_FALSE(expand16(linear, 256, out));

  // Segments of one entry each, replayed: the table fills and the next write ends the walk.
  std::vector<uint16_t> ones;
  for (uint32_t k = 0; k < 65535; ++k) ones.insert(ones.end(), {0, 1, uint16_t(k * 3)});
  for (int k = 0; k < 1000; ++k) ones.insert(ones.end(), {2, 65535, 0, 0});
  EXPECT_FALSE(expand16(ones, 65536, out));
  for (uint32_t i = 0; i < 65535; ++i) ASSERT_EQ(out[i], uint16_t(i * 3));
  EXPECT_EQ(out[65535], 0u);
  // Replaying one of them fills the table exactly: the first segment's value last.
  ones.resize(3 * 65535);
  ones.insert(ones.end(), {2, 1, 0, 0});
  ASSERT_TRUE(expand16(ones, 65536, out));
  EXPECT_EQ(out[65534], uint16_t(65534 * 3));
  EXPECT_EQ(out[65535], 0u);

  // Through the image information: the idle table is refused as broken.
  Loaded hostile(palette_file({{256, 0, 16}, {256, 0, 16}, {256, 0, 16}}, {idle, {0, 1, 5}, {0, 1, 5}}));
  EXPECT_FALSE(hostile.ok);
  EXPECT_REPORT(hostile.m, 0x80400000u, kPalette, 1016u);
  ASSERT_NE(hostile.info.internals(), nullptr);
  EXPECT_LE(hostile.info.internals()->segment_steps(), 2 * 256 + idle.size() + 1);
}

// A document read under an element limit stops as a file cut short would: the items read
// whole stand, in order, and the load says it stopped; without the limit the same memory
// refuses the load.
TEST(DICOMInfo, ADocumentReadPastItsElementLimitKeepsWholeItems) {
  DicomBytes d = DicomBytes::part10("1.2.840.10008.1.2.1");
  std::vector<std::vector<uint8_t>> items;
  for (int k = 0; k < 5000; ++k) {
    DicomBytes item;
    item.text(0x0040, 0xA040, "CS", "TEXT");
    item.text(0x0040, 0xA160, "UT", "item " + std::to_string(k));
    items.push_back(item.bytes);
  }
  // The document's own Value Type before its content, as every SR has it: the group is there
  // for the sequence to stand in.
  d.text(0x0040, 0xA040, "CS", "CONTAINER");
  d.sequence(0x0040, 0xA730, items);
  Loaded whole(d.bytes);
  ASSERT_TRUE(whole.ok);
  EXPECT_FALSE(whole.info.elements_capped());
  EXPECT_EQ(whole.info.get_item_count(0x0040, 0xA730), 5000u);
  const uint64_t need = whole.m.peak();

  VEK_TestManager m;
  VEK_DICOMInfo info(&m);
  info.set_element_limit(need / 2);
  ASSERT_TRUE(load_bytes(info, m, d.bytes));
  EXPECT_TRUE(info.elements_capped());
  const uint32_t kept = info.get_item_count(0x0040, 0xA730);
  EXPECT_GT(kept, 0u);
  EXPECT_LT(kept, 5000u);
  VEK_DICOMTagObj item(&m);
  for (uint32_t k = 0; k < kept; ++k) {
    ASSERT_TRUE(info.get_item(0x0040, 0xA730, k, item));
    const VEK_WString text = item.get_string_value(0x0040, 0xA160);
    const std::string expected = "item " + std::to_string(k);
    ASSERT_EQ(std::u16string(text.c_str()), std::u16string(expected.begin(), expected.end()));
  }
  EXPECT_LE(m.peak(), need / 2 + need / 4);

  VEK_TestManager budgeted;
  budgeted.set_budget(need / 2);
  VEK_DICOMInfo refused(&budgeted);
  EXPECT_FALSE(load_bytes(refused, budgeted, d.bytes));
}

TEST(DICOMInfo, RefusedAllocationsFailCleanly) {
  bool palette = false;
  expect_refused_allocations_fail_cleanly(
      read_fixture("pal_8_16.dcm"),
      [&](VEK_Manager& m, VEK_InputStorage* storage) {
        VEK_DICOMInfo info(&m);
        const bool ok = info.load(storage);
        // A failed load leaves the storage where it began.
        EXPECT_EQ(storage->tell(), ok ? storage->tell() : 0);
        palette = ok && info.has_palette() == 1;
        return ok;
      },
      [&] { EXPECT_TRUE(palette); });
}

// 2^31 - 1 frames claimed with the data of one 64 x 64 frame: that frame, as dcmj2pnm shows it.
TEST(DICOMInfo, OneFrameOfTwoBillionClaimed) {
  Loaded l(std::string("frames_past_data.dcm"));
  ASSERT_TRUE(l.ok);
  EXPECT_EQ(l.info.frame_count(), 1u);
  EXPECT_EQ(to_std(l.info.get_frame_lengths(0)), std::vector<unsigned>{4096u});
  EXPECT_EQ(l.m.status().full_code(), 0x40400000u);
}

// One-bit frames run on from bit to bit: frame k's bytes are those bits k x 100 .. k x 100 + 99
// of a 10 x 10 image touch, and a count past the data keeps the frames whose bits are all there.
TEST(DICOMInfo, OneBitFramesStartAtTheirBit) {
  Loaded l(std::string("onebit_3f.dcm"));
  ASSERT_TRUE(l.ok);
  ASSERT_EQ(l.info.frame_count(), 3u);
  const uint32_t value = l.info.get_frame_positions(0)[0];
  EXPECT_EQ(to_std(l.info.get_frame_positions(1)), std::vector<unsigned>{value + 12});
  EXPECT_EQ(to_std(l.info.get_frame_positions(2)), std::vector<unsigned>{value + 25});
  EXPECT_EQ(to_std(l.info.get_frame_lengths(0)), std::vector<unsigned>{13u});
  EXPECT_EQ(to_std(l.info.get_frame_lengths(1)), std::vector<unsigned>{13u});
  EXPECT_EQ(to_std(l.info.get_frame_lengths(2)), std::vector<unsigned>{13u});
  EXPECT_EQ(l.m.status().full_code(), 0u);
  for (const char* frames : {"4", "2147483647"}) {
    DicomBytes d = DicomBytes::part10();
    d.image(10, 10, 1, "MONOCHROME2");
    d.text(0x0028, 0x0008, "IS", frames);
    d.element(0x7FE0, 0x0010, "OB", std::vector<uint8_t>(38, 1));
    Loaded past(d.bytes);
    ASSERT_TRUE(past.ok);
    EXPECT_EQ(past.info.frame_count(), 3u) << frames;
    EXPECT_EQ(past.m.status().full_code(), 0x40400000u);
  }
}

namespace {

// Heap in use, where the C library can say; 0 under the sanitizers' allocators.
uint64_t heap_in_use() {
#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
#else
  return 0;
#endif
}

// The frames a load laid out, with the manager's allocations and the heap it kept.
struct FrameListCost {
  VEK_TestManager m;
  VEK_DICOMInfo info{&m};
  bool ok = false;
  uint64_t allocations = 0;
  uint64_t heap = 0;
  explicit FrameListCost(const std::vector<uint8_t>& bytes) {
    const uint64_t before = m.memory_manager().allocations();
    const uint64_t heap_before = heap_in_use();
    ok = load_bytes(info, m, bytes);
    allocations = m.memory_manager().allocations() - before;
    const uint64_t heap_after = heap_in_use();
    heap = heap_after > heap_before ? heap_after - heap_before : 0;
  }
};

}  // namespace

TEST(DICOMInfo, FrameListsCostNothingPerNativeFrame) {
  // Ten million frames of one pixel, 8-bit and 1-bit: located by arithmetic, with no memory
  // a frame, the last where its bytes (or bits) are.
  constexpr uint32_t kFrames = 10000000;
  struct Case {
    uint16_t bits;
    uint32_t value_bytes;
    uint32_t last_offset;
  };
  for (const Case c : {Case{8, kFrames, kFrames - 1}, Case{1, kFrames / 8, kFrames / 8 - 1}}) {
    DicomBytes d = DicomBytes::part10();
    d.image(1, 1, c.bits, "MONOCHROME2");
    d.text(0x0028, 0x0008, "IS", std::to_string(kFrames));
    const size_t value = d.element(0x7FE0, 0x0010, "OB", std::vector<uint8_t>(c.value_bytes, 7));
    FrameListCost l(d.bytes);
    ASSERT_TRUE(l.ok) << c.bits;
    EXPECT_EQ(l.info.frame_count(), kFrames);
    EXPECT_EQ(to_std(l.info.get_frame_positions(kFrames - 1)), std::vector<unsigned>{unsigned(value + c.last_offset)});
    EXPECT_EQ(to_std(l.info.get_frame_lengths(kFrames - 1)), std::vector<unsigned>{1u});
    EXPECT_EQ(to_std(l.info.get_frame_positions(1234567)),
              std::vector<unsigned>{unsigned(value + (c.bits == 8 ? 1234567 : 1234567 / 8))});
    EXPECT_TRUE(l.info.get_frame_positions(kFrames).empty());
    EXPECT_EQ(l.info.frames().held_bytes(), 0u);
    EXPECT_LT(l.allocations, 1000u) << c.bits;
    EXPECT_LT(l.heap, uint64_t(1) << 20) << c.bits;
  }
}

TEST(DICOMInfo, FragmentListsCostAFewBytesEach) {
  // A million fragments, one frame each: one flat list, not an object a frame.
  constexpr uint32_t kFragments = 1000000;
  DicomBytes d = DicomBytes::part10("1.2.840.10008.1.2.5");
  d.image(1, 1, 8, "MONOCHROME2");
  d.text(0x0028, 0x0008, "IS", std::to_string(kFragments));
  const std::vector<uint32_t> at = d.encapsulated({}, std::vector<std::vector<uint8_t>>(kFragments, {0, 9}));
  FrameListCost l(d.bytes);
  ASSERT_TRUE(l.ok);
  ASSERT_EQ(l.info.frame_count(), kFragments);
  EXPECT_EQ(to_std(l.info.get_frame_positions(kFragments - 1)), std::vector<unsigned>{at.back()});
  EXPECT_EQ(to_std(l.info.get_frame_lengths(kFragments - 1)), std::vector<unsigned>{2u});
  EXPECT_EQ(l.info.multi_fragment_frames(), 0u);
  EXPECT_LE(l.info.frames().held_bytes(), uint64_t(24) * kFragments);
  EXPECT_LT(l.allocations, 1000u);
  // The dataset keeps each fragment's length, the frame table its place and length, and the
  // tag object a copy of that table: a few dozen bytes each in all, never an element each.
  EXPECT_LT(l.heap, uint64_t(40) * kFragments);
}
