#include "vek_dicomtagobj.h"

#include <algorithm>
#include <string>

#include "pyr/pyrdicomdataset.h"
#include "vek_dicominfointernal.h"

namespace {

const char16_t* const kCharacterSetTerms[VEK_DICOMTypes::count] = {
    u"",
    u"",
    u"ISO_IR 100",
    u"ISO_IR 101",
    u"ISO_IR 109",
    u"ISO_IR 110",
    u"ISO_IR 144",
    u"ISO_IR 127",
    u"ISO_IR 126",
    u"ISO_IR 138",
    u"ISO_IR 148",
    u"ISO_IR 13",
    u"ISO_IR 166",
    u"ISO 2022 IR 6",
    u"ISO 2022 IR 100",
    u"ISO 2022 IR 101",
    u"ISO 2022 IR 109",
    u"ISO 2022 IR 110",
    u"ISO 2022 IR 144",
    u"ISO 2022 IR 127",
    u"ISO 2022 IR 126",
    u"ISO 2022 IR 138",
    u"ISO 2022 IR 148",
    u"ISO 2022 IR 13",
    u"ISO 2022 IR 166",
    u"ISO 2022 IR 87",
    u"ISO 2022 IR 159",
    u"ISO 2022 IR 149",
    u"ISO_IR 192",
    u"GB18030",
    u"ISO 2022 IR 58",
    u"ISO 2022 IR 171",
    u"ISO 2022 IR 172",
    u"ISO 2022 IR 183",
    u"CP1250",
    u"CP1251",
    u"CP1253",
    u"CP1254",
    u"CP1255",
    u"CP1256",
};

// Copies a library text; false when the copy could not be made. A text stops at its first
// NUL, as the library's string does for its callers.
bool assign_text(VEK_WString& out, const PyrString& text) {
  const std::u16string_view view = text.View();
  const size_t n = view.find(u'\0');
  const uint32_t expected = static_cast<uint32_t>(n == std::u16string_view::npos ? view.size() : n);
  out.assign(text.GetString());
  return out.size() == expected;
}

}  // namespace

VEK_DICOMTagObj::VEK_DICOMTagObj(VEK_Manager* manager) : tag_manager_(manager) {}

VEK_DICOMTagObj::VEK_DICOMTagObj(const VEK_DICOMTagObj& other)
    : holder_(other.holder_), current_(other.current_), option_(other.option_), tag_manager_(other.tag_manager_) {}

VEK_DICOMTagObj& VEK_DICOMTagObj::operator=(const VEK_DICOMTagObj& other) {
  if (this == &other) return *this;
  holder_ = other.holder_;
  current_ = other.current_;
  option_ = other.option_;
  return *this;
}

VEK_DICOMTagObj::~VEK_DICOMTagObj() = default;

void VEK_DICOMTagObj::release_dataset() {
  holder_.release();
  current_ = nullptr;
}

bool VEK_DICOMTagObj::create_dataset() {
  VEK_DICOMInfoInternal* internals = vek_create<VEK_DICOMInfoInternal>(tag_manager_, option_);
  if (internals == nullptr) return false;
  VEK_RefPointer<VEK_DICOMInfoInternal> holder(internals);
  if (holder.use_count() == 0) {
    // No memory for the count: the handle would never free the object.
    internals->destroy();
    return false;
  }
  if (internals->root() == nullptr) return false;
  holder_ = holder;
  current_ = internals->root();
  return true;
}

const PyrDicomDataElement* VEK_DICOMTagObj::child(uint16_t group, uint16_t element) const {
  return current_ != nullptr ? current_->FindChild(group, element) : nullptr;
}

const PyrDicomDataElement* VEK_DICOMTagObj::child_at(uint32_t index) const {
  return current_ != nullptr ? current_->GetChildAt(index) : nullptr;
}

bool VEK_DICOMTagObj::exist(uint16_t group, uint16_t element) const { return child(group, element) != nullptr; }

uint32_t VEK_DICOMTagObj::get_item_count(uint16_t group, uint16_t element) const {
  const PyrDicomDataElement* e = child(group, element);
  return e != nullptr ? e->GetChildCount() : 0;
}

