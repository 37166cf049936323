#include "vek_dicomdirinfo.h"

#include <algorithm>
#include <iterator>
#include <string>
#include <string_view>
#include <type_traits>

#include "platform/platfileid.h"
#include "pyr/pyrdicomdataset.h"
#include "vek_dicominfointernal.h"
#include "vek_errorhandler.h"

namespace {

constexpr const char* kFile = "extension/dicom/source/vek_dicomdirinfo.cpp";
constexpr const char* kLoad = "VEK_DICOMDIRInfo::load()";
constexpr const char* kReadDir = "VEK_DICOMDIRInfo::read_dir()";

enum Level : uint8_t { kPatient, kStudy, kSeries, kImage, kLevels };
constexpr uint32_t kNone = UINT32_MAX;
// collect_record: the record's list is full.
constexpr int kFull = -2;
constexpr std::u16string_view kTypes[kLevels] = {u"PATIENT", u"STUDY", u"SERIES", u"IMAGE"};

// The elements of a record its fields come from, and those a viewer reads of its tag beside
// them, ascending: with set_record_fields_only, the others are not read.
constexpr uint32_t kRecordTags[] = {0x00041400, 0x00041410, 0x00041420, 0x00041430, 0x00041500, 0x00041510, 0x00041511,
                                    0x00041512, 0x00080005, 0x00080008, 0x00080016, 0x00080018, 0x00080020, 0x00080021,
                                    0x00080023, 0x00080030, 0x00080031, 0x00080033, 0x00080050, 0x00080060, 0x00080061,
                                    0x00081030, 0x0008103E, 0x00100010, 0x00100020, 0x00100030, 0x00100040, 0x00101010,
                                    0x00180015, 0x00180050, 0x00180060, 0x00181151, 0x00181210, 0x0020000D, 0x0020000E,
                                    0x00200010, 0x00200011, 0x00200013, 0x00200032, 0x00200037, 0x00200052, 0x00201041,
                                    0x00280004, 0x00280008, 0x00280010, 0x00280011, 0x00280030};
static_assert(std::is_sorted(std::begin(kRecordTags), std::end(kRecordTags)));

constexpr uint32_t vr(char a, char b) { return uint32_t(uint8_t(a)) | (uint32_t(uint8_t(b)) << 8); }

// Value representations whose texts hold the default repertoire only, whatever the
// character set: they are widened byte by byte, which thousands of records make worth it.
bool plain_vr(uint32_t code) {
  switch (code) {
    case vr('U', 'I'):
    case vr('C', 'S'):
    case vr('D', 'A'):
    case vr('T', 'M'):
    case vr('D', 'S'):
    case vr('I', 'S'):
    case vr('A', 'S'):
    case vr('D', 'T'):
      return true;
    default:
      return false;
  }
}

// The value without the padding a writer leaves around it, widened into out (at least 64
// units); false when it is not plain ASCII of a plain VR or does not fit.
bool plain_text(const PyrDicomDataElement* e, char16_t* out, size_t capacity, size_t& n) {
  if (e == nullptr || !plain_vr(e->GetVR()) || e->GetValue() == nullptr) return false;
  const uint8_t* v = e->GetValue();
  size_t end = e->GetBytesHeld(), begin = 0;
  while (end > 0 && (v[end - 1] == ' ' || v[end - 1] == 0)) --end;
  while (begin < end && v[begin] == ' ') ++begin;
  if (end - begin >= capacity) return false;
  for (size_t i = begin; i < end; ++i) {
    if (v[i] == 0 || v[i] >= 0x80) return false;
    out[i - begin] = v[i];
  }
  n = end - begin;
  out[n] = 0;
  return true;
}

// Text of a child without the padding a writer leaves after it; empty when absent.
// Undesignated bytes in a character set still give their text.
bool read_text(const PyrDicomDataElement* item, uint16_t group, uint16_t element, VEK_WString& out) {
  char16_t small[128];
  size_t n = 0;
  const PyrDicomDataElement* e = item->FindChild(group, element);
  if (e == nullptr) return true;
  if (plain_text(e, small, sizeof small / sizeof small[0], n)) {
    out.assign(small);
    return out.size() == n;
  }
  PyrString text;
  if (!PyrSucceeded(item->GetChildString(group, element, text, kPyrVRUnset, -1))) return true;
  std::u16string_view v = text.View();
  while (!v.empty() && (v.back() == u' ' || v.back() == u'\0')) v.remove_suffix(1);
  while (!v.empty() && v.front() == u' ') v.remove_prefix(1);
  // A NUL inside the value stops the library's string.
  const size_t nul = v.find(u'\0');
  const size_t expected = nul == std::u16string_view::npos ? v.size() : nul;
  if (v.size() < sizeof small / sizeof small[0]) {
    std::copy(v.begin(), v.end(), small);
    small[v.size()] = 0;
    out.assign(small);
  } else {
    out.assign(std::u16string(v).c_str());
  }
  return out.size() == expected;
}

// A new empty record at the end of the list, or null.
template <class R>
R* append(VEK_Vector<R>& list, VEK_Manager* m) {
  return list.push_back(R(m)) ? &list[list.size() - 1] : nullptr;
}

uint32_t read_u32(const PyrDicomDataElement* item, uint16_t group, uint16_t element) {
  return item->GetChildULongOr(group, element, 0, kPyrVRUnset, 0);
}

// An IS read as the image files' are: signed and within int32_t; false when it is no value.
bool read_i32(const PyrDicomDataElement* item, uint16_t group, uint16_t element, int32_t& out) {
  int32_t value = 0;
  if (item->GetChildLong(group, element, value, kPyrVRUnset, 0) != kPyrSuccess) return false;
  out = value;
  return true;
}

double read_double(const PyrDicomDataElement* item, uint16_t group, uint16_t element) {
  return item->GetChildDoubleOr(group, element, 0.0, kPyrVRUnset, 0);
}

// The first `count` values of a number list, each read whole from the bytes; fewer when one
// is no number, so that a caller keeps its default rather than a part of a list.
std::vector<double> read_numbers(const PyrDicomDataElement* item, uint16_t group, uint16_t element, size_t count) {
  std::vector<double> out;
  const PyrDicomDataElement* e = item->FindChild(group, element);
  if (e == nullptr) return out;
  PyrDicomValueReader reader(*e);
  double v = 0;
  while (out.size() < count && !reader.AtEnd() && reader.NextDouble(v) == kPyrSuccess) out.push_back(v);
  return out;
}

void read_spacing(const PyrDicomDataElement* item, double& row, double& column) {
  const std::vector<double> v = read_numbers(item, 0x0028, 0x0030, 2);
  if (v.size() < 2) return;
  row = v[0];
  column = v[1];
}

// A Referenced File ID that stays inside the medium's folder. The stored bytes are checked
// too: a NUL inside would cut the text short and hide what follows it.
bool safe_file_id(const VEK_WString& id, const PyrDicomDataElement* item) {
  const PyrDicomDataElement* e = item->FindChild(0x0004, 0x1500);
  // Of a long ID only its first bytes are read: a cut path names another file.
  if (e != nullptr && e->GetBytesHeld() < vek_dicom_value_length(e)) return false;
  const uint8_t* value = e != nullptr ? e->GetValue() : nullptr;
  uint32_t n = e != nullptr ? e->GetBytesHeld() : 0;
  while (n > 0 && value != nullptr && (value[n - 1] == ' ' || value[n - 1] == 0)) --n;
  for (uint32_t i = 0; i < n && value != nullptr; ++i)
    if (value[i] < 0x20 || value[i] == 0x7F) return false;
  std::string text;
  text.reserve(id.size());
  // Only ASCII separators and marks matter; any other character is a plain part of a name.
  for (uint32_t i = 0; i < id.size(); ++i) text.push_back(id.c_str()[i] < 0x80 ? char(id.c_str()[i]) : '_');
  return PlatIsSafeFileId(text);
}

// The next-record and lower-level offsets of a record; false when a present one cannot be read.
bool read_offsets(const PyrDicomDataElement* item, uint32_t& next, uint32_t& lower) {
  uint32_t value = 0;
  for (auto [element, out] : {std::pair{uint16_t(0x1400), &next}, std::pair{uint16_t(0x1420), &lower}}) {
    *out = 0;
    if (item->FindChild(0x0004, element) == nullptr) continue;
    if (item->GetChildULong(0x0004, element, value, kPyrVRUnset, 0) != kPyrSuccess) return false;
    *out = value;
  }
  return true;
}

// Reads the common block of a record; false when a present offset cannot be read.
bool read_common(const VEK_DICOMTagObj& tag, VEK_DICOMDIRRecord& r) {
  const PyrDicomDataElement* item = tag.current_element();
  if (!read_offsets(item, r.next_offset, r.lower_offset)) return false;
  r.in_use = item->FindChild(0x0004, 0x1410) != nullptr && read_u32(item, 0x0004, 0x1410) == 0 ? 0 : 1;
  r.position = static_cast<uint32_t>(tag.get_position());
  r.tag = tag;
  return tag.get_tag_infos(r.tags);
}

bool read_patient(const PyrDicomDataElement* e, VEK_DICOMDIRPatient& p) {
  return read_text(e, 0x0010, 0x0010, p.patient_name) & read_text(e, 0x0010, 0x0020, p.patient_id) &
         read_text(e, 0x0010, 0x0040, p.patient_sex);
}

bool read_study(const PyrDicomDataElement* e, VEK_DICOMDIRStudy& s) {
  return read_text(e, 0x0020, 0x000D, s.study_instance_uid) & read_text(e, 0x0008, 0x0020, s.study_date) &
         read_text(e, 0x0008, 0x0030, s.study_time) & read_text(e, 0x0008, 0x1030, s.study_description) &
         read_text(e, 0x0010, 0x1010, s.patient_age) & read_text(e, 0x0020, 0x0010, s.study_id) &
         read_text(e, 0x0008, 0x0061, s.modalities_in_study) & read_text(e, 0x0008, 0x0050, s.accession_number) &
         read_text(e, 0x0018, 0x0015, s.body_part_examined);
}

bool read_series(const PyrDicomDataElement* e, VEK_DICOMDIRSeries& s) {
  const bool ok = read_text(e, 0x0008, 0x0060, s.modality) & read_text(e, 0x0008, 0x103E, s.series_description) &
                  read_text(e, 0x0020, 0x000E, s.series_instance_uid) & read_text(e, 0x0008, 0x0021, s.series_date) &
                  read_text(e, 0x0008, 0x0031, s.series_time) & read_text(e, 0x0018, 0x0015, s.body_part_examined) &
                  read_text(e, 0x0020, 0x0052, s.frame_of_reference_uid) &
                  read_text(e, 0x0018, 0x1210, s.convolution_kernel) &
                  read_text(e, 0x0028, 0x0004, s.photometric_interpretation);
  read_i32(e, 0x0020, 0x0011, s.series_number);
  s.kvp = read_double(e, 0x0018, 0x0060);
  s.tube_current = read_double(e, 0x0018, 0x1151);
  s.slice_thickness = read_double(e, 0x0018, 0x0050);
  read_spacing(e, s.row_spacing, s.column_spacing);
  s.columns = read_u32(e, 0x0028, 0x0011);
  s.rows = read_u32(e, 0x0028, 0x0010);
  vek_dicom_count(e->FindChild(0x0028, 0x0008), s.number_of_frames);
  return ok;
}

bool read_image(const PyrDicomDataElement* e, VEK_DICOMDIRImage& m) {
  bool ok = read_text(e, 0x0008, 0x0018, m.sop_instance_uid);
  if (m.sop_instance_uid.empty()) ok &= read_text(e, 0x0004, 0x1511, m.sop_instance_uid);
  ok &= read_text(e, 0x0004, 0x1510, m.referenced_sop_class_uid) & read_text(e, 0x0008, 0x0016, m.sop_class_uid) &
        read_text(e, 0x0004, 0x1512, m.referenced_transfer_syntax_uid) & read_text(e, 0x0008, 0x0008, m.image_type) &
        read_text(e, 0x0008, 0x0023, m.content_date) & read_text(e, 0x0008, 0x0033, m.content_time) &
        read_text(e, 0x0028, 0x0011, m.columns) & read_text(e, 0x0028, 0x0010, m.rows) &
        read_text(e, 0x0020, 0x0037, m.image_orientation);
  m.instance_number_present = read_i32(e, 0x0020, 0x0013, m.instance_number) ? 1 : 0;
  vek_dicom_count(e->FindChild(0x0028, 0x0008), m.number_of_frames);
  read_spacing(e, m.row_spacing, m.column_spacing);
  const std::vector<double> location = read_numbers(e, 0x0020, 0x1041, 1);
  m.slice_location_present = location.empty() ? 0 : 1;
  m.slice_location = location.empty() ? 0.0 : location[0];
  const std::vector<double> position = read_numbers(e, 0x0020, 0x0032, 3);
  if (position.size() >= 3) {
    m.position_x = position[0];
    m.position_y = position[1];
    m.position_z = position[2];
  }
  return ok;
}

// Where each record of the stream sits, to follow offsets in either direction.
struct Place {
  uint32_t position;
  Level level;  // kLevels: a record of another type
  uint32_t index;
  bool operator<(const Place& o) const { return position < o.position; }
};

// A record of another type: where it stands and points.
struct Other {
  uint32_t position, next, lower;
};

// Per level in record order: where each record points and which item holds it.
struct Link {
  uint32_t next, lower, item;
};

}  // namespace

