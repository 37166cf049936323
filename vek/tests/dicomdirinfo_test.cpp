#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "plat_comma_locale.h"
#include "pyr/pyrdicomdataset.h"
#include "vek_dicomdirinfo.h"
#include "vek_dicominfointernal.h"
#include "vek_test_dicom.h"
#include "vek_test_refusals.h"

namespace {

constexpr const char* kLoad = "VEK_DICOMDIRInfo::load()";
constexpr const char* kReadDir = "VEK_DICOMDIRInfo::read_dir()";

std::string utf8(const VEK_WString& s) {
  std::string out;
  for (uint32_t i = 0; i < s.size(); ++i) out.push_back(s.c_str()[i] < 0x80 ? char(s.c_str()[i]) : '?');
  return out;
}

std::string num(double v) {
  char text[40];
  std::snprintf(text, sizeof text, "%.10g", v);
  return text;
}

std::string common(const char* type, const VEK_DICOMDIRRecord& r) {
  return std::string(type) + "\t" + std::to_string(r.position) + "\t" + std::to_string(r.next_offset) + "\t" +
         std::to_string(r.lower_offset) + "\t" + std::to_string(r.in_use);
}

std::string join(const std::vector<std::string>& parts) {
  std::string out;
  for (const auto& p : parts) out += "\t" + p;
  return out;
}

// One line per record in tree order, as make_dicom_fixtures.sh writes them from pydicom.
std::vector<std::string> tree_lines(const std::string& name, const VEK_DICOMDIRInfo& d) {
  std::vector<std::string> lines;
  for (const VEK_DICOMDIRPatient& p : d.patients) {
    lines.push_back(name + "\t" + common("PATIENT", p.common) +
                    join({utf8(p.patient_name), utf8(p.patient_id), utf8(p.patient_sex)}));
    for (const VEK_DICOMDIRStudy& s : p.studies) {
      lines.push_back(name + "\t" + common("STUDY", s.common) +
                      join({utf8(s.study_instance_uid), utf8(s.study_date), utf8(s.study_time),
                            utf8(s.study_description), utf8(s.patient_age), utf8(s.study_id),
                            utf8(s.modalities_in_study), utf8(s.accession_number), utf8(s.body_part_examined)}));
      for (const VEK_DICOMDIRSeries& e : s.series) {
        lines.push_back(
            name + "\t" + common("SERIES", e.common) +
            join({utf8(e.modality), utf8(e.series_description), utf8(e.series_instance_uid),
                  std::to_string(e.series_number), utf8(e.series_date), utf8(e.series_time), utf8(e.body_part_examined),
                  utf8(e.frame_of_reference_uid), num(e.kvp), num(e.tube_current), utf8(e.convolution_kernel),
                  num(e.slice_thickness), num(e.column_spacing), num(e.row_spacing), std::to_string(e.columns),
                  std::to_string(e.rows), utf8(e.photometric_interpretation), std::to_string(e.number_of_frames)}));
        for (const VEK_DICOMDIRImage& i : e.images)
          lines.push_back(name + "\t" + common("IMAGE", i.common) +
                          join({utf8(i.file_id),
                                utf8(i.sop_instance_uid),
                                std::to_string(i.instance_number),
                                utf8(i.referenced_sop_class_uid),
                                utf8(i.sop_class_uid),
                                utf8(i.referenced_transfer_syntax_uid),
                                utf8(i.image_type),
                                utf8(i.content_date),
                                utf8(i.content_time),
                                utf8(i.columns),
                                utf8(i.rows),
                                std::to_string(i.number_of_frames),
                                num(i.column_spacing),
                                num(i.row_spacing),
                                num(i.slice_location),
                                num(i.position_x),
                                num(i.position_y),
                                num(i.position_z),
                                utf8(i.image_orientation),
                                std::to_string(i.slice_location_present)}));
      }
    }
  }
  return lines;
}

std::vector<std::string> expected_tree(const std::string& name) {
  std::ifstream in(std::string(VEK_TEST_DATA_DIR) + "/dicomdir_expected.txt");
  std::vector<std::string> out;
  std::string line;
  while (std::getline(in, line))
    if (line.compare(0, name.size() + 1, name + "\t") == 0) out.push_back(line);
  return out;
}

bool load(VEK_DICOMDIRInfo& d, VEK_Manager& m, const std::vector<uint8_t>& bytes,
          const VEK_Vector<VEK_DICOMTypes::CharacterSet>* sets = nullptr) {
  auto* storage = vek_create<VEK_ByteArrayInputStorage>(&m, bytes.data(), int32_t(bytes.size()));
  if (storage == nullptr) return false;
  const bool ok = sets != nullptr ? d.load(storage, *sets) : d.load(storage);
  storage->destroy();
  return ok;
}

// The pointer lists walk the tree in order and every parent is the record above.
void expect_links(const VEK_DICOMDIRInfo& d) {
  uint32_t p = 0, s = 0, e = 0, i = 0;
  for (const VEK_DICOMDIRPatient& pt : d.patients) {
    for (const VEK_DICOMDIRStudy& st : pt.studies) {
      EXPECT_EQ(st.parent_patient, &pt);
      for (const VEK_DICOMDIRSeries& se : st.series) {
        EXPECT_EQ(se.parent_patient, &pt);
        EXPECT_EQ(se.parent_study, &st);
        for (const VEK_DICOMDIRImage& im : se.images) {
          EXPECT_EQ(im.parent_series, &se);
          EXPECT_EQ(im.parent_study, &st);
          EXPECT_EQ(im.parent_patient, &pt);
          ASSERT_LT(i, d.image_pointers.size());
          EXPECT_EQ(d.image_pointers[i++], &im);
        }
        ASSERT_LT(e, d.series_pointers.size());
        EXPECT_EQ(d.series_pointers[e++], &se);
      }
      ASSERT_LT(s, d.study_pointers.size());
      EXPECT_EQ(d.study_pointers[s++], &st);
    }
    ASSERT_LT(p, d.patient_pointers.size());
    EXPECT_EQ(d.patient_pointers[p++], &pt);
  }
  EXPECT_EQ(d.image_pointers.size(), i);
  EXPECT_EQ(d.series_pointers.size(), e);
  EXPECT_EQ(d.study_pointers.size(), s);
  EXPECT_EQ(d.patient_pointers.size(), p);
  // The flat lists keep stream order.
  for (uint32_t k = 1; k < d.all_images.size(); ++k)
    EXPECT_LT(d.all_images[k - 1].common.position, d.all_images[k].common.position);
  for (uint32_t k = 1; k < d.all_series.size(); ++k)
    EXPECT_LT(d.all_series[k - 1].common.position, d.all_series[k].common.position);
  for (uint32_t k = 1; k < d.all_studies.size(); ++k)
    EXPECT_LT(d.all_studies[k - 1].common.position, d.all_studies[k].common.position);
  ASSERT_EQ(d.file_ids.size(), d.all_images.size());
  for (uint32_t k = 0; k < d.file_ids.size(); ++k) EXPECT_EQ(utf8(d.file_ids[k]), utf8(d.all_images[k].file_id));
}

// Every field of every record, in tree order, with what a viewer reads of a record's tag beside
// them: a read of the records' fields alone must give all of it.
std::string all_fields(const VEK_DICOMDIRInfo& d) {
  std::string out;
  auto add = [&](std::initializer_list<const VEK_WString*> texts, std::initializer_list<double> numbers,
                 const VEK_DICOMDIRRecord& r) {
    for (const VEK_WString* t : texts) out += utf8(*t) + "|";
    for (double n : numbers) out += std::to_string(n) + "|";
    for (uint16_t g : {0x0008, 0x0010, 0x0028})
      for (uint16_t e : {0x0005, 0x0008, 0x0030, 0x1010}) out += utf8(r.tag.get_string_value(g, e)) + "|";
    out += std::to_string(r.next_offset) + "," + std::to_string(r.lower_offset) + "," + std::to_string(r.in_use) + "\n";
  };
  for (const VEK_DICOMDIRPatient& p : d.patients) {
    add({&p.patient_name, &p.patient_id, &p.patient_sex}, {}, p.common);
    for (const VEK_DICOMDIRStudy& st : p.studies) {
      add({&st.study_instance_uid, &st.study_date, &st.study_time, &st.study_description, &st.patient_age, &st.study_id,
           &st.modalities_in_study, &st.accession_number, &st.body_part_examined},
          {}, st.common);
      for (const VEK_DICOMDIRSeries& se : st.series) {
        add({&se.modality, &se.series_description, &se.series_instance_uid, &se.series_date, &se.series_time,
             &se.body_part_examined, &se.frame_of_reference_uid, &se.convolution_kernel,
             &se.photometric_interpretation},
            {double(se.series_number), se.kvp, se.tube_current, se.slice_thickness, se.column_spacing, se.row_spacing,
             double(se.columns), double(se.rows), double(se.number_of_frames)},
            se.common);
        for (const VEK_DICOMDIRImage& im : se.images)
          add({&im.file_id, &im.sop_instance_uid, &im.referenced_sop_class_uid, &im.sop_class_uid,
               &im.referenced_transfer_syntax_uid, &im.image_type, &im.content_date, &im.content_time, &im.columns,
               &im.rows, &im.image_orientation},
              {double(im.instance_number), double(im.number_of_frames), im.column_spacing, im.row_spacing,
               im.slice_location, im.position_x, im.position_y, im.position_z, double(im.slice_location_present)},
              im.common);
      }
    }
  }
  return out;
}

void expect_fixture_tree(const std::string& name, uint32_t warning = 0) {
  SCOPED_TRACE(name);
  VEK_TestManager m;
  VEK_DICOMDIRInfo d(&m);
  ASSERT_TRUE(load(d, m, read_fixture(name)));
  EXPECT_EQ(m.status().full_code(), warning);
  const std::vector<std::string> want = expected_tree(name);
  ASSERT_FALSE(want.empty());
  EXPECT_EQ(tree_lines(name, d), want);
  expect_links(d);
  // The tree alone, each record read again from its item: the same tree and warnings, the
  // same records counted, and nothing held in record order.
  VEK_TestManager alone_m;
  VEK_DICOMDIRInfo alone(&alone_m);
  alone.set_record_order_kept(false);
  ASSERT_TRUE(load(alone, alone_m, read_fixture(name)));
  EXPECT_EQ(alone_m.status().full_code(), warning);
  EXPECT_EQ(tree_lines(name, alone), want);
  expect_links(alone);
  EXPECT_EQ(d.records_read(), d.patients.size() + d.all_studies.size() + d.all_series.size() + d.all_images.size());
  EXPECT_EQ(alone.records_read(), d.records_read());
  EXPECT_EQ(alone.all_studies.size() + alone.all_series.size() + alone.all_images.size() + alone.file_ids.size(), 0u);
  for (uint32_t k = 0; k < alone.image_pointers.size(); ++k)
    EXPECT_EQ(utf8(alone.image_pointers[k]->common.tag.get_string_value(0x0004, 0x1500)),
              utf8(d.image_pointers[k]->common.tag.get_string_value(0x0004, 0x1500)));
  // The records' fields alone, the rest left in the source: the same tree, field for field.
  VEK_TestManager lean_m;
  VEK_DICOMDIRInfo lean(&lean_m);
  lean.set_record_fields_only(1024);
  ASSERT_TRUE(load(lean, lean_m, read_fixture(name)));
  EXPECT_EQ(tree_lines(name, lean), want);
  EXPECT_EQ(all_fields(lean), all_fields(d));
}

// A DICOMDIR made here: meta group, then the records as items of (0004,1220).
struct Record {
  std::string type;
  DicomBytes tail;  // elements after the record type, in tag order
  DicomBytes head;  // elements before it
};

std::vector<uint8_t> dicomdir(const std::vector<Record>& records, const std::string& sop = "1.2.840.10008.1.3.10",
                              bool sequence = true, const std::string& charset = "", bool fileset = false) {
  DicomBytes meta;
  meta.text(0x0002, 0x0002, "UI", sop);
  meta.text(0x0002, 0x0010, "UI", "1.2.840.10008.1.2.1");
  DicomBytes d;
  d.bytes.assign(128, 0);
  for (char c : std::string("DICM")) d.bytes.push_back(uint8_t(c));
  d.element(0x0002, 0x0000, "UL", {uint8_t(meta.size()), uint8_t(meta.size() >> 8), 0, 0});
  d.raw(meta.bytes);
  if (!charset.empty()) d.text(0x0008, 0x0005, "CS", charset);
  if (fileset) d.text(0x0004, 0x1130, "CS", "");
  std::vector<std::vector<uint8_t>> items;
  for (const Record& r : records) {
    DicomBytes item;
    item.raw(r.head.bytes);
    item.text(0x0004, 0x1430, "CS", r.type);
    item.raw(r.tail.bytes);
    items.push_back(item.bytes);
  }
  if (sequence) d.sequence(0x0004, 0x1220, items);
  return d.bytes;
}

Record rec(const std::string& type) { return Record{type, {}, {}}; }

Record image(const std::string& file_id) {
  Record r = rec("IMAGE");
  r.tail.text(0x0004, 0x1500, "CS", file_id);
  return r;
}

std::vector<Record> one_of_each() { return {rec("PATIENT"), rec("STUDY"), rec("SERIES"), image("IMG\\1")}; }

// Nothing attached.
class EmptyStorage : public VEK_InputStorage {
 public:
  explicit EmptyStorage(VEK_Manager* m) : VEK_InputStorage(m) {}
  bool is_empty() const override { return true; }
  int32_t get() override { return -1; }
  int32_t read(void*, int32_t) override { return 0; }
  int32_t tell() override { return 0; }
  int32_t skip(int32_t) override { return 0; }
  int32_t size() override { return 0; }
  bool to_begin() override { return true; }
  bool to_end() override { return true; }
};

struct Loaded {
  VEK_TestManager m;
  VEK_DICOMDIRInfo d{&m};
  bool ok;
  explicit Loaded(const std::vector<uint8_t>& bytes) : ok(load(d, m, bytes)) {}
};

}  // namespace