bool VEK_DICOMTagObj::get_item(uint16_t group, uint16_t element, uint32_t index, VEK_DICOMTagObj& out) const {
  const PyrDicomDataElement* e = child(group, element);
  PyrDicomDataElement* item = e != nullptr ? e->GetChildAt(index) : nullptr;
  if (item == nullptr) return false;
  out = *this;
  out.current_ = item;
  return true;
}

int32_t VEK_DICOMTagObj::get_long_value(uint16_t group, uint16_t element, uint32_t vr) const {
  return current_ != nullptr ? current_->GetChildLongOr(group, element, 0, vr, 0) : 0;
}

double VEK_DICOMTagObj::get_double_value(uint16_t group, uint16_t element, uint32_t vr) const {
  return current_ != nullptr ? current_->GetChildDoubleOr(group, element, 0.0, vr, 0) : 0.0;
}

bool VEK_DICOMTagObj::get_ulong(uint16_t group, uint16_t element, uint32_t& out, uint32_t vr) const {
  uint32_t value = 0;
  if (current_ == nullptr || current_->GetChildULong(group, element, value, vr, 0) != kPyrSuccess) return false;
  out = value;
  return true;
}

bool VEK_DICOMTagObj::get_long(uint16_t group, uint16_t element, int32_t& out, uint32_t vr) const {
  int32_t value = 0;
  if (current_ == nullptr || current_->GetChildLong(group, element, value, vr, 0) != kPyrSuccess) return false;
  out = value;
  return true;
}

bool VEK_DICOMTagObj::get_count(uint16_t group, uint16_t element, uint32_t& out) const {
  return vek_dicom_count(child(group, element), out);
}

bool VEK_DICOMTagObj::get_double(uint16_t group, uint16_t element, double& out, uint32_t vr) const {
  double value = 0;
  if (current_ == nullptr || current_->GetChildDouble(group, element, value, vr, 0) != kPyrSuccess) return false;
  out = value;
  return true;
}

bool VEK_DICOMTagObj::get_string(uint16_t group, uint16_t element, VEK_WString& out, uint32_t vr) const {
  PyrString text;
  if (current_ == nullptr || current_->GetChildString(group, element, text, vr, -1) != kPyrSuccess) return false;
  return assign_text(out, text);
}

bool VEK_DICOMTagObj::get_string_prefix(uint16_t group, uint16_t element, VEK_WString& out, uint32_t max_bytes,
                                        bool* cut, uint32_t vr) const {
  if (cut != nullptr) *cut = false;
  const PyrDicomDataElement* e = child(group, element);
  PyrString text;
  if (e == nullptr || e->GetStringValue(text, vr, -1, max_bytes) != kPyrSuccess) return false;
  if (cut != nullptr) *cut = vek_dicom_value_length(e) > max_bytes;
  return assign_text(out, text);
}

bool VEK_DICOMTagObj::get_code_string(uint16_t group, uint16_t element, VEK_WString& out, uint32_t max_bytes,
                                      uint32_t vr) const {
  PyrString text;
  if (current_ == nullptr || current_->GetChildShortString(group, element, text, max_bytes, vr) != kPyrSuccess)
    return false;
  return assign_text(out, text);
}

VEK_WString VEK_DICOMTagObj::get_string_value(uint16_t group, uint16_t element, uint32_t vr) const {
  VEK_WString out(tag_manager_);
  get_string(group, element, out, vr);
  return out;
}

bool VEK_DICOMTagObj::get_value_pointer(uint16_t group, uint16_t element, const void*& out) const {
  const PyrDicomDataElement* e = child(group, element);
  if (e == nullptr) return false;
  out = e->GetValue();
  return out != nullptr;
}

uint32_t VEK_DICOMTagObj::get_vr(uint16_t group, uint16_t element) const {
  const PyrDicomDataElement* e = child(group, element);
  return e != nullptr ? e->GetVR() : VEK_DICOM_VR_UN;
}

