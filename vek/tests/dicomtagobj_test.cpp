#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "pyr/pyrdicomdataset.h"

#include "vek_dicominfo.h"
#include "vek_dicominfointernal.h"
#include "vek_dicomtagobj.h"
#include "vek_test_dicom.h"

namespace {

std::u16string text(const VEK_WString& s) { return std::u16string(s.c_str(), s.size()); }

VEK_Vector<VEK_WString> strings(VEK_Manager* m, std::initializer_list<const char16_t*> values) {
  VEK_Vector<VEK_WString> v(m);
  for (const char16_t* s : values) v.push_back(VEK_WString(m, s));
  return v;
}

// Root: a multi-valued text, numbers, and a sequence of three items: the first with a
// character set, the second empty, the third without one.
struct Sample {
  VEK_TestManager m;
  VEK_DICOMInfo info{&m};
  size_t sequence_at = 0;
  Sample() {
    DicomBytes item1, item3;
    item1.text(0x0008, 0x0005, "CS", "ISO_IR 6");
    item1.text(0x0008, 0x0100, "SH", "CODE");
    item3.text(0x0008, 0x0100, "SH", "OTHER");
    DicomBytes d = DicomBytes::part10();
    d.text(0x0008, 0x0005, "CS", "ISO_IR 100");
    d.text(0x0008, 0x0008, "CS", "ORIGINAL\\PRIMARY\\AXIAL");
    sequence_at = d.size();
    d.sequence(0x0008, 0x1140, {item1.bytes, {}, item3.bytes});
    d.us(0x0028, 0x0010, {7});
    d.text(0x0028, 0x0034, "IS", "1\\-2");
    d.text(0x0028, 0x1050, "DS", "40\\-400.5");
    d.us(0x0028, 0x1101, {256, 0, 16});
    EXPECT_TRUE(load_bytes(info, m, d.bytes));
  }
};

// Values in memory of their own of which only the first page can be read: a getter that
// reads further faults at once.
class GuardedValues : public PyrIValueAllocator {
 public:
  ~GuardedValues() override {
    for (const auto& [block, length] : blocks_) munmap(block, length);
  }
  bool Allocate(void** handle, PyrIRelocationEvent*, uint32_t size) override {
    const size_t length = (size + page() - 1) / page() * page();
    void* block = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) return false;
    blocks_[block] = length;
    *handle = block;
    return true;
  }
  void Free(void* handle) override {
    munmap(handle, blocks_[handle]);
    blocks_.erase(handle);
  }
  void Resolve(void**) override {}
  static size_t page() { return size_t(sysconf(_SC_PAGESIZE)); }

  // A child of the tag object's element: `head`, then `fill` to the end of the first page,
  // 16 MiB in all, of which the first page can be read.
  void put(VEK_DICOMTagObj& tag, uint16_t group, uint16_t element, PyrDicomVR vr, const std::string& head, char fill) {
    PyrDicomDataElement* e = tag.internals()->dataset()->CreateElement();
    e->SetGroup(group);
    e->SetElement(element);
    e->SetVR(vr);
    ASSERT_EQ(e->AllocateValue(16u << 20, false), kPyrSuccess);
    std::memset(e->MutableValue(), fill, page());
    std::memcpy(e->MutableValue(), head.data(), head.size());
    ASSERT_EQ(mprotect(e->MutableValue() + page(), blocks_[e->MutableValue()] - page(), PROT_NONE), 0);
    ASSERT_EQ(tag.current_element()->SetChildElement(e), kPyrSuccess);
  }

 private:
  std::map<void*, size_t> blocks_;
};

}  // namespace