TEST(DICOMDIRInfo, MediaIndexedByPeersGiveTheirTrees) {
  expect_fixture_tree("dir_dcmtk");
  expect_fixture_tree("dir_gdcm");
  VEK_TestManager m;
  VEK_DICOMDIRInfo d(&m);
  ASSERT_TRUE(load(d, m, read_fixture("dir_dcmtk")));
  EXPECT_EQ(d.patients.size(), 2u);
  EXPECT_EQ(d.all_studies.size(), 3u);
  EXPECT_EQ(d.all_series.size(), 5u);
  ASSERT_EQ(d.all_images.size(), 10u);
  EXPECT_EQ(utf8(d.get_string_list()[5]), "IMAGES\\IM0006");
  // The RLE image keeps its transfer syntax.
  EXPECT_EQ(utf8(d.all_images[5].referenced_transfer_syntax_uid), "1.2.840.10008.1.2.5");
  // The records' tag objects read any further element of their item.
  EXPECT_EQ(utf8(d.patients[1].common.tag.get_string_value(0x0010, 0x0020)), "IDB");
  EXPECT_EQ(d.patients[0].common.tags.size(), d.patients[0].common.tag.get_element_count());
  EXPECT_EQ(d.patients[0].common.tags[0].group, 0x0004);
}