uint32_t VEK_DICOMTagObj::get_length(uint16_t group, uint16_t element) const {
  const PyrDicomDataElement* e = child(group, element);
  return e != nullptr ? vek_dicom_value_length(e) : 0;
}

uint32_t VEK_DICOMTagObj::get_held_length(uint16_t group, uint16_t element) const {
  const PyrDicomDataElement* e = child(group, element);
  return e != nullptr && e->GetValue() != nullptr ? std::min(e->GetBytesHeld(), vek_dicom_value_length(e)) : 0;
}

uint32_t VEK_DICOMTagObj::get_element_count() const { return current_ != nullptr ? current_->GetChildCount() : 0; }

uint16_t VEK_DICOMTagObj::get_group_at(uint32_t index) const {
  const PyrDicomDataElement* e = child_at(index);
  return e != nullptr ? static_cast<uint16_t>(e->GetGroup()) : 0xFFFF;
}

uint16_t VEK_DICOMTagObj::get_element_at(uint32_t index) const {
  const PyrDicomDataElement* e = child_at(index);
  return e != nullptr ? static_cast<uint16_t>(e->GetElement()) : 0xFFFF;
}

uint32_t VEK_DICOMTagObj::get_vr_at(uint32_t index) const {
  const PyrDicomDataElement* e = child_at(index);
  return e != nullptr ? e->GetVR() : VEK_DICOM_VR_UN;
}

uint32_t VEK_DICOMTagObj::get_length_at(uint32_t index) const {
  const PyrDicomDataElement* e = child_at(index);
  return e != nullptr ? vek_dicom_value_length(e) : 0;
}

int64_t VEK_DICOMTagObj::get_position() const { return current_ != nullptr ? current_->GetPosition() : 0; }

template <class T, class Read>
bool VEK_DICOMTagObj::get_values(uint16_t group, uint16_t element, VEK_Vector<T>& out, uint32_t vr, uint32_t max_count,
                                 Read read) const {
  if (current_ == nullptr) return false;
  out.clear();
  const PyrDicomDataElement* e = current_->FindChild(group, element);
  if (e == nullptr) return false;
  // Counted by the element's own VR whatever the caller reads the values as.
  PyrDicomValueReader reader(*e, vr);
  if (reader.AtEnd()) return false;
  for (uint32_t i = 0; i < max_count && !reader.AtEnd(); ++i) {
    bool ok = false;
    T value = read(reader, ok);
    if (!ok || !out.push_back(value)) return false;
  }
  return true;
}

bool VEK_DICOMTagObj::get_ulong_values(uint16_t group, uint16_t element, VEK_Vector<unsigned int>& out, uint32_t vr,
                                       uint32_t max_count) const {
  return get_values(group, element, out, vr, max_count, [](PyrDicomValueReader& reader, bool& ok) {
    uint32_t v = 0;
    ok = reader.NextULong(v) == kPyrSuccess;
    return static_cast<unsigned int>(v);
  });
}

bool VEK_DICOMTagObj::get_long_values(uint16_t group, uint16_t element, VEK_Vector<int>& out, uint32_t vr,
                                      uint32_t max_count) const {
  return get_values(group, element, out, vr, max_count, [](PyrDicomValueReader& reader, bool& ok) {
    int32_t v = 0;
    ok = reader.NextLong(v) == kPyrSuccess;
    return static_cast<int>(v);
  });
}

bool VEK_DICOMTagObj::get_double_values(uint16_t group, uint16_t element, VEK_Vector<double>& out, uint32_t vr,
                                        uint32_t max_count) const {
  return get_values(group, element, out, vr, max_count, [](PyrDicomValueReader& reader, bool& ok) {
    double v = 0;
    ok = reader.NextDouble(v) == kPyrSuccess;
    return v;
  });
}

bool VEK_DICOMTagObj::get_string_values(uint16_t group, uint16_t element, VEK_Vector<VEK_WString>& out, uint32_t vr,
                                        uint32_t max_count) const {
  return get_values(group, element, out, vr, max_count, [&](PyrDicomValueReader& reader, bool& ok) {
    PyrString text;
    VEK_WString v(tag_manager_);
    ok = reader.NextString(text) == kPyrSuccess && assign_text(v, text);
    return v;
  });
}