VEK_DICOMDIRInfo::VEK_DICOMDIRInfo(VEK_Manager* manager)
    : VEK_Utility(manager),
      VEK_DICOMTagObj(manager),
      file_ids(manager),
      patients(manager),
      patient_pointers(manager),
      study_pointers(manager),
      series_pointers(manager),
      image_pointers(manager),
      all_studies(manager),
      all_series(manager),
      all_images(manager) {}

void VEK_DICOMDIRInfo::clear_records() {
  records_read_ = 0;
  records_left_out_ = false;
  left_out_at_limit_ = false;
  left_out_for_memory_ = false;
  image_pointers.clear();
  series_pointers.clear();
  study_pointers.clear();
  patient_pointers.clear();
  patients.clear();
  file_ids.clear();
  all_studies.clear();
  all_series.clear();
  all_images.clear();
}

bool VEK_DICOMDIRInfo::load(VEK_InputStorage* storage, VEK_Vector<VEK_DICOMTypes::CharacterSet> sets) {
  if (storage == nullptr || storage->is_empty()) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kLoad, kFile, 357);
    return false;
  }
  return load_common(storage, &sets);
}

bool VEK_DICOMDIRInfo::load(VEK_InputStorage* storage) {
  if (storage == nullptr || storage->is_empty()) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kLoad, kFile, 313);
    return false;
  }
  return load_common(storage, nullptr);
}