TEST(DICOMDIRInfo, RecordsStayCompact) {
  // A medium of 200,000 records holds each twice (in record order and in the tree): each
  // byte of a record costs 400 KB there. Inline copies of a nested record type made a
  // patient over 2 KB.
  EXPECT_LE(sizeof(VEK_DICOMDIRPatient), 320u);
  EXPECT_LE(sizeof(VEK_DICOMDIRStudy), 576u);
  EXPECT_LE(sizeof(VEK_DICOMDIRSeries), 640u);
  EXPECT_LE(sizeof(VEK_DICOMDIRImage), 704u);
}

TEST(DICOMDIRInfo, RecordOrdersGiveTheOffsetTree) {
  for (const char* name : {"dir_forward", "dir_grouped", "dir_backward"}) expect_fixture_tree(name);
  // Grouped by level, the tree equals the one stored in tree order.
  Loaded a(read_fixture("dir_forward")), b(read_fixture("dir_grouped"));
  ASSERT_TRUE(a.ok && b.ok);
  ASSERT_EQ(a.d.image_pointers.size(), 4u);
  ASSERT_EQ(b.d.image_pointers.size(), 4u);
  for (uint32_t k = 0; k < 4; ++k)
    EXPECT_EQ(utf8(a.d.image_pointers[k]->file_id), utf8(b.d.image_pointers[k]->file_id));
}