TEST(DICOMTagObj, EmptyObjectAnswersAbsent) {
  VEK_TestManager m;
  VEK_DICOMTagObj t(&m);
  uint32_t u = 5;
  double d = 2.5;
  VEK_WString s(&m, u"keep");
  const void* p = &u;
  VEK_Vector<unsigned int> list(&m);
  list.push_back(9);
  VEK_Vector<VEK_DICOMTagObj::VEK_DICOMTagInfo> infos(&m);
  VEK_DICOMTagObj out(&m);
  EXPECT_FALSE(t.exist(0x0028, 0x0010));
  EXPECT_EQ(t.get_item_count(0x0008, 0x1140), 0u);
  EXPECT_FALSE(t.get_item(0x0008, 0x1140, 0, out));
  EXPECT_EQ(t.get_long_value(0x0028, 0x0010), 0);
  EXPECT_EQ(t.get_double_value(0x0028, 0x0010), 0.0);
  EXPECT_FALSE(t.get_ulong(0x0028, 0x0010, u));
  EXPECT_FALSE(t.get_double(0x0028, 0x0010, d));
  EXPECT_FALSE(t.get_string(0x0028, 0x0010, s));
  EXPECT_TRUE(t.get_string_value(0x0028, 0x0010).empty());
  EXPECT_FALSE(t.get_value_pointer(0x0028, 0x0010, p));
  EXPECT_EQ(t.get_vr(0x0028, 0x0010), 0x4E55u);
  EXPECT_EQ(t.get_length(0x0028, 0x0010), 0u);
  EXPECT_EQ(t.get_element_count(), 0u);
  EXPECT_EQ(t.get_group_at(0), 0xFFFF);
  EXPECT_EQ(t.get_element_at(0), 0xFFFF);
  EXPECT_EQ(t.get_vr_at(0), 0x4E55u);
  EXPECT_EQ(t.get_length_at(0), 0u);
  EXPECT_EQ(t.get_position(), 0);
  EXPECT_FALSE(t.get_ulong_values(0x0028, 0x0010, list));
  EXPECT_FALSE(t.get_tag_infos(infos));
  // Nothing touched, nothing made.
  EXPECT_EQ(u, 5u);
  EXPECT_EQ(d, 2.5);
  EXPECT_EQ(text(s), u"keep");
  EXPECT_EQ(p, &u);
  EXPECT_EQ(list.size(), 1u);
  EXPECT_EQ(t.internals(), nullptr);
  EXPECT_EQ(t.current_element(), nullptr);
}

TEST(DICOMTagObj, ReadsValuesWholeAndOneByOne) {
  Sample s;
  const VEK_DICOMTagObj& t = s.info;
  VEK_WString whole(&s.m);
  ASSERT_TRUE(t.get_string(0x0008, 0x0008, whole));
  EXPECT_EQ(text(whole), u"ORIGINAL\\PRIMARY\\AXIAL");
  VEK_Vector<VEK_WString> parts(&s.m);
  ASSERT_TRUE(t.get_string_values(0x0008, 0x0008, parts));
  ASSERT_EQ(parts.size(), 3u);
  EXPECT_EQ(text(parts[0]), u"ORIGINAL");
  EXPECT_EQ(text(parts[2]), u"AXIAL");
  VEK_Vector<double> doubles(&s.m);
  ASSERT_TRUE(t.get_double_values(0x0028, 0x1050, doubles));
  ASSERT_EQ(doubles.size(), 2u);
  EXPECT_EQ(doubles[1], -400.5);
  VEK_Vector<unsigned int> words(&s.m);
  ASSERT_TRUE(t.get_ulong_values(0x0028, 0x1101, words));
  EXPECT_EQ(to_std(words), (std::vector<unsigned>{256, 0, 16}));
  VEK_Vector<int> longs(&s.m);
  ASSERT_TRUE(t.get_long_values(0x0028, 0x0034, longs));
  EXPECT_EQ(std::vector<int>(longs.begin(), longs.end()), (std::vector<int>{1, -2}));
  EXPECT_EQ(t.get_long_value(0x0028, 0x0010), 7);
  EXPECT_EQ(t.get_double_value(0x0028, 0x1050), 40.0);
  EXPECT_EQ(t.get_vr(0x0028, 0x0010), 0x5355u);  // "US"
  EXPECT_EQ(t.get_length(0x0028, 0x1101), 6u);
  EXPECT_EQ(t.get_length(0x0008, 0x1140), 0u);  // a sequence
  const void* p = nullptr;
  ASSERT_TRUE(t.get_value_pointer(0x0028, 0x1101, p));
  EXPECT_EQ(static_cast<const uint8_t*>(p)[0], 0);
  EXPECT_EQ(static_cast<const uint8_t*>(p)[1], 1);

  // An absent element: false, the vector cleared; a single getter leaves its value.
  uint32_t u = 77;
  EXPECT_FALSE(t.get_ulong(0x0010, 0x0010, u));
  EXPECT_EQ(u, 77u);
  EXPECT_FALSE(t.get_ulong_values(0x0010, 0x0010, words));
  EXPECT_TRUE(words.empty());

  VEK_Vector<VEK_DICOMTagObj::VEK_DICOMTagInfo> infos(&s.m);
  ASSERT_TRUE(t.get_tag_infos(infos));
  ASSERT_EQ(infos.size(), t.get_element_count());
  for (uint32_t i = 0; i < infos.size(); ++i) {
    EXPECT_EQ(infos[i].group, t.get_group_at(i));
    EXPECT_EQ(infos[i].element, t.get_element_at(i));
    EXPECT_EQ(infos[i].vr, t.get_vr_at(i));
    EXPECT_EQ(infos[i].length, t.get_length_at(i));
  }
  EXPECT_EQ(t.get_group_at(infos.size()), 0xFFFF);
}