bool VEK_DICOMTagObj::get_tag_infos(VEK_Vector<VEK_DICOMTagInfo>& out) const {
  if (current_ == nullptr) return false;
  out.clear();
  // Sized once: directory records ask this for every one of thousands of items.
  const uint32_t n = current_->GetChildCount();
  if (!out.resize(n)) return false;
  for (uint32_t i = 0; i < n; ++i) {
    const PyrDicomDataElement* e = current_->GetChildAt(i);
    if (e == nullptr) {
      out.clear();
      return false;
    }
    VEK_DICOMTagInfo& info = out[i];
    info.group = static_cast<uint16_t>(e->GetGroup());
    info.element = static_cast<uint16_t>(e->GetElement());
    info.vr = e->GetVR();
    info.length = vek_dicom_value_length(e);
  }
  return true;
}

namespace {

uint64_t release_below(PyrDicomDataElement* e, uint32_t length) {
  uint64_t released = 0;
  const PyrValueMode mode = e->GetValueMode();
  if ((mode == PyrValueMode::Heap || mode == PyrValueMode::External) && e->GetLength() > length &&
      e->GetChildCount() == 0) {
    released += e->GetBytesHeld();
    const PyrString path = e->GetDataset() != nullptr ? e->GetDataset()->GetSourcePath() : PyrString();
    e->SetValueLocation(path, e->GetValuePosition(), e->GetLength());
  }
  for (uint32_t i = 0, n = e->GetChildCount(); i < n; ++i)
    if (PyrDicomDataElement* child = e->GetChildAt(i)) released += release_below(child, length);
  return released;
}

}  // namespace

uint64_t VEK_DICOMTagObj::release_values_longer_than(uint32_t length) {
  return current_ != nullptr ? release_below(current_, length) : 0;
}

bool VEK_DICOMTagObj::set_string_values(uint16_t group, uint16_t element, const VEK_Vector<VEK_WString>& values,
                                        uint32_t vr) {
  if (current_ == nullptr && !create_dataset()) return false;
  try {
    if (current_->SetChildString(group, element, PyrString(), vr, -1) != kPyrSuccess) return false;
    std::vector<PyrString> parts;
    parts.reserve(values.size());
    for (const VEK_WString& value : values) parts.emplace_back(value.c_str());
    return current_->SetChildString(group, element, JoinPyrStrings(parts, PyrString(u"\\")), vr, -1) == kPyrSuccess;
  } catch (...) {
    return false;
  }
}

bool VEK_DICOMTagObj::set_character_sets(const VEK_Vector<VEK_DICOMTypes::CharacterSet>& sets) {
  VEK_Vector<VEK_WString> terms(tag_manager_);
  for (VEK_DICOMTypes::CharacterSet set : sets) {
    // The table has 40 entries; anything else is no defined term.
    if (static_cast<uint32_t>(set) >= VEK_DICOMTypes::count) return false;
    VEK_WString term(tag_manager_, kCharacterSetTerms[set]);
    if (!terms.push_back(term)) return false;
  }
  if (current_ != nullptr) {
    for (uint32_t i = 0, n = current_->GetChildCount(); i < n; ++i) {
      const PyrDicomDataElement* e = current_->GetChildAt(i);
      if (e == nullptr || e->GetVR() != VEK_DICOM_VR_SQ) continue;
      for (uint32_t k = 0, items = e->GetChildCount(); k < items; ++k) {
        VEK_DICOMTagObj item(*this);
        item.current_ = e->GetChildAt(k);
        if (item.current_ == nullptr || !item.exist(0x0008, 0x0005)) continue;
        if (!item.set_string_values(0x0008, 0x0005, terms, VEK_DICOM_VR_OWN)) return false;
      }
    }
  }
  return set_string_values(0x0008, 0x0005, terms, VEK_DICOM_VR_OWN);
}