TEST(DICOMDIRInfo, OtherRecordTypesGiveTheStreamTree) { expect_fixture_tree("dir_others"); }

TEST(DICOMDIRInfo, BrokenOffsetsGiveTheStreamTree) {
  for (const char* name :
       {"dir_self", "dir_loop", "dir_shared", "dir_middle", "dir_wronglevel", "dir_pastend", "dir_zero"})
    expect_fixture_tree(name);
}

TEST(DICOMDIRInfo, StudyBeforeAnyPatientIsSkipped) {
  std::vector<Record> r = {rec("STUDY"), rec("STUDY")};
  for (const Record& x : one_of_each()) r.push_back(x);
  Loaded l(dicomdir(r));
  ASSERT_TRUE(l.ok);
  EXPECT_EQ(l.d.all_studies.size(), 1u);
  ASSERT_EQ(l.d.patients.size(), 1u);
  ASSERT_EQ(l.d.patients[0].studies.size(), 1u);
  EXPECT_EQ(l.d.patients[0].studies[0].series.size(), 1u);
}

// Their parent may come later in the stream; without offsets to it they stay out of the tree.
TEST(DICOMDIRInfo, RecordsWithoutTheirParentLevelAreSkipped) {
  {
    Loaded l(dicomdir({rec("PATIENT"), rec("SERIES"), image("A")}));
    ASSERT_TRUE(l.ok);
    EXPECT_EQ(l.m.status().full_code(), 0x40400000u);
    EXPECT_STREQ(l.m.status().method(), kReadDir);
    EXPECT_EQ(l.d.all_series.size(), 1u);
    EXPECT_EQ(l.d.all_images.size(), 1u);
    ASSERT_EQ(l.d.patients.size(), 1u);
    EXPECT_EQ(l.d.patients[0].studies.size(), 0u);
    EXPECT_EQ(l.d.image_pointers.size(), 0u);
    expect_links(l.d);
  }
  {
    VEK_TestManager m;
    VEK_DICOMDIRInfo d(&m);
    VEK_Vector<VEK_DICOMTypes::CharacterSet> sets(&m);
    EXPECT_TRUE(load(d, m, dicomdir({rec("PATIENT"), rec("SERIES")}), &sets));
    EXPECT_EQ(m.status().full_code(), 0x40400000u);
  }
  {
    Loaded l(dicomdir({rec("PATIENT"), rec("STUDY"), image("A"), rec("SERIES"), image("B")}));
    ASSERT_TRUE(l.ok);
    EXPECT_EQ(l.m.status().full_code(), 0x40400000u);
    ASSERT_EQ(l.d.image_pointers.size(), 1u);
    EXPECT_EQ(utf8(l.d.image_pointers[0]->file_id), "B");
    expect_links(l.d);
  }
  {
    // Deepest level first without offsets: only the patient has a place.
    Loaded l(dicomdir({image("A"), rec("SERIES"), rec("STUDY"), rec("PATIENT")}));
    ASSERT_TRUE(l.ok);
    ASSERT_EQ(l.d.patients.size(), 1u);
    EXPECT_EQ(l.d.patients[0].studies.size(), 0u);
    EXPECT_EQ(l.d.all_studies.size(), 0u);  // ahead of every patient
    EXPECT_EQ(l.d.all_images.size(), 1u);
  }
}

TEST(DICOMDIRInfo, ImageWithoutFileIdFails) {
  Loaded l(dicomdir({rec("PATIENT"), rec("STUDY"), rec("SERIES"), image("A"), rec("IMAGE")}));
  EXPECT_FALSE(l.ok);
  EXPECT_REPORT(l.m, 0x80400000u, kLoad, 341u);
  // What was collected up to the failure stays.
  EXPECT_EQ(l.d.patients.size(), 1u);
  EXPECT_EQ(l.d.all_studies.size(), 1u);
  EXPECT_EQ(l.d.all_series.size(), 1u);
  EXPECT_EQ(l.d.all_images.size(), 1u);
  EXPECT_EQ(l.d.file_ids.size(), 1u);
}

TEST(DICOMDIRInfo, RecordNotInUseIsStillRead) {
  std::vector<Record> r = one_of_each();
  r[3].head.us(0x0004, 0x1410, {0});
  r[2].head.us(0x0004, 0x1410, {0xFFFF});
  Loaded l(dicomdir(r));
  ASSERT_TRUE(l.ok);
  ASSERT_EQ(l.d.image_pointers.size(), 1u);
  EXPECT_EQ(l.d.image_pointers[0]->common.in_use, 0u);
  EXPECT_EQ(l.d.series_pointers[0]->common.in_use, 1u);
  EXPECT_EQ(l.d.patient_pointers[0]->common.in_use, 1u);  // absent
}

