#pragma once
// Typed access to the elements of a parsed DICOM dataset. A tag object points at one
// current element (the root or a sequence item) and reads its direct children by tag.
// Tag objects share the parsed dataset; the last one to let go of it frees it.

#include <cstdint>

#include "vek_basicstring.h"
#include "vek_refpointer.h"
#include "vek_vector.h"

class PyrDicomDataElement;
class VEK_DICOMInfoInternal;

struct VEK_DICOMTypes {
  // Defined terms of Specific Character Set; 0 and 1 stand for no term.
  enum CharacterSet : uint32_t {
    none = 0,
    none_1 = 1,
    iso_ir_100 = 2,
    iso_ir_101,
    iso_ir_109,
    iso_ir_110,
    iso_ir_144,
    iso_ir_127,
    iso_ir_126,
    iso_ir_138,
    iso_ir_148,
    iso_ir_13,
    iso_ir_166,
    iso_2022_ir_6,
    iso_2022_ir_100,
    iso_2022_ir_101,
    iso_2022_ir_109,
    iso_2022_ir_110,
    iso_2022_ir_144,
    iso_2022_ir_127,
    iso_2022_ir_126,
    iso_2022_ir_138,
    iso_2022_ir_148,
    iso_2022_ir_13,
    iso_2022_ir_166,
    iso_2022_ir_87,
    iso_2022_ir_159,
    iso_2022_ir_149,
    iso_ir_192,
    gb18030,
    iso_2022_ir_58,
    iso_2022_ir_171,
    iso_2022_ir_172,
    iso_2022_ir_183,
    cp1250,
    cp1251,
    cp1253,
    cp1254,
    cp1255,
    cp1256,
    count
  };
};

// VR codes: two ASCII characters, the first in the low byte.
constexpr uint32_t VEK_DICOM_VR_OWN = 0x2020;  // the element's own VR, or the dictionary's
constexpr uint32_t VEK_DICOM_VR_UN = 0x4E55;
constexpr uint32_t VEK_DICOM_VR_SQ = 0x5153;
// The longest values of a code string and of a UID.
constexpr uint32_t VEK_DICOM_CS_LENGTH = 16;
constexpr uint32_t VEK_DICOM_UI_LENGTH = 64;

using VEK_WString = VEK_BasicString<char16_t>;

class VEK_DICOMTagObj {
 public:
  struct VEK_DICOMTagInfo {
    uint16_t group = 0;
    uint16_t element = 0;
    uint32_t vr = 0;
    uint32_t length = 0;
  };

  explicit VEK_DICOMTagObj(VEK_Manager* manager);
  // Shares the other's dataset.
  VEK_DICOMTagObj(const VEK_DICOMTagObj& other);
  VEK_DICOMTagObj& operator=(const VEK_DICOMTagObj& other);
  virtual ~VEK_DICOMTagObj();

  bool exist(uint16_t group, uint16_t element) const;
  uint32_t get_item_count(uint16_t group, uint16_t element) const;
  bool get_item(uint16_t group, uint16_t element, uint32_t index, VEK_DICOMTagObj& out) const;