bool VEK_DICOMDIRInfo::load_common(VEK_InputStorage* storage, const VEK_Vector<VEK_DICOMTypes::CharacterSet>* sets) {
  clear_records();
  const int32_t start = storage->tell();
  // A dataset of its own: records copied out before keep the one they share.
  if (!create_dataset()) return false;
  internals()->set_element_limit(element_limit_);
  internals()->set_left_in_source(value_length_limit_, value_length_limit_ != 0 ? std::begin(kRecordTags) : nullptr,
                                  uint32_t(std::size(kRecordTags)));
  if (!internals()->decode_start(storage, 1, nullptr)) {
    storage->seek(start);
    return false;
  }
  records_left_out_ = left_out_for_memory_ = internals()->elements_capped();
  if (sets != nullptr && !set_character_sets(*sets)) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kLoad, kFile, 386);
    return false;
  }
  if (!read_dir()) {
    vek_report(manager_, VEK_ERROR_DATA, kLoad, kFile, sets != nullptr ? 391 : 341);
    return false;
  }
  return true;
}

// What the steps of a load share.
struct VEK_DICOMDIRInfo::ReadState {
  // clean: whether the manager held no error as the load began.
  ReadState(VEK_Manager* manager, bool clean_start) : m(manager), clean(clean_start), tag(manager) {}