TEST(DICOMDIRInfo, OtherMediaStorageClassIsOnlyAWarning) {
  Loaded l(dicomdir(one_of_each(), "1.2.840.10008.5.1.4.1.1.7"));
  EXPECT_TRUE(l.ok);
  EXPECT_REPORT(l.m, 0x40400000u, kReadDir, 417u);
  EXPECT_EQ(l.d.image_pointers.size(), 1u);
}

TEST(DICOMDIRInfo, MissingSequenceAndBadStoragesFail) {
  {
    Loaded l(dicomdir({}, "1.2.840.10008.1.3.10", false));
    EXPECT_FALSE(l.ok);
    EXPECT_REPORT(l.m, 0x80400000u, kLoad, 341u);
  }
  VEK_TestManager m;
  VEK_DICOMDIRInfo d(&m);
  EXPECT_FALSE(d.load(nullptr));
  EXPECT_REPORT(m, 0x80800000u, kLoad, 313u);
  VEK_Vector<VEK_DICOMTypes::CharacterSet> sets(&m);
  EXPECT_FALSE(d.load(nullptr, sets));
  EXPECT_REPORT(m, 0x80800000u, kLoad, 357u);
  EmptyStorage storage(&m);
  VEK_InputStorage* empty = &storage;
  EXPECT_FALSE(d.load(empty));
  EXPECT_REPORT(m, 0x80800000u, kLoad, 313u);
  EXPECT_FALSE(d.load(empty, sets));
  EXPECT_REPORT(m, 0x80800000u, kLoad, 357u);
}

TEST(DICOMDIRInfo, ImageFieldsFollowTheirRules) {
  std::vector<Record> r = one_of_each();
  Record& i = r[3];
  i.tail.text(0x0004, 0x1511, "UI", "1.2.3");
  i.tail.text(0x0008, 0x0018, "UI", "");
  i.tail.text(0x0020, 0x0013, "IS", " -7 ");
  i.tail.text(0x0020, 0x0032, "DS", "1\\2");
  i.tail.text(0x0028, 0x0030, "DS", "0.5\\0.25");
  Record second = image("IMG\\2");
  second.tail.text(0x0008, 0x0018, "UI", "9.8");
  second.tail.text(0x0020, 0x0013, "IS", "2147483648");
  second.tail.text(0x0020, 0x0032, "DS", "-1.5\\2e1\\+3x");
  second.tail.text(0x0020, 0x1041, "DS", "");
  second.tail.text(0x0028, 0x0008, "IS", "3x");
  second.tail.text(0x0028, 0x0030, "DS", "0.5");
  r.push_back(second);
  Record third = image("IMG\\3");
  third.tail.text(0x0020, 0x0032, "DS", " -1.5\\2e1 \\+3 ");
  third.tail.text(0x0028, 0x0008, "IS", "4294967299");
  r.push_back(third);
  Loaded l(dicomdir(r));
  ASSERT_TRUE(l.ok);
  const VEK_DICOMDIRImage& a = l.d.all_images[0];
  EXPECT_EQ(utf8(a.sop_instance_uid), "1.2.3");
  EXPECT_EQ(a.row_spacing, 0.5);
  EXPECT_EQ(a.column_spacing, 0.25);
  EXPECT_EQ(a.position_x, 0.0);
  EXPECT_EQ(a.position_y, 0.0);
  EXPECT_EQ(a.position_z, 0.0);
  EXPECT_EQ(a.slice_location_present, 0u);
  // Signed, as the files' numbers are read; past int32_t it is no value.
  EXPECT_EQ(a.instance_number, -7);
  EXPECT_EQ(a.instance_number_present, 1u);
  const VEK_DICOMDIRImage& b = l.d.all_images[1];
  EXPECT_EQ(utf8(b.sop_instance_uid), "9.8");
  // A value with characters after its number is no value, and the list with it.
  EXPECT_EQ(b.position_x, 0.0);
  EXPECT_EQ(b.position_y, 0.0);
  EXPECT_EQ(b.position_z, 0.0);
  EXPECT_EQ(b.row_spacing, 0.0);  // one value: both stay 0
  EXPECT_EQ(b.column_spacing, 0.0);
  EXPECT_EQ(b.slice_location_present, 0u);  // present but empty
  EXPECT_EQ(b.instance_number_present, 0u);
  const VEK_DICOMDIRImage& c = l.d.all_images[2];
  EXPECT_EQ(c.position_x, -1.5);
  EXPECT_EQ(c.position_y, 20.0);
  EXPECT_EQ(c.position_z, 3.0);
  // A count past its type is past any file's frames; one that is no number is none.
  EXPECT_EQ(c.number_of_frames, UINT32_MAX);
  EXPECT_EQ(b.number_of_frames, 0u);
}

// A front end may run with a locale whose decimal mark is a comma.
TEST(DICOMDIRInfo, SpacingIgnoresTheLocale) {
  ASSERT_TRUE(PlatUseCommaLocale(LC_NUMERIC)) << "install the Debian package locales";
  std::vector<Record> r = one_of_each();
  r[2].tail.text(0x0028, 0x0030, "DS", "0.5\\0.25");
  r[3].tail.text(0x0028, 0x0030, "DS", "0.5\\0.25");
  Loaded l(dicomdir(r));
  std::setlocale(LC_NUMERIC, "C");
  ASSERT_TRUE(l.ok);
  EXPECT_EQ(l.d.all_images[0].row_spacing, 0.5);
  EXPECT_EQ(l.d.all_images[0].column_spacing, 0.25);
  EXPECT_EQ(l.d.all_series[0].row_spacing, 0.5);
  EXPECT_EQ(l.d.all_series[0].column_spacing, 0.25);
}

