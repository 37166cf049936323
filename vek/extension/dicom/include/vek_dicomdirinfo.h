#pragma once
// The directory of a medium: a DICOMDIR's directory records as a tree of patients, studies,
// series and images. Records are plain values; each keeps a tag object on its own item, so
// any further element can be read, and with it the parsed DICOMDIR stays alive.

#include <atomic>
#include <cstdint>

#include "vek_dicomtagobj.h"
#include "vek_root.h"
#include "vek_storage.h"

struct VEK_DICOMDIRPatient;
struct VEK_DICOMDIRStudy;
struct VEK_DICOMDIRSeries;

// What every record ends with.
struct VEK_DICOMDIRRecord {
  explicit VEK_DICOMDIRRecord(VEK_Manager* manager) : tags(manager), tag(manager) {}

  uint32_t next_offset = 0;                            // (0004,1400)
  uint32_t lower_offset = 0;                           // (0004,1420)
  uint32_t in_use = 1;                                 // 0 only when (0004,1410) is present and 0
  uint32_t position = 0;                               // low 32 bits of the stream position of the record's item tag
  VEK_Vector<VEK_DICOMTagObj::VEK_DICOMTagInfo> tags;  // every element of the item, in item order
  VEK_DICOMTagObj tag;                                 // current element: the record's item
};

struct VEK_DICOMDIRImage {
  explicit VEK_DICOMDIRImage(VEK_Manager* manager)
      : file_id(manager),
        sop_instance_uid(manager),
        referenced_sop_class_uid(manager),
        sop_class_uid(manager),
        referenced_transfer_syntax_uid(manager),
        image_type(manager),
        content_date(manager),
        content_time(manager),
        columns(manager),
        rows(manager),
        image_orientation(manager),
        common(manager) {}

  VEK_WString file_id;           // (0004,1500), components joined by '\' as stored
  VEK_WString sop_instance_uid;  // (0008,0018), else (0004,1511)
  int32_t instance_number = 0;   // (0020,0013) as the file's is read: signed, 0 when no value
  uint32_t instance_number_present = 0;
  VEK_WString referenced_sop_class_uid;        // (0004,1510)
  VEK_WString sop_class_uid;                   // (0008,0016)
  VEK_WString referenced_transfer_syntax_uid;  // (0004,1512)
  VEK_WString image_type;
  VEK_WString content_date;
  VEK_WString content_time;
  VEK_WString columns;
  VEK_WString rows;
  uint32_t number_of_frames = 0;
  double column_spacing = 0;  // second value of (0028,0030)
  double row_spacing = 0;     // first value of (0028,0030)
  double slice_location = 0;
  double position_x = 0;  // (0020,0032); all 0 unless it has three values
  double position_y = 0;
  double position_z = 0;
  VEK_WString image_orientation;  // (0020,0037), whole text
  uint32_t slice_location_present = 0;
  VEK_DICOMDIRRecord common;
  const VEK_DICOMDIRSeries* parent_series = nullptr;
  const VEK_DICOMDIRStudy* parent_study = nullptr;
  const VEK_DICOMDIRPatient* parent_patient = nullptr;
};

struct VEK_DICOMDIRSeries {
  explicit VEK_DICOMDIRSeries(VEK_Manager* manager)
      : modality(manager),
        series_description(manager),
        series_instance_uid(manager),
        series_date(manager),
        series_time(manager),
        body_part_examined(manager),
        frame_of_reference_uid(manager),
        convolution_kernel(manager),
        photometric_interpretation(manager),
        common(manager),
        images(manager) {}

  VEK_WString modality;
  VEK_WString series_description;
  VEK_WString series_instance_uid;
  int32_t series_number = 0;  // (0020,0011), signed as Instance Number
  VEK_WString series_date;
  VEK_WString series_time;
  VEK_WString body_part_examined;
  VEK_WString frame_of_reference_uid;
  double kvp = 0;
  double tube_current = 0;  // (0018,1151)
  VEK_WString convolution_kernel;
  double slice_thickness = 0;
  double column_spacing = 0;
  double row_spacing = 0;
  uint32_t columns = 0;
  uint32_t rows = 0;
  VEK_WString photometric_interpretation;
  uint32_t number_of_frames = 0;
  VEK_DICOMDIRRecord common;
  VEK_Vector<VEK_DICOMDIRImage> images;
  const VEK_DICOMDIRPatient* parent_patient = nullptr;
  const VEK_DICOMDIRStudy* parent_study = nullptr;
};

struct VEK_DICOMDIRStudy {
  explicit VEK_DICOMDIRStudy(VEK_Manager* manager)
      : study_instance_uid(manager),
        study_date(manager),
        study_time(manager),
        study_description(manager),
        patient_age(manager),
        study_id(manager),
        modalities_in_study(manager),
        accession_number(manager),
        body_part_examined(manager),
        common(manager),
        series(manager) {}

  VEK_WString study_instance_uid;
  VEK_WString study_date;
  VEK_WString study_time;
  VEK_WString study_description;
  VEK_WString patient_age;
  VEK_WString study_id;
  VEK_WString modalities_in_study;
  VEK_WString accession_number;
  VEK_WString body_part_examined;
  VEK_DICOMDIRRecord common;
  VEK_Vector<VEK_DICOMDIRSeries> series;
  const VEK_DICOMDIRPatient* parent_patient = nullptr;
};