  // Copies that fail report to the manager and go on; an error appearing during the walk
  // means some record is incomplete.
  bool intact() const { return !clean || !vek_is_error(m->status().full_code()); }
  void warn(int line) const { vek_report(m, VEK_WARNING_DATA, kReadDir, kFile, line); }
  const Place* at(uint32_t position) const {
    if (position == 0) return nullptr;
    auto it = std::lower_bound(places.begin(), places.end(), Place{position, kPatient, 0});
    return it != places.end() && it->position == position ? &*it : nullptr;
  }
  uint32_t lower_of(Level level, uint32_t index) const {
    return level < kLevels ? links[level][index].lower : others[index].lower;
  }
  uint32_t next_of(Level level, uint32_t index) const {
    return level < kLevels ? links[level][index].next : others[index].next;
  }

  VEK_Manager* m;
  const bool clean;
  bool cut = false;
  bool kept = true;
  const PyrDicomDataElement* sequence = nullptr;
  std::vector<Place> order;   // stream order; level kLevels: a record of another type
  std::vector<Place> places;  // by position
  std::vector<Other> others;
  std::vector<Link> links[kLevels];
  std::vector<std::vector<uint32_t>> children[kLevels - 1];
  uint64_t collected = 0;
  uint32_t early_studies = 0;
  // The record lists were sized for what they may hold and must not grow.
  bool sized = false;
  // ... and for fewer records than the sequence holds, as memory refused room for all.
  bool halved = false;
  VEK_DICOMTagObj tag;
};

// The records of each level, as collect_record will take them, at most the record limit.
void VEK_DICOMDIRInfo::count_records(ReadState& s, uint32_t (&types)[4]) const {
  auto tally = [&](std::u16string_view t) {
    for (int l = 0; l < kLevels; ++l)
      if (t == kTypes[l]) ++types[l];
  };
  const PyrDicomDataElement* sequence = s.sequence;
  for (uint32_t i = 0, count = sequence->GetChildCount(); i < count; ++i) {
    const PyrDicomDataElement* item = sequence->GetChildAt(i);
    if (item == nullptr) continue;
    char16_t small[16];
    size_t n = 0;
    if (plain_text(item->FindChild(0x0004, 0x1430), small, 16, n)) {
      tally(std::u16string_view(small, n));
    } else {
      VEK_WString text(s.m);
      read_text(item, 0x0004, 0x1430, text);
      tally(std::u16string_view(text.c_str(), text.size()));
    }
  }
  for (uint32_t& n : types) n = uint32_t(std::min<uint64_t>(n, record_limit_));
}

