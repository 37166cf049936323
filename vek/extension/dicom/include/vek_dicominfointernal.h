#pragma once
// The parsed dataset behind the DICOM tag objects, and everything the image information
// decides from it: geometry, compression, colour type, palette and where each frame lies.

#include <cstdint>
#include <memory_resource>
#include <utility>

#include "pyr/pyrstring.h"
#include "vek_dicomframetable.h"
#include "vek_dicomtagobj.h"
#include "vek_header.h"
#include "vek_object.h"
#include "vek_storage.h"
#include "vek_vector.h"

class PyrDicomDataset;
class PyrDicomDataElement;
class PyrFragmentList;
class VEK_DICOMStream;

// An element's value length as the readers see it: 0 for sequences and undefined lengths.
uint32_t vek_dicom_value_length(const PyrDicomDataElement* element);
// A count such as Number of Frames, read whole: one past uint32_t is past any file's frames and
// reads UINT32_MAX, as a large count does; false when it is no value or below 0.
bool vek_dicom_count(const PyrDicomDataElement* element, uint32_t& out);

class VEK_DICOMInfoInternal : public VEK_Object {
 public:
  explicit VEK_DICOMInfoInternal(VEK_Manager* manager);
  ~VEK_DICOMInfoInternal() override;

  // option 0: odd value lengths are padded to even when values are stored.
  bool initiate(uint8_t option);
  bool terminate() override;

  // Parses the storage. part10: expect the preamble and "DICM" (a raw dataset is accepted
  // too); without it the stream is a raw dataset in transfer_syntax (null: implicit little
  // endian). Positions found are counted from where the storage stood.
  bool decode_start(VEK_InputStorage* storage, uint8_t part10, const char16_t* transfer_syntax);
  // At most bytes of the manager's memory for the parsed elements (0: the manager's budget
  // alone). A directory read past it keeps the records it read whole, as a file cut short
  // would, and elements_capped() says so; so does any read when keep_read is set (a document
  // shown as far as it was read); any other read fails as out of memory.
  void set_element_limit(uint64_t bytes, bool keep_read = false) {
    elements_.set_limit(bytes);
    keep_capped_ = keep_read;
  }
  bool elements_capped() const { return capped_; }
  // For a reader of a few short values: values longer than value_length (0: none) stay in the
  // source unread (of a text, all but its first value_length bytes), and so do the elements in
  // a top-level sequence's items whose tags (group << 16 | element, ascending, living as long as
  // this object) are not among item_tags (null: every one is read).
  void set_left_in_source(uint32_t value_length, const uint32_t* item_tags, uint32_t count) {
    kept_value_length_ = value_length;
    item_tags_ = item_tags;
    item_tag_count_ = count;
  }

  // Pixel data position and size, then read_header_info and correct_color.
  bool read_info(const char16_t* transfer_syntax);
  // Geometry, data type, compression and colour type.
  bool read_header_info(const char16_t* transfer_syntax = nullptr);
  bool get_pixel_offset();
  bool get_info_compression_type(const char16_t* transfer_syntax);
  bool get_info_color_type();
  bool correct_color();
  bool get_info_palette();
  // One colour's segmented table into n entries; false when the segments are broken or
  // write past n. segment_steps() counts the segments the last walk visited: at most 2n
  // plus the value's units, whatever counts the segments hold.
  bool expand_segments16(uint16_t* output, uint32_t n, const PyrDicomDataElement* data);
  bool expand_segments8(uint8_t* output, uint32_t n, const PyrDicomDataElement* data);
  uint64_t segment_steps() const { return segment_steps_; }

  PyrDicomDataset* dataset() const { return dataset_; }
  PyrDicomDataElement* root() const { return root_; }

