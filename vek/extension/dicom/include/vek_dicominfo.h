#pragma once
// The image information of a DICOM file: an image header for the pixel readers, where
// every frame lies in the stream, and typed access to the file's elements.

#include <cstdint>

#include "vek_dicomframetable.h"
#include "vek_dicomtagobj.h"
#include "vek_formatinfo.h"

class VEK_DICOMInfo : public VEK_FormatInfo, public VEK_DICOMTagObj {
 public:
  explicit VEK_DICOMInfo(VEK_Manager* manager);
  ~VEK_DICOMInfo() override = default;

  const char* format_name() const override { return "dicom"; }

  // Becomes what other loaded, sharing its dataset, without parsing again: a header parsed on
  // one thread is handed to another. other's manager must outlive this object's use of the
  // dataset. False, not loaded, when other is not loaded or memory runs out.
  bool take(const VEK_DICOMInfo& other);
  // Back to not loaded, its share of the dataset let go.
  void unload();

  // Copies of one frame's fragment positions and lengths; empty past the last frame.
  VEK_Vector<unsigned int> get_frame_positions(uint32_t frame) const;
  VEK_Vector<unsigned int> get_frame_lengths(uint32_t frame) const;

  uint8_t has_palette() const { return has_palette_; }
  uint32_t little_endian() const { return little_endian_; }
  uint8_t planar_configuration() const { return planar_configuration_; }
  uint32_t frame_count() const { return frame_count_; }
  // Stream positions are counted from where the storage stood when loading began.
  uint32_t pixel_data_position() const { return pixel_data_position_; }
  uint32_t pixel_data_size() const { return pixel_data_size_; }
  const VEK_DICOMFrameTable& frames() const { return frames_; }
  uint8_t multi_fragment_frames() const { return multi_fragment_frames_; }
  // Loads after this keep at most bytes of the manager's memory for the parsed elements and
  // stop there as a file cut short would, keeping the items read whole (a document shown as
  // far as it fits); elements_capped() says whether the last load stopped so. 0: no limit.
  void set_element_limit(uint64_t bytes) { element_limit_ = bytes; }
  bool elements_capped() const { return elements_capped_; }
  uint8_t has_pixel_data() const { return has_pixel_data_; }
  // 0 native, 1 JPEG lossy, 2 JPEG lossless, 3 RLE.
  uint32_t compression_kind() const { return compression_kind_; }
  const VEK_DataType* pixel_data_type() const { return pixel_data_type_; }
  // 0 implicit LE, 1 explicit LE, 3 explicit BE, 4/5 JPEG baseline/extended,
  // 11/21 JPEG lossless (process 14 / first-order prediction), 31 RLE.
  uint32_t compression_code() const { return compression_code_; }

 protected:
  bool format_load(VEK_InputStorage* storage) override;

 private:
  void clear_fields();

  uint8_t has_palette_ = 0;
  uint32_t little_endian_ = 1;
  uint8_t planar_configuration_ = 0;
  uint32_t frame_count_ = 0;
  uint32_t pixel_data_position_ = 0;
  uint32_t pixel_data_size_ = 0;
  VEK_DICOMFrameTable frames_;
  uint8_t multi_fragment_frames_ = 0;
  uint8_t has_pixel_data_ = 0;
  uint32_t compression_kind_ = 0;
  const VEK_DataType* pixel_data_type_;
  uint32_t compression_code_ = 0;
  uint64_t element_limit_ = 0;
  bool elements_capped_ = false;
};