  int32_t get_long_value(uint16_t group, uint16_t element, uint32_t vr = VEK_DICOM_VR_OWN) const;
  double get_double_value(uint16_t group, uint16_t element, uint32_t vr = VEK_DICOM_VR_OWN) const;
  // Numbers held as text are read whole (blanks aside) or are no value: false, out unchanged.
  bool get_ulong(uint16_t group, uint16_t element, uint32_t& out, uint32_t vr = VEK_DICOM_VR_OWN) const;
  bool get_long(uint16_t group, uint16_t element, int32_t& out, uint32_t vr = VEK_DICOM_VR_OWN) const;
  // A count (Number of Frames): one past uint32_t reads UINT32_MAX; false when no value or below 0.
  bool get_count(uint16_t group, uint16_t element, uint32_t& out) const;
  bool get_double(uint16_t group, uint16_t element, double& out, uint32_t vr = VEK_DICOM_VR_OWN) const;
  // The whole value, several values with their backslashes.
  bool get_string(uint16_t group, uint16_t element, VEK_WString& out, uint32_t vr = VEK_DICOM_VR_OWN) const;
  VEK_WString get_string_value(uint16_t group, uint16_t element, uint32_t vr = VEK_DICOM_VR_OWN) const;
  // Of a value longer than max_bytes only its first max_bytes bytes are read as text (of a
  // number array, the numbers text that long holds); the rest stays unread. cut (optional)
  // says whether the value went on past them.
  bool get_string_prefix(uint16_t group, uint16_t element, VEK_WString& out, uint32_t max_bytes, bool* cut = nullptr,
                         uint32_t vr = VEK_DICOM_VR_OWN) const;
  // A code string or UID compared with terms of at most max_bytes: read from its padding and
  // at most max_bytes + 1 more bytes. The whole value when it is that short once its padding
  // is skipped, else text longer than max_bytes, which equals no such term.
  bool get_code_string(uint16_t group, uint16_t element, VEK_WString& out, uint32_t max_bytes,
                       uint32_t vr = VEK_DICOM_VR_OWN) const;
  // out is written whenever the child exists; true when it points at value bytes.
  bool get_value_pointer(uint16_t group, uint16_t element, const void*& out) const;
  uint32_t get_vr(uint16_t group, uint16_t element) const;
  uint32_t get_length(uint16_t group, uint16_t element) const;
  // The bytes of the value get_value_pointer gives: its length, or its first bytes of a text
  // read only in part.
  uint32_t get_held_length(uint16_t group, uint16_t element) const;

  uint32_t get_element_count() const;
  uint16_t get_group_at(uint32_t index) const;
  uint16_t get_element_at(uint32_t index) const;
  uint32_t get_vr_at(uint32_t index) const;
  uint32_t get_length_at(uint32_t index) const;
  // Stream position of the current element (of the item tag for an item); 0 without one.
  int64_t get_position() const;

  // The values in one pass over the value's bytes, at most max_count of them: the rest stay
  // unread.
  bool get_ulong_values(uint16_t group, uint16_t element, VEK_Vector<unsigned int>& out, uint32_t vr = VEK_DICOM_VR_OWN,
                        uint32_t max_count = UINT32_MAX) const;
  bool get_long_values(uint16_t group, uint16_t element, VEK_Vector<int>& out, uint32_t vr = VEK_DICOM_VR_OWN,
                       uint32_t max_count = UINT32_MAX) const;
  bool get_double_values(uint16_t group, uint16_t element, VEK_Vector<double>& out, uint32_t vr = VEK_DICOM_VR_OWN,
                         uint32_t max_count = UINT32_MAX) const;
  bool get_string_values(uint16_t group, uint16_t element, VEK_Vector<VEK_WString>& out, uint32_t vr = VEK_DICOM_VR_OWN,
                         uint32_t max_count = UINT32_MAX) const;
  bool get_tag_infos(VEK_Vector<VEK_DICOMTagInfo>& out) const;

  bool set_string_values(uint16_t group, uint16_t element, const VEK_Vector<VEK_WString>& values,
                         uint32_t vr = VEK_DICOM_VR_OWN);
  // Sets (0008,0005) here and in the top-level items that already hold it.
  bool set_character_sets(const VEK_Vector<VEK_DICOMTypes::CharacterSet>& sets);

  // A new empty dataset (its root current), replacing the shared one held so far.
  bool create_dataset();
  // Lets go of the shared dataset: no element until the next load; the last holder frees it.
  void release_dataset();
  // Values longer than length, here and below, go back to the source: their position and
  // length stay on record, as for values too long to hold. The bytes let go.
  uint64_t release_values_longer_than(uint32_t length);

  uint8_t option() const { return option_; }
  void option(uint8_t value) { option_ = value; }
  // For the readers built on this object: the current element and the dataset's owner.
  PyrDicomDataElement* current_element() const { return current_; }
  VEK_DICOMInfoInternal* internals() const { return holder_.get(); }

 protected:
  VEK_Manager* tag_manager() const { return tag_manager_; }

 private:
  template <class T, class Read>
  bool get_values(uint16_t group, uint16_t element, VEK_Vector<T>& out, uint32_t vr, uint32_t max_count,
                  Read read) const;
  const PyrDicomDataElement* child(uint16_t group, uint16_t element) const;
  const PyrDicomDataElement* child_at(uint32_t index) const;

  VEK_RefPointer<VEK_DICOMInfoInternal> holder_;
  PyrDicomDataElement* current_ = nullptr;
  uint8_t option_ = 0;
  VEK_Manager* tag_manager_;
};