// Lists sized for every record of their type first: growing them would copy each record,
// strings and all, again and again, and under a share of memory a copy refused would leave a
// record read before it blank. There they never grow: when the room for all is refused, room
// for half as many is asked for, and so on.
bool VEK_DICOMDIRInfo::reserve_records(ReadState& s) {
  uint32_t types[kLevels] = {0, 0, 0, 0};
  count_records(s, types);
  for (int l = 0; l < kLevels; ++l) s.links[l].reserve(types[l]);
  s.order.reserve(s.sequence->GetChildCount());
  while (!patients.reserve(types[kPatient]) ||
         (s.kept && (!all_studies.reserve(types[kStudy]) || !all_series.reserve(types[kSeries]) ||
                     !all_images.reserve(types[kImage]) || !file_ids.reserve(types[kImage])))) {
    if (element_limit_ == 0 || s.m->status().code() != VEK_ERROR_MEMORY) return false;
    s.m->clear();
    VEK_Manager* m = s.m;
    patients = VEK_Vector<VEK_DICOMDIRPatient>(m);
    all_studies = VEK_Vector<VEK_DICOMDIRStudy>(m);
    all_series = VEK_Vector<VEK_DICOMDIRSeries>(m);
    all_images = VEK_Vector<VEK_DICOMDIRImage>(m);
    file_ids = VEK_Vector<VEK_WString>(m);
    for (uint32_t& n : types) n /= 2;
    s.halved = true;
  }
  s.sized = element_limit_ != 0;
  return true;
}

// Record i read at the end of its list: 1 read, 0 left out as damaged or of no use, -1 failure
// (what it added may be partial), kFull: its list has no room left for it. When only the tree
// is kept, only what linking needs is read here, and the record once, into the tree.
int VEK_DICOMDIRInfo::collect_record(ReadState& s, uint32_t i) {
  VEK_Manager* m = s.m;
  auto warn = [&](int line) { s.warn(line); };
  auto& order = s.order;
  auto& links = s.links;
  VEK_DICOMTagObj& tag = s.tag;
  const bool kept = s.kept;
  if (!get_item(0x0004, 0x1220, i, tag)) return -1;
  const PyrDicomDataElement* e = tag.current_element();
  // The last record of a cut read may lack what it needs: left out, not a failure.
  const bool maybe_cut = s.cut && i + 1 == s.sequence->GetChildCount();
  VEK_WString type(m);
  read_text(e, 0x0004, 0x1430, type);
  auto collect = [&](auto& list, Level level, auto read_fields) -> int {
    using Record = std::remove_reference_t<decltype(list[0])>;
    Link link{0, 0, i};
    if (kept || level == kPatient) {
      if (s.sized && list.size() == list.capacity()) return kFull;
      Record* r = append(list, m);
      if (r == nullptr) return -1;
      if (!read_common(tag, r->common) || !read_fields(e, *r)) {
        list.resize(list.size() - 1, Record(m));
        if (!maybe_cut) return -1;
        warn(__LINE__);
        return 0;
      }
      link.next = r->common.next_offset;
      link.lower = r->common.lower_offset;
    } else if (!read_offsets(e, link.next, link.lower)) {
      if (!maybe_cut) return -1;
      warn(__LINE__);
      return 0;
    }
    links[level].push_back(link);
    order.push_back({static_cast<uint32_t>(tag.get_position()), level, uint32_t(links[level].size() - 1)});
    return 1;
  };
  if (type.compare(u"PATIENT") == 0) return collect(patients, kPatient, read_patient);
  if (type.compare(u"STUDY") == 0) return collect(all_studies, kStudy, read_study);
  if (type.compare(u"SERIES") == 0) return collect(all_series, kSeries, read_series);
  if (type.compare(u"IMAGE") != 0) {
    s.others.push_back(
        {static_cast<uint32_t>(tag.get_position()), read_u32(e, 0x0004, 0x1400), read_u32(e, 0x0004, 0x1420)});
    order.push_back({s.others.back().position, kLevels, uint32_t(s.others.size() - 1)});
    return 1;
  }
  VEK_WString own_id(m);
  if (kept && s.sized && (all_images.size() == all_images.capacity() || file_ids.size() == file_ids.capacity()))
    return kFull;
  VEK_DICOMDIRImage* g = kept ? append(all_images, m) : nullptr;
  if (kept && g == nullptr) return -1;
  VEK_WString& id = kept ? g->file_id : own_id;
  const bool has_id = e->FindChild(0x0004, 0x1500) != nullptr && read_text(e, 0x0004, 0x1500, id);
  if (!has_id || !safe_file_id(id, e)) {
    if (kept) all_images.resize(all_images.size() - 1, VEK_DICOMDIRImage(m));
    if (!has_id && !maybe_cut) return -1;
    // Would reach outside the medium: left out like a record of another type.
    warn(__LINE__);
    return 0;
  }
  Link link{0, 0, i};
  const bool read = kept ? read_common(tag, g->common) && read_image(e, *g) && file_ids.push_back(g->file_id)
                         : read_offsets(e, link.next, link.lower);
  if (!read) {
    if (kept) all_images.resize(all_images.size() - 1, VEK_DICOMDIRImage(m));
    if (!maybe_cut || !s.intact()) return -1;
    warn(__LINE__);
    return 0;
  }
  if (kept) link = {g->common.next_offset, g->common.lower_offset, i};
  links[kImage].push_back(link);
  order.push_back({static_cast<uint32_t>(tag.get_position()), kImage, uint32_t(links[kImage].size() - 1)});
  return 1;
}