TEST(DICOMTagObj, ItemsShareTheDatasetAndOutliveTheirSource) {
  Sample s;
  ASSERT_EQ(s.info.get_item_count(0x0008, 0x1140), 3u);
  VEK_DICOMTagObj empty(&s.m), third(&s.m);
  {
    VEK_DICOMTagObj root(&s.m);
    root = s.info;
    root.option(1);
    ASSERT_TRUE(root.get_item(0x0008, 0x1140, 1, empty));
    ASSERT_TRUE(root.get_item(0x0008, 0x1140, 2, third));
    EXPECT_FALSE(root.get_item(0x0008, 0x1140, 3, third));
    EXPECT_EQ(third.option(), 1u);
  }
  VEK_Vector<VEK_DICOMTagObj::VEK_DICOMTagInfo> infos(&s.m);
  infos.resize(2);
  EXPECT_TRUE(empty.get_tag_infos(infos));
  EXPECT_TRUE(infos.empty());
  // The first item's tag: the sequence header (12 bytes) plus the first item (8 + its value).
  VEK_DICOMTagObj first(&s.m);
  ASSERT_TRUE(s.info.get_item(0x0008, 0x1140, 0, first));
  EXPECT_EQ(first.get_position(), int64_t(s.sequence_at + 12));
  // A new load leaves the items handed out before on their own dataset.
  VEK_DICOMInfo& info = s.info;
  const std::vector<uint8_t> other = read_fixture("rgb_noraw.dcm");
  ASSERT_TRUE(load_bytes(info, s.m, other));
  EXPECT_EQ(text(third.get_string_value(0x0008, 0x0100)), u"OTHER");
  EXPECT_NE(third.internals(), info.internals());
}

TEST(DICOMTagObj, SetsStringsAndCharacterSets) {
  VEK_TestManager m;
  VEK_DICOMTagObj fresh(&m);
  // Setting on an empty object makes a dataset; an empty list stores an empty value.
  ASSERT_TRUE(fresh.set_string_values(0x0010, 0x0010, strings(&m, {})));
  EXPECT_TRUE(fresh.exist(0x0010, 0x0010));
  EXPECT_TRUE(fresh.get_string_value(0x0010, 0x0010).empty());
  ASSERT_TRUE(fresh.set_string_values(0x0008, 0x0008, strings(&m, {u"DERIVED", u"SECONDARY"})));
  EXPECT_EQ(text(fresh.get_string_value(0x0008, 0x0008)), u"DERIVED\\SECONDARY");

  Sample s;
  VEK_Vector<VEK_DICOMTypes::CharacterSet> sets(&s.m);
  sets.push_back(VEK_DICOMTypes::CharacterSet(2));
  sets.push_back(VEK_DICOMTypes::CharacterSet(25));
  ASSERT_TRUE(s.info.set_character_sets(sets));
  EXPECT_EQ(text(s.info.get_string_value(0x0008, 0x0005)), u"ISO_IR 100\\ISO 2022 IR 87");
  VEK_DICOMTagObj item(&s.m);
  ASSERT_TRUE(s.info.get_item(0x0008, 0x1140, 0, item));
  EXPECT_EQ(text(item.get_string_value(0x0008, 0x0005)), u"ISO_IR 100\\ISO 2022 IR 87");
  for (uint32_t i : {1u, 2u}) {
    ASSERT_TRUE(s.info.get_item(0x0008, 0x1140, i, item));
    EXPECT_FALSE(item.exist(0x0008, 0x0005)) << i;
  }
  // Past the table of 40 terms: refused, nothing changed.
  sets.push_back(VEK_DICOMTypes::CharacterSet(40));
  EXPECT_FALSE(s.info.set_character_sets(sets));
  sets.clear();
  sets.push_back(VEK_DICOMTypes::CharacterSet(39));
  ASSERT_TRUE(s.info.set_character_sets(sets));
  EXPECT_EQ(text(s.info.get_string_value(0x0008, 0x0005)), u"CP1256");
}