TEST(DICOMDIRInfo, CharacterSetsRewriteTheRootAndTheItemsHoldingThem) {
  std::vector<Record> r = one_of_each();
  DicomBytes cs;
  cs.text(0x0008, 0x0005, "CS", "ISO_IR 100");
  r[0].tail.raw(cs.bytes);
  r[0].tail.text(0x0010, 0x0010, "PN", "NAME");
  VEK_TestManager m;
  VEK_DICOMDIRInfo d(&m);
  VEK_Vector<VEK_DICOMTypes::CharacterSet> sets(&m);
  ASSERT_TRUE(sets.push_back(VEK_DICOMTypes::CharacterSet(2)) && sets.push_back(VEK_DICOMTypes::CharacterSet(25)));
  ASSERT_TRUE(load(d, m, dicomdir(r, "1.2.840.10008.1.3.10", true, "ISO_IR 100"), &sets));
  EXPECT_EQ(utf8(d.get_string_value(0x0008, 0x0005)), "ISO_IR 100\\ISO 2022 IR 87");
  EXPECT_EQ(utf8(d.patients[0].common.tag.get_string_value(0x0008, 0x0005)), "ISO_IR 100\\ISO 2022 IR 87");
  EXPECT_FALSE(d.all_studies[0].common.tag.exist(0x0008, 0x0005));
  EXPECT_EQ(utf8(d.patients[0].patient_name), "NAME");
}

TEST(DICOMDIRInfo, OddUnpaddedNameReadsInFull) {
  std::vector<Record> r = one_of_each();
  r[0].tail.element(0x0010, 0x0010, "PN", {'Y', 'A', 'M', 'A', 'D', 'A', '^', 'T', 'A', 'R', 'O'});
  r[0].tail.text(0x0010, 0x0020, "LO", "P1");
  Loaded l(dicomdir(r));
  ASSERT_TRUE(l.ok);
  EXPECT_EQ(utf8(l.d.patients[0].patient_name), "YAMADA^TARO");
  EXPECT_EQ(utf8(l.d.patients[0].patient_id), "P1");
}

TEST(DICOMDIRInfo, CutDICOMDIRKeepsItsCompleteRecords) {
  expect_fixture_tree("dir_cut", 0x40400000u);
  Loaded l(read_fixture("dir_cut_first"));
  EXPECT_FALSE(l.ok);
  EXPECT_REPORT(l.m, 0x80400000u, kLoad, 341u);
}

TEST(DICOMDIRInfo, CopiedRecordsOutliveTheirDirectory) {
  VEK_TestManager m;
  VEK_DICOMDIRPatient patient(&m);
  VEK_DICOMDIRImage image(&m);
  {
    VEK_DICOMDIRInfo d(&m);
    ASSERT_TRUE(load(d, m, read_fixture("dir_dcmtk")));
    patient = d.patients[1];
    image = *d.image_pointers[9];
  }
  EXPECT_EQ(utf8(patient.common.tag.get_string_value(0x0010, 0x0010)), "PATIENT^B");
  ASSERT_EQ(patient.studies.size(), 1u);
  EXPECT_EQ(utf8(patient.studies[0].series[1].images[0].common.tag.get_string_value(0x0004, 0x1500)), "IMAGES\\IM0010");
  EXPECT_EQ(utf8(image.common.tag.get_string_value(0x0004, 0x1430)), "IMAGE");
  // Loading again replaces the records; copies keep the old dataset.
  VEK_DICOMDIRInfo d(&m);
  ASSERT_TRUE(load(d, m, read_fixture("dir_forward")));
  ASSERT_TRUE(load(d, m, read_fixture("dir_backward")));
  EXPECT_EQ(d.patients.size(), 1u);
  EXPECT_EQ(d.all_images.size(), 4u);
  EXPECT_EQ(utf8(patient.patient_name), "PATIENT^B");
}

TEST(DICOMDIRInfo, FileIdsLeavingTheMediumAreRefused) {
  const char* refused[] = {"..\\..\\ETC\\PASSWD", "\\IMG\\1", "IMG\\\\1", "IMG/../1", "C:\\X", "."};
  const char* kept[] = {"IMG\\0001", "img\\lower", "IMAGES\\LONGERTHAN8CHARS"};
  std::vector<Record> r = {rec("PATIENT"), rec("STUDY"), rec("SERIES")};
  for (const char* id : refused) r.push_back(image(id));
  Record nul = rec("IMAGE");
  nul.tail.element(0x0004, 0x1500, "CS", {'I', 'M', 'G', 0, 'X', 'X'});
  r.push_back(nul);
  for (const char* id : kept) r.push_back(image(id));
  Loaded l(dicomdir(r));
  ASSERT_TRUE(l.ok);
  EXPECT_EQ(l.m.status().full_code(), 0x40400000u);
  EXPECT_STREQ(l.m.status().method(), kReadDir);
  ASSERT_EQ(l.d.file_ids.size(), 3u);
  for (uint32_t k = 0; k < 3; ++k) EXPECT_EQ(utf8(l.d.get_string_list()[k]), kept[k]);
  ASSERT_EQ(l.d.image_pointers.size(), 3u);
  EXPECT_EQ(utf8(l.d.image_pointers[2]->file_id), kept[2]);
}