// First pass: every record of the four levels, in stream order, wherever its parent is.
// The patients are read straight into the member: on failure they stay there. Under a share of
// memory, the first record memory cuts short and those after are left out.
bool VEK_DICOMDIRInfo::collect_records(ReadState& s) {
  VEK_Manager* m = s.m;
  auto& links = s.links;
  if (!reserve_records(s)) return false;
  const uint32_t count = s.sequence->GetChildCount();
  for (uint32_t i = 0; i < count; ++i) {
    if (uint64_t(links[kPatient].size()) + links[kStudy].size() + links[kSeries].size() + links[kImage].size() >=
        record_limit_) {
      // The budget is spent: the records after it are not read at all.
      records_left_out_ = left_out_at_limit_ = true;
      break;
    }
    if (stopped()) return false;
    // What the lists held before the record: one that memory cut short goes whole.
    const uint32_t held[] = {patients.size(), all_studies.size(), all_series.size(), all_images.size(),
                             file_ids.size()};
    const size_t linked[] = {links[kPatient].size(), links[kStudy].size(), links[kSeries].size(),
                             links[kImage].size(),   s.order.size(),       s.others.size()};
    const int read = collect_record(s, i);
    if (read >= 0 && s.intact()) continue;
    if (read != kFull && !left_out_for_memory(s)) return false;
    if (read == kFull) {
      // Lists sized down for memory fill before the record limit.
      records_left_out_ = true;
      (s.halved ? left_out_for_memory_ : left_out_at_limit_) = true;
      s.warn(__LINE__);
    }
    patients.resize(held[0], VEK_DICOMDIRPatient(m));
    all_studies.resize(held[1], VEK_DICOMDIRStudy(m));
    all_series.resize(held[2], VEK_DICOMDIRSeries(m));
    all_images.resize(held[3], VEK_DICOMDIRImage(m));
    file_ids.resize(held[4], VEK_WString(m));
    for (int l = 0; l < kLevels; ++l) links[l].resize(linked[l]);
    s.order.resize(linked[kLevels]);
    s.others.resize(linked[kLevels + 1]);
    break;
  }
  return true;
}

// Second pass: the children of each record as the offsets give them; true when they account
// for every record. A chain ends at 0, at a position holding no record of its level, or at a
// record already linked, so that loops and shared subtrees cannot repeat anything.
bool VEK_DICOMDIRInfo::link_by_offsets(ReadState& s) {
  auto warn = [&](int line) { s.warn(line); };
  auto& order = s.order;
  auto& others = s.others;
  auto& links = s.links;
  auto& children = s.children;
  s.places = order;
  std::stable_sort(s.places.begin(), s.places.end());
  auto at = [&](uint32_t position) { return s.at(position); };
  auto find = [&](uint32_t position, Level level) -> uint32_t {
    const Place* p = at(position);
    return p != nullptr && p->level == level ? p->index : kNone;
  };
  const uint32_t sizes[kLevels] = {uint32_t(links[kPatient].size()), uint32_t(links[kStudy].size()),
                                   uint32_t(links[kSeries].size()), uint32_t(links[kImage].size())};
  for (int l = 0; l < kLevels - 1; ++l) children[l].resize(sizes[l]);
  std::vector<uint8_t> linked_flag[kLevels];
  for (int l = 1; l < kLevels; ++l) linked_flag[l].assign(sizes[l], 0);
  auto lower_of = [&](Level level, uint32_t index) { return s.lower_of(level, index); };
  auto next_of = [&](Level level, uint32_t index) { return s.next_of(level, index); };
  uint64_t linked = patients.size();
  // Depth first over an explicit stack: hostile nesting must not exhaust the call stack.
  // keep false: the subtree hangs under a record of another type and is only counted.
  struct Step {
    Level level;
    uint32_t index;
    bool keep;
  };
  std::vector<Step> stack;
  uint64_t orphans = 0;
  auto walk = [&](Step first) {
    stack.push_back(first);
    while (!stack.empty()) {
      const Step step = stack.back();
      stack.pop_back();
      if (step.level == kImage) continue;
      // Below a record of another type, its own chain tells the level.
      Level below = Level(step.level + 1);
      uint32_t o = lower_of(step.level, step.index);
      if (step.level == kLevels) {
        const Place* p = at(o);
        if (p == nullptr || p->level == kPatient || p->level == kLevels) continue;
        below = p->level;
      }
      while (o != 0) {
        const uint32_t k = find(o, below);
        if (k == kNone || linked_flag[below][k] != 0) break;
        linked_flag[below][k] = 1;
        if (step.keep) {
          ++linked;
          children[step.level][step.index].push_back(k);
        } else {
          ++orphans;
        }
        stack.push_back({below, k, step.keep});
        o = next_of(below, k);
      }
    }
  };
  for (uint32_t p = 0; p < patients.size(); ++p) walk({kPatient, p, true});
  for (uint32_t k = 0; k < others.size(); ++k) walk({kLevels, k, false});
  const bool by_offsets = linked + orphans == s.collected;
  if (by_offsets && orphans != 0) warn(__LINE__);
  return by_offsets;
}