// Values megabytes long, as hostile files hold them: numbers are read to their own ends, codes
// from their first bytes, lists as far as asked, and a whole list in one pass.
TEST(DICOMTagObj, LongValuesAreReadOnlyAsFarAsUsed) {
  GuardedValues guarded;
  VEK_TestManager m;
  VEK_DICOMTagObj t(&m);
  ASSERT_TRUE(t.create_dataset());
  PyrDicomDatasetOptions options = t.internals()->dataset()->GetOptions();
  options.valueAllocator = &guarded;
  options.allocatorThreshold = 64;
  t.internals()->dataset()->SetOptions(options);
  guarded.put(t, 0x0028, 0x0008, PyrVR::IS, " 12\\", '9');
  guarded.put(t, 0x0054, 0x0020, PyrVR::IS, "1\\2\\3\\4", '\\');
  guarded.put(t, 0x0028, 0x3006, PyrVR::US, std::string("\x07\x00\x08\x00", 4), '\0');
  guarded.put(t, 0x0028, 0x0004, PyrVR::CS, "MONOCHROME2", 'X');

  uint32_t u = 0;
  double d = 0;
  EXPECT_TRUE(t.get_ulong(0x0028, 0x0008, u));
  EXPECT_EQ(u, 12u);
  EXPECT_EQ(t.get_long_value(0x0028, 0x0008), 12);
  EXPECT_TRUE(t.get_double(0x0028, 0x0008, d));
  EXPECT_EQ(d, 12.0);

  VEK_Vector<unsigned int> detectors(&m);
  ASSERT_TRUE(t.get_ulong_values(0x0054, 0x0020, detectors, VEK_DICOM_VR_OWN, 3));
  EXPECT_EQ(to_std(detectors), (std::vector<unsigned>{1, 2, 3}));
  VEK_Vector<int> longs(&m);
  ASSERT_TRUE(t.get_long_values(0x0054, 0x0020, longs, VEK_DICOM_VR_OWN, 4));
  EXPECT_EQ(std::vector<int>(longs.begin(), longs.end()), (std::vector<int>{1, 2, 3, 4}));
  VEK_Vector<double> doubles(&m);
  ASSERT_TRUE(t.get_double_values(0x0054, 0x0020, doubles, VEK_DICOM_VR_OWN, 2));
  EXPECT_EQ(std::vector<double>(doubles.begin(), doubles.end()), (std::vector<double>{1, 2}));
  VEK_Vector<VEK_WString> texts(&m);
  ASSERT_TRUE(t.get_string_values(0x0054, 0x0020, texts, VEK_DICOM_VR_OWN, 2));
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(text(texts[1]), u"2");
  VEK_Vector<unsigned int> words(&m);
  ASSERT_TRUE(t.get_ulong_values(0x0028, 0x3006, words, VEK_DICOM_VR_OWN, 3));
  EXPECT_EQ(to_std(words), (std::vector<unsigned>{7, 8, 0}));

  // A code longer than a code string's length matches no term.
  VEK_WString photometric(&m);
  ASSERT_TRUE(t.get_code_string(0x0028, 0x0004, photometric, VEK_DICOM_CS_LENGTH));
  EXPECT_EQ(photometric.size(), VEK_DICOM_CS_LENGTH + 1);
  EXPECT_NE(text(photometric), u"MONOCHROME2");

  // 32,767 values read whole; one that does not read ends the list there.
  std::string list;
  for (uint32_t i = 1; i <= 32767; ++i) list += (i > 1 ? "\\" : "") + std::to_string(i);
  ASSERT_EQ(t.current_element()->SetChildString(0x0054, 0x0021, PyrString(u"x"), PyrVR::IS), kPyrSuccess);
  PyrDicomDataElement* all = t.current_element()->FindChild(0x0054, 0x0021);
  ASSERT_EQ(all->AllocateValue(uint32_t(list.size()), false), kPyrSuccess);
  std::memcpy(all->MutableValue(), list.data(), list.size());
  ASSERT_TRUE(t.get_ulong_values(0x0054, 0x0021, detectors));
  ASSERT_EQ(detectors.size(), 32767u);
  uint32_t wrong = 0;
  for (uint32_t i = 0; i < detectors.size(); ++i) wrong += detectors[i] != i + 1 ? 1 : 0;
  EXPECT_EQ(wrong, 0u);
  all->MutableValue()[list.find('\\', list.size() / 2) + 1] = 'x';
  EXPECT_FALSE(t.get_ulong_values(0x0054, 0x0021, detectors));
  EXPECT_GT(detectors.size(), 0u);
  EXPECT_LT(detectors.size(), 32767u);
}