// Read to a bound, a longer text of a record keeps its first bytes, as a bounded read gives them;
// a longer file ID would name another file cut there, and its image is left out.
TEST(DICOMDIRInfo, TextsPastTheFieldBoundAreCutAndFileIdsPastItLeftOut) {
  std::vector<Record> r = {rec("PATIENT"), rec("STUDY"), rec("SERIES"), image("IMG\\" + std::string(60, 'K')),
                           image("IMG\\1")};
  r[0].tail.text(0x0010, 0x0010, "PN", "Long^" + std::string(100, 'n'));
  r[2].tail.text(0x0008, 0x103E, "LO", std::string(40, 'd'));
  VEK_TestManager m;
  VEK_DICOMDIRInfo d(&m);
  d.set_record_fields_only(32);
  ASSERT_TRUE(load(d, m, dicomdir(r)));
  ASSERT_EQ(d.patient_pointers.size(), 1u);
  EXPECT_EQ(utf8(d.patient_pointers[0]->patient_name), "Long^" + std::string(27, 'n'));
  ASSERT_EQ(d.series_pointers.size(), 1u);
  EXPECT_EQ(utf8(d.series_pointers[0]->series_description), std::string(32, 'd'));
  ASSERT_EQ(d.image_pointers.size(), 1u);
  EXPECT_EQ(utf8(d.image_pointers[0]->file_id), "IMG\\1");
  EXPECT_EQ(d.patient_pointers[0]->common.tag.get_length(0x0010, 0x0010), 106u);
  EXPECT_EQ(d.patient_pointers[0]->common.tag.get_held_length(0x0010, 0x0010), 32u);
}

TEST(DICOMDIRInfo, EveryRefusedAllocationFailsCleanly) {
  uint32_t images = 0;
  expect_refused_allocations_fail_cleanly(
      read_fixture("dir_dcmtk"),
      [&](VEK_Manager& m, VEK_InputStorage* storage) {
        VEK_DICOMDIRInfo d(&m);
        const bool ok = d.load(storage);
        images = d.image_pointers.size();
        return ok;
      },
      [&] { EXPECT_EQ(images, 10u); });
}

// Past its record limit a load reads no further record, kept in record order or not: what
// came before forms the tree, and the load says records were left out.
TEST(DICOMDIRInfo, RecordLimitLeavesOutTheRecordsAfterIt) {
  std::vector<Record> r;
  for (int p = 0; p < 3; ++p) {
    r.push_back(rec("PATIENT"));
    r.back().tail.text(0x0010, 0x0020, "LO", "P" + std::to_string(p));
    r.push_back(rec("STUDY"));
    r.push_back(rec("SERIES"));
    r.push_back(image("IMG\\" + std::to_string(p) + "A"));
    r.push_back(image("IMG\\" + std::to_string(p) + "B"));
  }
  const std::vector<uint8_t> bytes = dicomdir(r);
  for (const bool kept : {true, false}) {
    SCOPED_TRACE(kept);
    for (const uint64_t limit : {uint64_t(9), uint64_t(15), uint64_t(16)}) {
      VEK_TestManager m;
      VEK_DICOMDIRInfo d(&m);
      d.set_record_order_kept(kept);
      d.set_record_limit(limit);
      ASSERT_TRUE(load(d, m, bytes));
      EXPECT_EQ(d.records_read(), std::min<uint64_t>(limit, 15));
      EXPECT_EQ(d.records_left_out(), limit < 15);
      // 9: two patients, the second with one image.
      ASSERT_EQ(d.patient_pointers.size(), limit == 9 ? 2u : 3u);
      EXPECT_EQ(d.image_pointers.size(), limit == 9 ? 3u : 6u);
      EXPECT_EQ(utf8(d.image_pointers[d.image_pointers.size() - 1]->file_id), limit == 9 ? "IMG\\1A" : "IMG\\2B");
      EXPECT_EQ(utf8(d.patient_pointers[d.patient_pointers.size() - 1]->patient_id), limit == 9 ? "P1" : "P2");
    }
  }
}

// A DICOMDIR read under a manager's budget and an elements' share, the manager beside it; with
// no budget, for the peak a whole read takes.
struct BudgetedRead {
  VEK_DefaultManager m;
  VEK_DICOMDIRInfo d{&m};
  bool ok = false;
  BudgetedRead(const std::vector<uint8_t>& bytes, bool kept, uint64_t budget = 0, uint64_t share = 0) {
    if (budget != 0) {
      m.set_budget(budget);
      d.set_element_limit(share);
    }
    d.set_record_order_kept(kept);
    ok = load(d, m, bytes);
  }
};

