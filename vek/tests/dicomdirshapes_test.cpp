// DICOMDIRs in the shapes real discs come in, made by make_dicomdir_discs.sh: records
// deepest level first, a last item longer than the data, damaged tails, a PATIENT record of
// another type, and sequences nested past the reader's limit.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "vek_dicomdirinfo.h"
#include "vek_dicominfo.h"
#include "vek_test_dicom.h"

namespace {

std::string utf8(const VEK_WString& s) {
  std::string out;
  for (uint32_t i = 0; i < s.size(); ++i) out.push_back(s.c_str()[i] < 0x80 ? char(s.c_str()[i]) : '?');
  return out;
}

std::vector<std::vector<std::string>> rows(const std::string& file, const std::string& name) {
  std::ifstream in(std::string(VEK_TEST_DATA_DIR) + "/discs/" + file);
  std::vector<std::vector<std::string>> out;
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> cells;
    std::stringstream s(line);
    for (std::string cell; std::getline(s, cell, '\t');) cells.push_back(cell);
    if (!cells.empty() && cells[0] == name) out.push_back(cells);
  }
  return out;
}

std::vector<uint8_t> disc(const std::string& name) { return read_fixture("discs/" + name + "/DICOMDIR"); }

struct Loaded {
  VEK_TestManager m;
  VEK_DICOMDIRInfo d{&m};
  bool ok = false;
  explicit Loaded(const std::vector<uint8_t>& bytes) {
    auto* storage = vek_create<VEK_ByteArrayInputStorage>(&m, bytes.data(), int32_t(bytes.size()));
    if (storage != nullptr) ok = d.load(storage);
    if (storage != nullptr) storage->destroy();
  }
};

// Name, type, depth, position and key of every record in tree order, as the script writes
// them from pydicom.
std::vector<std::vector<std::string>> tree(const std::string& name, const VEK_DICOMDIRInfo& d) {
  std::vector<std::vector<std::string>> out;
  auto row = [&](const char* type, int depth, const VEK_DICOMDIRRecord& r, const VEK_WString& key) {
    out.push_back({name, type, std::to_string(depth), std::to_string(r.position), utf8(key)});
  };
  for (const VEK_DICOMDIRPatient& p : d.patients) {
    row("PATIENT", 0, p.common, p.patient_id);
    for (const VEK_DICOMDIRStudy& s : p.studies) {
      row("STUDY", 1, s.common, s.study_instance_uid);
      for (const VEK_DICOMDIRSeries& e : s.series) {
        row("SERIES", 2, e.common, e.series_instance_uid);
        for (const VEK_DICOMDIRImage& i : e.images) row("IMAGE", 3, i.common, i.file_id);
      }
    }
  }
  return out;
}

// Each patient ID with the study UIDs under it, and the images under each study.
std::vector<std::string> shape(const VEK_DICOMDIRInfo& d) {
  std::vector<std::string> out;
  for (const VEK_DICOMDIRPatient& p : d.patients) {
    std::string line = utf8(p.patient_id) + ":";
    for (const VEK_DICOMDIRStudy& s : p.studies) {
      uint32_t images = 0;
      for (const VEK_DICOMDIRSeries& e : s.series) images += e.images.size();
      const std::string uid = utf8(s.study_instance_uid);
      line += " " + uid.substr(uid.rfind('.') + 1) + "x" + std::to_string(images);
    }
    out.push_back(line);
  }
  return out;
}

}  // namespace

TEST(DICOMDIRShapes, DeepestLevelFirstGivesTheOffsetTreeOfPydicomsFileSet) {
  Loaded l(disc("deepest"));
  ASSERT_TRUE(l.ok);
  EXPECT_EQ(l.m.status().full_code(), 0u);
  const auto want = rows("expected.txt", "deepest");
  ASSERT_EQ(want.size(), 52u);
  EXPECT_EQ(tree("deepest", l.d), want);
  EXPECT_EQ(l.d.patients.size(), 3u);
  EXPECT_EQ(l.d.image_pointers.size(), 40u);
  EXPECT_EQ(l.d.all_images.size(), 40u);
  EXPECT_EQ(l.d.all_studies.size(), 4u);
}

TEST(DICOMDIRShapes, LastItemLongerThanTheDataKeepsEveryRecord) {
  Loaded l(disc("cutlast"));
  ASSERT_TRUE(l.ok);
  EXPECT_EQ(l.m.status().full_code(), 0x40400000u);  // the read was cut
  const auto want = rows("expected.txt", "cutlast");
  ASSERT_EQ(want.size(), 11u);
  EXPECT_EQ(tree("cutlast", l.d), want);
  // The cut record holds no offsets.
  EXPECT_EQ(l.d.all_images[4].common.next_offset, 0u);
  EXPECT_EQ(l.d.all_images[4].common.lower_offset, 0u);
}

// The last 300 bytes overwritten as a damaged disc leaves them, the bytes made from the seed
// as the script made them for dcmdump.
TEST(DICOMDIRShapes, DamagedTailsKeepAtLeastWhatDcmdumpRecovers) {
  const std::vector<uint8_t> base = disc("ten");
  ASSERT_GT(base.size(), 300u);
  const auto cases = rows("tails.txt", "tail");
  ASSERT_EQ(cases.size(), 40u);
  for (const auto& c : cases) {
    SCOPED_TRACE(c[1] + " " + c[2]);
    std::vector<uint8_t> bytes = base;
    uint32_t x = uint32_t(std::stoul(c[2]));
    for (size_t k = bytes.size() - 300; k < bytes.size(); ++k) {
      if (c[1] == "zero") {
        bytes[k] = 0;
        continue;
      }
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      bytes[k] = uint8_t(x);
    }
    Loaded l(bytes);
    ASSERT_TRUE(l.ok);
    EXPECT_GE(l.d.patients.size(), std::stoul(c[3]));
    EXPECT_GE(l.d.study_pointers.size(), std::stoul(c[4]));
    EXPECT_GE(l.d.series_pointers.size(), std::stoul(c[5]));
    EXPECT_GE(l.d.image_pointers.size(), std::stoul(c[6]));
  }
}