// Offsets that do not account for every record: the tree of the stream order. Counts the
// records before the first PATIENT, and takes the level of each record of another type from
// its own offsets.
void VEK_DICOMDIRInfo::link_by_stream(ReadState& s) {
  auto warn = [&](int line) { s.warn(line); };
  auto& order = s.order;
  auto& others = s.others;
  auto& children = s.children;
  {
    for (int l = 0; l < kLevels - 1; ++l)
      for (auto& c : children[l]) c.clear();
    // Where the records of the four levels point on to, with their levels.
    std::vector<std::pair<uint32_t, int>> nexts;
    if (!others.empty())
      for (const Place& p : order)
        if (p.level < kLevels && s.next_of(p.level, p.index) != 0)
          nexts.push_back({s.next_of(p.level, p.index), p.level});
    std::sort(nexts.begin(), nexts.end());
    auto level_of_other = [&](const Other& x) -> int {
      if (const Place* p = s.at(x.lower); p != nullptr && p->level != kPatient && p->level != kLevels)
        return p->level - 1;
      auto it = std::lower_bound(nexts.begin(), nexts.end(), std::pair<uint32_t, int>{x.position, 0});
      return it != nexts.end() && it->first == x.position ? it->second : int(kLevels);
    };
    uint32_t current[kLevels] = {kNone, kNone, kNone, kNone};
    bool seen = false, skipped = false;
    for (const Place& r : order) {
      if (r.level == kLevels) {
        const int l = level_of_other(others[r.index]);
        for (int k = l; k < kLevels - 1; ++k) current[k] = kNone;
        continue;
      }
      for (int k = r.level; k < kLevels - 1; ++k) current[k] = kNone;
      if (r.level == kPatient) {
        seen = true;
      } else if (r.level == kStudy && !seen) {
        ++s.early_studies;
        continue;  // as it always was: no tree, no warning
      } else if (current[r.level - 1] == kNone) {
        skipped = true;
      } else {
        children[r.level - 1][current[r.level - 1]].push_back(r.index);
      }
      if (r.level < kImage) current[r.level] = r.index;
    }
    if (skipped) warn(__LINE__);
  }
}

// One patient's subtree, each record copied once into vectors sized up front, so that no
// growth copies a subtree again; without the lists, read again from its item.
bool VEK_DICOMDIRInfo::build_patient(ReadState& s, uint32_t p) {
  VEK_Manager* m = s.m;
  auto& links = s.links;
  auto& children = s.children;
  VEK_DICOMTagObj& tag = s.tag;
  const bool kept = s.kept;
  auto place = [&](Level level, uint32_t index, auto& out, const auto& list, auto read_fields) -> bool {
    if (kept) {
      out = list[index];
      return true;
    }
    return get_item(0x0004, 0x1220, links[level][index].item, tag) && read_common(tag, out.common) &&
           read_fields(tag.current_element(), out);
  };
  auto read_image_record = [](const PyrDicomDataElement* e, VEK_DICOMDIRImage& g) {
    return read_text(e, 0x0004, 0x1500, g.file_id) && read_image(e, g);
  };
  VEK_DICOMDIRPatient& pt = patients[p];
  const auto& studies = children[kPatient][p];
  if (!pt.studies.resize(uint32_t(studies.size()), VEK_DICOMDIRStudy(m))) return false;
  for (uint32_t a = 0; a < studies.size(); ++a) {
    VEK_DICOMDIRStudy& st = pt.studies[a];
    if (!place(kStudy, studies[a], st, all_studies, read_study)) return false;
    const auto& series_list = children[kStudy][studies[a]];
    if (!st.series.resize(uint32_t(series_list.size()), VEK_DICOMDIRSeries(m))) return false;
    for (uint32_t b = 0; b < series_list.size(); ++b) {
      VEK_DICOMDIRSeries& se = st.series[b];
      if (!place(kSeries, series_list[b], se, all_series, read_series)) return false;
      const auto& images = children[kSeries][series_list[b]];
      if (!se.images.resize(uint32_t(images.size()), VEK_DICOMDIRImage(m))) return false;
      for (uint32_t c = 0; c < images.size(); ++c)
        if (!place(kImage, images[c], se.images[c], all_images, read_image_record)) return false;
    }
  }
  return true;
}

