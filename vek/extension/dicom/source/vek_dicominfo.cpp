#include "vek_dicominfo.h"

#include "pyr/pyrdicomdataelement.h"
#include "vek_dicominfointernal.h"

namespace {

// One frame's fragment positions (or lengths) as a list of their own.
VEK_Vector<unsigned int> fragment_list(VEK_Manager* manager, const VEK_DICOMFrameTable& frames, uint32_t frame,
                                       bool positions) {
  VEK_Vector<unsigned int> list(manager);
  const uint32_t n = frames.fragment_count(frame);
  if (!list.reserve(n)) return list;
  for (uint32_t i = 0; i < n; ++i) {
    uint32_t position = 0, length = 0;
    frames.fragment(frame, i, position, length);
    list.push_back(positions ? position : length);
  }
  return list;
}

}  // namespace

VEK_DICOMInfo::VEK_DICOMInfo(VEK_Manager* manager)
    : VEK_FormatInfo(manager), VEK_DICOMTagObj(manager), frames_(manager), pixel_data_type_(VEK_DataType::u_integer) {}

void VEK_DICOMInfo::clear_fields() {
  has_palette_ = 0;
  little_endian_ = 1;
  planar_configuration_ = 0;
  frame_count_ = 0;
  pixel_data_position_ = pixel_data_size_ = 0;
  frames_.clear();
  multi_fragment_frames_ = 0;
  has_pixel_data_ = 0;
  compression_kind_ = 0;
  pixel_data_type_ = VEK_DataType::u_integer;
  compression_code_ = 0;
  elements_capped_ = false;
}

VEK_Vector<unsigned int> VEK_DICOMInfo::get_frame_positions(uint32_t frame) const {
  return fragment_list(tag_manager(), frames_, frame, true);
}

VEK_Vector<unsigned int> VEK_DICOMInfo::get_frame_lengths(uint32_t frame) const {
  return fragment_list(tag_manager(), frames_, frame, false);
}

void VEK_DICOMInfo::unload() {
  loaded(false);
  clear_fields();
  release_dataset();
}

bool VEK_DICOMInfo::take(const VEK_DICOMInfo& other) {
  if (this == &other) return loaded();
  loaded(false);
  clear_fields();
  if (!other.loaded() || !VEK_Header::operator=(other) || !frames_.assign(other.frames_)) return false;
  VEK_DICOMTagObj::operator=(other);
  has_palette_ = other.has_palette_;
  little_endian_ = other.little_endian_;
  planar_configuration_ = other.planar_configuration_;
  frame_count_ = other.frame_count_;
  pixel_data_position_ = other.pixel_data_position_;
  pixel_data_size_ = other.pixel_data_size_;
  multi_fragment_frames_ = other.multi_fragment_frames_;
  has_pixel_data_ = other.has_pixel_data_;
  compression_kind_ = other.compression_kind_;
  pixel_data_type_ = other.pixel_data_type_;
  compression_code_ = other.compression_code_;
  loaded(true);
  return true;
}

bool VEK_DICOMInfo::format_load(VEK_InputStorage* storage) {
  const int32_t start = storage->tell();
  clear_fields();
  // Always a dataset of its own: tag objects handed out before keep the one they share.
  if (!create_dataset()) {
    storage->seek(start);
    return false;
  }
  if (element_limit_ != 0) internals()->set_element_limit(element_limit_, true);
  if (!internals()->decode_start(storage, 1, nullptr)) {
    storage->seek(start);
    return false;
  }
  elements_capped_ = internals()->elements_capped();
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
  if (!frames_.assign(in.frames())) {
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