TEST(DICOMDIRShapes, PatientOfAnotherTypeLendsItsStudiesToNoOne) {
  for (const char* name : {"unknown_first", "unknown_later"}) {
    SCOPED_TRACE(name);
    // dcmdump reads nine PATIENT records of ten; the script names the one retyped.
    const auto types = rows("tails.txt", name);
    ASSERT_EQ(types.size(), 1u);
    EXPECT_EQ(types[0][3], "9");
    // Every other patient holds exactly its own study and its three images.
    std::vector<std::string> want;
    for (int k = 1; k <= 10; ++k)
      if ("PID" + std::to_string(k) != types[0][2])
        want.push_back("PID" + std::to_string(k) + ": " + std::to_string(k) + "x3");
    Loaded l(disc(name));
    ASSERT_TRUE(l.ok);
    EXPECT_EQ(l.m.status().full_code(), 0x40400000u);  // its study is left out
    std::vector<std::string> got = shape(l.d);
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want);
    EXPECT_EQ(l.d.image_pointers.size(), 27u);
  }
  // With a broken link elsewhere the stream order holds, and the record of another type still
  // ends its patient there: its own offsets give its level.
  for (const char* name : {"unknown_first", "unknown_later"}) {
    std::vector<uint8_t> bytes = disc(name);
    Loaded with(bytes);
    // The last lower-level offset (0004,1420) that leads somewhere, cleared: the last
    // series loses its images.
    size_t last = 0;
    for (size_t k = 0; k + 12 <= bytes.size(); ++k)
      if (bytes[k] == 0x04 && bytes[k + 1] == 0x00 && bytes[k + 2] == 0x20 && bytes[k + 3] == 0x14 &&
          bytes[k + 4] == 'U' && bytes[k + 5] == 'L' && (bytes[k + 8] | bytes[k + 9] | bytes[k + 10] | bytes[k + 11]))
        last = k;
    ASSERT_NE(last, 0u);
    for (size_t b = 8; b < 12; ++b) bytes[last + b] = 0;
    Loaded without(bytes);
    ASSERT_TRUE(without.ok) << name;
    EXPECT_EQ(shape(without.d), shape(with.d)) << name;
  }
}

TEST(DICOMDIRShapes, SequenceNestedPastTheLimitIsSkippedWhole) {
  {
    // Defined lengths: the deep sequence goes, the rest of its record and the file stay.
    Loaded l(disc("deep_dir"));
    ASSERT_TRUE(l.ok);
    EXPECT_EQ(l.m.status().full_code(), 0x40400000u);
    EXPECT_EQ(l.d.image_pointers.size(), 5u);
    ASSERT_EQ(l.d.all_images.size(), 5u);
    EXPECT_EQ(std::to_string(l.d.all_images[1].instance_number), rows("expected.txt", "deep_dir")[0][2]);
    EXPECT_TRUE(l.d.all_images[1].common.tag.exist(0x0009, 0x1010));  // its outer levels
  }
  {
    Loaded l(disc("deep_dir10"));
    ASSERT_TRUE(l.ok);
    EXPECT_EQ(l.m.status().full_code(), 0u);
    EXPECT_EQ(l.d.image_pointers.size(), 5u);
    EXPECT_EQ(std::to_string(l.d.all_images[1].instance_number), rows("expected.txt", "deep_dir10")[0][2]);
  }
  {
    // Undefined length past the limit: the read ends there, what came before stays.
    Loaded l(disc("deep_dir_open"));
    ASSERT_TRUE(l.ok);
    EXPECT_EQ(l.m.status().full_code(), 0x40400000u);
    EXPECT_EQ(l.d.patients.size(), 1u);
    ASSERT_EQ(l.d.all_images.size(), 2u);
    EXPECT_EQ(utf8(l.d.all_images[1].file_id), "IMAGES\\IM0002");
    EXPECT_EQ(l.d.image_pointers.size(), 2u);
  }
  {
    // An image whose private sequence is too deep keeps its pixel data.
    VEK_TestManager m;
    VEK_DICOMInfo info(&m);
    ASSERT_TRUE(load_bytes(info, m, read_fixture("discs/deep_private.dcm")));
    EXPECT_EQ(m.status().full_code(), 0x40400000u);
    EXPECT_EQ(std::tuple(info.width(), info.height(), info.bits()), std::tuple(2u, 2u, 8u));
    const std::vector<uint8_t> bytes = read_fixture("discs/deep_private.dcm");
    const auto want = rows("expected.txt", "deep_private")[0];
    ASSERT_EQ(info.frame_count(), 1u);
    const uint32_t at = info.get_frame_positions(0)[0];
    ASSERT_LE(at + 4u, bytes.size());
    for (uint32_t k = 0; k < 4; ++k) EXPECT_EQ(std::to_string(bytes[at + k]), want[2 + k]);
  }
}