// Memory the read may take, whatever spends it: three patients, a record of another type of
// many empty elements (or of many empty items), two patients after it. Past the elements'
// share the three stand and the rest are left out; past the manager's budget while the
// records are built, the patients built whole stand. No share of their own: the load fails.
TEST(DICOMDIRInfo, MemoryBudgetLeavesOutTheRecordsAfterIt) {
  auto patient = [](std::vector<Record>& r, int p) {
    r.push_back(rec("PATIENT"));
    r.back().tail.text(0x0010, 0x0020, "LO", "P" + std::to_string(p));
    r.push_back(rec("STUDY"));
    r.push_back(rec("SERIES"));
    r.push_back(image("IMG\\" + std::to_string(p)));
  };
  for (const bool items : {false, true}) {
    SCOPED_TRACE(items);
    std::vector<Record> r;
    for (int p = 0; p < 3; ++p) patient(r, p);
    Record flood = rec("PRIVATE");
    if (items) {
      flood.tail.sequence(0x0009, 0x1010, std::vector<std::vector<uint8_t>>(100000));
    } else {
      for (uint32_t k = 0; k < 100000; ++k)
        flood.tail.element(uint16_t(0x0009 + 2 * (k >> 15)), uint16_t(k & 0x7FFF) + 1, "LO", {});
    }
    r.push_back(flood);
    for (int p = 3; p < 5; ++p) patient(r, p);
    // The file-set elements ahead of the records, as every DICOMDIR has them.
    const std::vector<uint8_t> bytes = dicomdir(r, "1.2.840.10008.1.3.10", true, "", true);
    for (const uint64_t share : {uint64_t(0), uint64_t(2) << 20}) {
      VEK_DefaultManager m;
      VEK_DICOMDIRInfo d(&m);
      d.set_record_order_kept(false);
      d.set_element_limit(share);
      ASSERT_TRUE(load(d, m, bytes)) << std::hex << m.status().full_code() << " " << m.status().method() << " "
                                     << std::dec << m.status().line();
      EXPECT_EQ(d.records_left_out(), share != 0);
      ASSERT_EQ(d.patient_pointers.size(), share != 0 ? 3u : 5u);
      EXPECT_EQ(utf8(d.patient_pointers[d.patient_pointers.size() - 1]->patient_id), share != 0 ? "P2" : "P4");
      EXPECT_EQ(d.image_pointers.size(), d.patient_pointers.size());
    }
  }
  // The records past the manager's budget: each load lists a run of whole patients from the
  // first, and says when it left some out.
  std::vector<Record> r;
  for (int p = 0; p < 5; ++p) {
    patient(r, p);
    for (int k = 0; k < 200; ++k) r.push_back(image("IMG\\" + std::to_string(p) + "_" + std::to_string(k)));
  }
  const std::vector<uint8_t> bytes = dicomdir(r, "1.2.840.10008.1.3.10", true, "", true);
  const BudgetedRead whole(bytes, false);
  ASSERT_TRUE(whole.ok);
  std::set<uint32_t> counts;
  for (uint64_t k = 32; k <= 64; ++k) {
    const uint64_t budget = whole.m.peak() * k / 64;
    const BudgetedRead read(bytes, false, budget, budget);
    if (!read.ok) continue;
    const VEK_DICOMDIRInfo& d = read.d;
    const uint32_t n = d.patient_pointers.size();
    counts.insert(n);
    EXPECT_EQ(d.records_left_out(), n < 5);
    EXPECT_EQ(d.image_pointers.size(), n * 201);
    for (uint32_t p = 0; p < n; ++p) {
      EXPECT_EQ(utf8(d.patient_pointers[p]->patient_id), "P" + std::to_string(p));
      EXPECT_EQ(d.patient_pointers[p]->studies[0].series[0].images.size(), 201u);
    }
  }
  EXPECT_GE(counts.size(), 3u);
  EXPECT_EQ(counts.count(5), 1u);
}

// Records that cost more than their elements (long names, widened as they are read): memory
// runs out while the records are first collected, or while the tree is built from them. Each
// budget lists a run of whole patients from the first, each with its image, and says when it
// left some out.
TEST(DICOMDIRInfo, MemoryRefusedWhileRecordsAreCollectedListsThoseReadWhole) {
  constexpr uint32_t kPatients = 40;
  std::vector<Record> r;
  for (uint32_t p = 0; p < kPatients; ++p) {
    r.push_back(rec("PATIENT"));
    r.back().tail.text(0x0010, 0x0010, "PN", std::string(4000, char('A' + p % 26)));
    r.back().tail.text(0x0010, 0x0020, "LO", "P" + std::to_string(p));
    r.push_back(rec("STUDY"));
    r.push_back(rec("SERIES"));
    r.push_back(image("IMG\\" + std::to_string(p)));
  }
  const std::vector<uint8_t> bytes = dicomdir(r, "1.2.840.10008.1.3.10", true, "", true);
  for (const bool kept : {false, true}) {
    SCOPED_TRACE(kept);
    const BudgetedRead whole(bytes, kept);
    ASSERT_TRUE(whole.ok);
    std::set<uint32_t> counts;
    for (uint64_t k = 8; k <= 64; ++k) {
      SCOPED_TRACE(k);
      const uint64_t budget = whole.m.peak() * k / 64;
      const BudgetedRead read(bytes, kept, budget, budget * 3 / 4);
      // Lists kept in record order too may hold the room the first record needs.
      ASSERT_TRUE(read.ok || kept);
      if (!read.ok) continue;
      const VEK_DICOMDIRInfo& d = read.d;
      const uint32_t n = d.patient_pointers.size();
      counts.insert(n);
      EXPECT_EQ(d.records_left_out(), n < kPatients);
      ASSERT_EQ(d.image_pointers.size(), n);
      for (uint32_t p = 0; p < n; ++p) {
        EXPECT_EQ(utf8(d.patient_pointers[p]->patient_id), "P" + std::to_string(p));
        EXPECT_EQ(d.patient_pointers[p]->patient_name.size(), 4000u);
        EXPECT_EQ(utf8(d.image_pointers[p]->file_id), "IMG\\" + std::to_string(p));
      }
    }
    EXPECT_GE(counts.size(), 10u);
    EXPECT_EQ(counts.count(kPatients), 1u);
  }
}