// Memory refused while patient p's subtree was built: with a share of its own for the
// elements, half the patients after p go to make room for it, and with none after it, p goes;
// otherwise the load fails. The patients read first stand, whatever shape filled the memory.
bool VEK_DICOMDIRInfo::cut_for_memory(ReadState& s, uint32_t p) {
  if (!left_out_for_memory(s)) return false;
  const uint32_t after = patients.size() - p - 1;
  // Shrinking allocates nothing: the subtrees that go take their memory with them.
  patients.resize(after == 0 ? p : p + 1 + after / 2, VEK_DICOMDIRPatient(s.m));
  return true;
}

// Memory refused while records were read: with a share of its own for the elements, the
// records read whole stand and those after are left out; otherwise the load fails.
bool VEK_DICOMDIRInfo::left_out_for_memory(ReadState& s) {
  if (element_limit_ == 0 || s.m->status().code() != VEK_ERROR_MEMORY) return false;
  records_left_out_ = left_out_for_memory_ = true;
  s.m->clear();
  s.warn(__LINE__);
  return true;
}

// The tree, patient by patient.
bool VEK_DICOMDIRInfo::build_tree(ReadState& s) {
  VEK_Manager* m = s.m;
  auto intact = [&] { return s.intact(); };
  const bool kept = s.kept;
  for (uint32_t p = 0; p < patients.size();) {
    if (stopped()) return false;
    if (build_patient(s, p) && intact()) {
      ++p;
    } else if (!cut_for_memory(s, p)) {
      return false;
    }
  }
  if (kept && s.early_studies != 0) {
    // Studies ahead of every patient are skipped in the stream order; they lead the list.
    VEK_Vector<VEK_DICOMDIRStudy> rest(m);
    if (!rest.reserve(all_studies.size() - s.early_studies)) return false;
    for (uint32_t k = s.early_studies; k < all_studies.size(); ++k)
      if (!rest.push_back(all_studies[k])) return false;
    all_studies = rest;
    if (!intact()) return false;
  }

  return true;
}

// Third pass: parents and the pointer lists, now that nothing moves any more.
bool VEK_DICOMDIRInfo::point_records() {
  for (VEK_DICOMDIRPatient& pt : patients) {
    for (VEK_DICOMDIRStudy& st : pt.studies) {
      st.parent_patient = &pt;
      for (VEK_DICOMDIRSeries& se : st.series) {
        se.parent_patient = &pt;
        se.parent_study = &st;
        for (VEK_DICOMDIRImage& im : se.images) {
          im.parent_patient = &pt;
          im.parent_study = &st;
          im.parent_series = &se;
          if (!image_pointers.push_back(&im)) return false;
        }
        if (!series_pointers.push_back(&se)) return false;
      }
      if (!study_pointers.push_back(&st)) return false;
    }
    if (!patient_pointers.push_back(&pt)) return false;
  }
  return true;
}

bool VEK_DICOMDIRInfo::read_dir() {
  VEK_Manager* m = manager_;
  const bool clean = !vek_is_error(m->status().full_code());
  if (internals() == nullptr || internals()->root() == nullptr) return false;
  const PyrDicomDataElement* root = internals()->root();
  VEK_WString sop(m);
  read_text(root, 0x0002, 0x0002, sop);
  if (sop.compare(u"1.2.840.10008.1.3.10") != 0) vek_report(m, VEK_WARNING_DATA, kReadDir, kFile, 417);
  const PyrDicomDataElement* sequence = root->FindChild(0x0004, 0x1220);
  if (sequence == nullptr) return false;

  try {
    ReadState s(m, clean);
    s.sequence = sequence;
    // A read that stopped early may have cut its last record short.
    s.cut = internals()->dataset() != nullptr && internals()->dataset()->GetReadResult() != kPyrSuccess;
    s.kept = record_order_kept_;
    if (!collect_records(s)) return false;
    s.collected =
        uint64_t(s.links[kPatient].size()) + s.links[kStudy].size() + s.links[kSeries].size() + s.links[kImage].size();
    records_read_ = s.collected;
    // Cut before its first record was whole: nothing to show.
    if (s.cut && s.collected == 0) return false;
    if (!link_by_offsets(s)) link_by_stream(s);
    // Room for every pointer first: a tree cut for memory must still be pointed at.
    auto reserve_pointers = [&] {
      return patient_pointers.reserve(uint32_t(s.links[kPatient].size())) &&
             study_pointers.reserve(uint32_t(s.links[kStudy].size())) &&
             series_pointers.reserve(uint32_t(s.links[kSeries].size())) &&
             image_pointers.reserve(uint32_t(s.links[kImage].size()));
    };
    while (!reserve_pointers()) {
      if (patients.empty() || !left_out_for_memory(s)) return false;
      patients.resize(patients.size() / 2, VEK_DICOMDIRPatient(m));
    }
    return build_tree(s) && point_records() && s.intact();
  } catch (const std::bad_alloc&) {
    vek_report(m, VEK_ERROR_MEMORY, kReadDir, kFile, __LINE__);
    return false;
  } catch (...) {
    vek_report(m, VEK_ERROR_DATA, kReadDir, kFile, __LINE__);
    return false;
  }
}