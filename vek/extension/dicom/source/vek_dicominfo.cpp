#include "vek_dicominfo.h"

#include "pyr/pyrdicomdataelement.h"
#include "vek_dicominfointernal.h"

namespace {

// A copy that failed part way leaves fewer entries somewhere.
bool same_shape(const VEK_FrameList& a, const VEK_FrameList& b) {
  if (a.size() != b.size()) return false;
  for (uint32_t i = 0; i < a.size(); ++i)
    if (a[i].size() != b[i].size()) return false;
  return true;
}

}  // namespace

VEK_DICOMInfo::VEK_DICOMInfo(VEK_Manager* manager)
    : VEK_FormatInfo(manager),
      VEK_DICOMTagObj(manager),
      frame_positions_(manager),
      frame_lengths_(manager),
      pixel_data_type_(VEK_DataType::u_integer) {}

void VEK_DICOMInfo::clear_fields() {
  has_palette_ = 0;
  little_endian_ = 1;
  planar_configuration_ = 0;
  frame_count_ = 0;
  pixel_data_position_ = pixel_data_size_ = 0;
  frame_positions_.clear();
  frame_lengths_.clear();
  multi_fragment_frames_ = 0;
  has_pixel_data_ = 0;
  compression_kind_ = 0;
  pixel_data_type_ = VEK_DataType::u_integer;
  compression_code_ = 0;
}

VEK_Vector<unsigned int> VEK_DICOMInfo::get_frame_positions(uint32_t frame) const {
  return frame < frame_positions_.size() ? frame_positions_[frame] : VEK_Vector<unsigned int>(tag_manager());
}

VEK_Vector<unsigned int> VEK_DICOMInfo::get_frame_lengths(uint32_t frame) const {
  return frame < frame_lengths_.size() ? frame_lengths_[frame] : VEK_Vector<unsigned int>(tag_manager());
}

bool VEK_DICOMInfo::format_load(VEK_InputStorage* storage) {
  const int32_t start = storage->tell();
  clear_fields();
  // Always a dataset of its own: tag objects handed out before keep the one they share.
  if (!create_dataset() || !internals()->decode_start(storage, 1, nullptr)) {
    storage->seek(start);
    return false;
  }
  const VEK_DICOMInfoInternal& in = *internals();
  if (in.root()->FindChild(0x7FE0, 0x0010) == nullptr) return true;

  width(in.columns());
  height(in.rows());
  channels(in.samples_per_pixel());
  bits(in.bits_allocated());
  color_type(in.color_type());
  encode_type(in.encode_type());
  // Compressed pixels decode unsigned; the reader restores the sign.
  data_type(in.compression_kind() == 0 ? in.data_type() : VEK_DataType::u_integer);
  if (in.has_palette() != 0 && !palette(in.palette())) {
    storage->seek(start);
    return false;
  }
  frame_positions_ = in.frame_positions();
  frame_lengths_ = in.frame_lengths();
  if (!same_shape(frame_positions_, in.frame_positions()) || !same_shape(frame_lengths_, in.frame_lengths())) {
    storage->seek(start);
    return false;
  }
  has_palette_ = in.has_palette();
  little_endian_ = in.little_endian();
  planar_configuration_ = in.planar();
  frame_count_ = in.frame_count();
  pixel_data_position_ = in.pixel_data_position();
  pixel_data_size_ = in.pixel_data_size();
  multi_fragment_frames_ = in.multi_fragment_frames();
  compression_kind_ = in.compression_kind();
  pixel_data_type_ = in.data_type();
  compression_code_ = in.compression_code();
  has_pixel_data_ = 1;
  return true;
}