struct VEK_DICOMDIRPatient {
  explicit VEK_DICOMDIRPatient(VEK_Manager* manager)
      : patient_name(manager), patient_id(manager), patient_sex(manager), common(manager), studies(manager) {}

  VEK_WString patient_name;
  VEK_WString patient_id;
  VEK_WString patient_sex;
  VEK_DICOMDIRRecord common;
  VEK_Vector<VEK_DICOMDIRStudy> studies;
};

class VEK_DICOMDIRInfo : public VEK_Utility, public VEK_DICOMTagObj {
 public:
  explicit VEK_DICOMDIRInfo(VEK_Manager* manager);
  ~VEK_DICOMDIRInfo() override = default;

  // Parses a DICOMDIR from the storage's position and builds the records. On failure the
  // storage goes back to where it stood when the parse failed; records read so far stay.
  virtual bool load(VEK_InputStorage* storage, VEK_Vector<VEK_DICOMTypes::CharacterSet> sets);
  virtual bool load(VEK_InputStorage* storage);

  VEK_Vector<VEK_WString> get_string_list() const { return file_ids; }
  // Once *stop is nonzero, a load under way fails at its next record: a caller that no longer
  // wants the answer need not wait for a large directory to be walked.
  void set_stop(const std::atomic<int32_t>* stop) { stop_ = stop; }
  // false: a load builds the tree alone and leaves file_ids and the all_ lists empty, so
  // that no record is held twice; each record is then read from its item a second time.
  void set_record_order_kept(bool kept) { record_order_kept_ = kept; }
  // Records of the four levels the last load read, whether kept in record order or not.
  uint64_t records_read() const { return records_read_; }
  // At most this many records of the four levels are read; those after them are left out as
  // if the sequence ended there, and records_left_out() says so.
  void set_record_limit(uint64_t limit) { record_limit_ = limit; }
  bool records_left_out() const { return records_left_out_; }
  // Which left them out, the record limit or memory (or both, one after the other).
  bool records_left_out_at_limit() const { return left_out_at_limit_; }
  bool records_left_out_for_memory() const { return left_out_for_memory_; }
  // At most bytes of the manager's memory for the parsed elements, the rest of its budget
  // left for the records; 0: no share of their own. With a share, memory refused while either
  // is read leaves the records after out, as the record limit does, instead of failing the load.
  void set_element_limit(uint64_t bytes) { element_limit_ = bytes; }
  // Only what the records' fields come from is read, with the few elements a viewer reads
  // of a record's tag beside them (its character set, birth date, age and frame count), and of
  // those only values of at most bytes, of a longer text its first bytes (it reads cut, as a
  // bounded read of the whole would): the rest (icons, other long or private values) stays in
  // the source unread, costs no memory and reads as absent. 0: every element is read.
  void set_record_fields_only(uint32_t bytes) { value_length_limit_ = bytes; }

  // The file IDs of the image records kept, in record order.
  VEK_Vector<VEK_WString> file_ids;
  VEK_Vector<VEK_DICOMDIRPatient> patients;
  // Into the tree, in tree order; valid while this object lives and is not loaded again.
  VEK_Vector<const VEK_DICOMDIRPatient*> patient_pointers;
  VEK_Vector<const VEK_DICOMDIRStudy*> study_pointers;
  VEK_Vector<const VEK_DICOMDIRSeries*> series_pointers;
  VEK_Vector<const VEK_DICOMDIRImage*> image_pointers;
  // Every record of a level in record order, without children.
  VEK_Vector<VEK_DICOMDIRStudy> all_studies;
  VEK_Vector<VEK_DICOMDIRSeries> all_series;
  VEK_Vector<VEK_DICOMDIRImage> all_images;

 protected:
  bool read_dir();

 private:
  // The steps of read_dir, over what they share.
  struct ReadState;
  void count_records(ReadState& s, uint32_t (&types)[4]) const;
  bool reserve_records(ReadState& s);
  int collect_record(ReadState& s, uint32_t i);
  bool collect_records(ReadState& s);
  bool link_by_offsets(ReadState& s);
  void link_by_stream(ReadState& s);
  bool build_tree(ReadState& s);
  bool build_patient(ReadState& s, uint32_t p);
  bool cut_for_memory(ReadState& s, uint32_t p);
  bool left_out_for_memory(ReadState& s);
  bool point_records();
  bool load_common(VEK_InputStorage* storage, const VEK_Vector<VEK_DICOMTypes::CharacterSet>* sets);
  void clear_records();
  bool stopped() const { return stop_ != nullptr && stop_->load(std::memory_order_relaxed) != 0; }

  const std::atomic<int32_t>* stop_ = nullptr;
  bool record_order_kept_ = true;
  uint64_t records_read_ = 0;
  uint64_t record_limit_ = UINT64_MAX;
  uint64_t element_limit_ = 0;
  uint32_t value_length_limit_ = 0;
  bool records_left_out_ = false;
  bool left_out_at_limit_ = false;
  bool left_out_for_memory_ = false;
};