  const VEK_DICOMFrameTable& frames() const { return frames_; }
  uint8_t multi_fragment_frames() const { return multi_fragment_; }
  uint32_t columns() const { return columns_; }
  uint32_t rows() const { return rows_; }
  uint16_t samples_per_pixel() const { return samples_; }
  uint16_t bits_allocated() const { return bits_allocated_; }
  uint16_t bits_stored() const { return bits_stored_; }
  uint16_t high_bit() const { return high_bit_; }
  uint32_t compression_kind() const { return compression_kind_; }
  const VEK_EncodeType* encode_type() const { return encode_type_; }
  const VEK_ColorType* color_type() const { return color_type_; }
  const VEK_DataType* data_type() const { return data_type_; }
  const VEK_Header::VEK_Palette& palette() const { return palette_; }
  uint32_t little_endian() const { return little_endian_; }
  uint8_t planar() const { return planar_; }
  uint8_t has_palette() const { return has_palette_; }
  uint32_t frame_count() const { return frame_count_; }
  uint32_t pixel_data_position() const { return pixel_data_position_; }
  uint32_t pixel_data_size() const { return pixel_data_size_; }
  uint32_t compression_code() const { return compression_code_; }

 private:
  void reset();
  // Photometric Interpretation, empty when absent.
  PyrString photometric_interpretation() const;
  bool add_frame(uint32_t position, uint32_t length);
  bool add_fragment(uint32_t position, uint32_t length);
  bool make_native_frames(const PyrDicomDataElement* pixel, uint32_t frames);
  bool make_frame_per_fragment(const PyrFragmentList& list);
  bool make_single_frame(const PyrFragmentList& list);
  bool make_frames_by_fragment_starts(const PyrFragmentList& list, uint32_t frames, bool& made);
  bool group_fragments_by_offset_table(const PyrDicomDataElement* table, const PyrFragmentList& list, uint32_t entries,
                                       uint32_t served);
  // The frames found from the fragments alone; line names the step that failed.
  bool frames_by_fragments(const PyrFragmentList& list, uint32_t frames, uint32_t& line);
  template <class T>
  bool expand_segments(T* output, uint32_t n, const PyrDicomDataElement* data);

  VEK_DICOMFrameTable frames_;
  uint8_t multi_fragment_ = 0;
  uint32_t columns_ = 0;
  uint32_t rows_ = 0;
  uint16_t samples_ = 0;
  uint16_t bits_allocated_ = 0;
  uint16_t bits_stored_ = 0;
  uint16_t high_bit_ = 0;
  uint32_t compression_kind_ = 0;
  const VEK_EncodeType* encode_type_;
  const VEK_ColorType* color_type_;
  const VEK_DataType* data_type_;
  VEK_Header::VEK_Palette palette_;
  uint32_t little_endian_ = 1;
  uint8_t planar_ = 0;
  uint8_t has_palette_ = 0;
  uint32_t frame_count_ = 0;
  uint32_t pixel_data_position_ = 0;
  uint32_t pixel_data_size_ = 0;
  uint32_t compression_code_ = 0;
  uint64_t segment_steps_ = 0;
  bool keep_capped_ = false;
  // The dataset's elements through the manager, so that its budget counts them too.
  class ManagerResource : public std::pmr::memory_resource {
   public:
    explicit ManagerResource(VEK_Manager* manager) : manager_(manager) {}
    // Whether memory was refused since the last call: the dataset may have gone on without it.
    bool take_refused() { return std::exchange(refused_, false); }
    // Whether the refusal came from the limit below rather than from the manager.
    bool take_capped() { return std::exchange(capped_, false); }
    void set_limit(uint64_t bytes) { limit_ = bytes; }

   private:
    void* do_allocate(size_t bytes, size_t alignment) override;
    void do_deallocate(void* pointer, size_t, size_t) override;
    bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override { return this == &other; }
    VEK_Manager* manager_;
    uint64_t limit_ = 0;
    uint64_t held_ = 0;
    bool refused_ = false;
    bool capped_ = false;
  };
  ManagerResource elements_;
  bool capped_ = false;
  uint32_t kept_value_length_ = 0;
  const uint32_t* item_tags_ = nullptr;
  uint32_t item_tag_count_ = 0;
  PyrDicomDataset* dataset_ = nullptr;
  PyrDicomDataElement* root_ = nullptr;
  VEK_DICOMStream* stream_ = nullptr;  // the storage being parsed, during decode_start only
};
