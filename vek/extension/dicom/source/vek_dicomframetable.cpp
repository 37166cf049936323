#include "vek_dicomframetable.h"

#include <algorithm>

VEK_DICOMFrameTable::VEK_DICOMFrameTable(VEK_Manager* manager)
    : positions_(manager), lengths_(manager), first_fragment_(manager), crowded_(manager) {}

void VEK_DICOMFrameTable::clear() {
  kind_ = Kind::fragments;
  start_ = size_ = frames_ = 0;
  image_bits_ = 0;
  positions_.clear();
  lengths_.clear();
  first_fragment_.clear();
  crowded_.clear();
}

bool VEK_DICOMFrameTable::assign(const VEK_DICOMFrameTable& other) {
  kind_ = other.kind_;
  start_ = other.start_;
  size_ = other.size_;
  image_bits_ = other.image_bits_;
  frames_ = other.frames_;
  positions_ = other.positions_;
  lengths_ = other.lengths_;
  first_fragment_ = other.first_fragment_;
  crowded_ = other.crowded_;
  // A copy that failed leaves fewer entries.
  if (positions_.size() == other.positions_.size() && lengths_.size() == other.lengths_.size() &&
      first_fragment_.size() == other.first_fragment_.size() && crowded_.size() == other.crowded_.size())
    return true;
  clear();
  return false;
}

void VEK_DICOMFrameTable::set_native(uint32_t start, uint32_t size, uint32_t frames) {
  clear();
  kind_ = Kind::native;
  start_ = start;
  size_ = size;
  frames_ = frames;
}

void VEK_DICOMFrameTable::set_bit_packed(uint32_t start, uint32_t length, uint64_t image_bits, uint32_t frames) {
  clear();
  kind_ = Kind::bit_packed;
  start_ = start;
  size_ = length;
  image_bits_ = image_bits;
  frames_ = frames;
}

bool VEK_DICOMFrameTable::reserve(uint32_t fragments, uint32_t frames) {
  return positions_.reserve(fragments) && lengths_.reserve(fragments) && first_fragment_.reserve(frames);
}

bool VEK_DICOMFrameTable::add_frame(uint32_t position, uint32_t length) {
  if (kind_ != Kind::fragments || !first_fragment_.push_back(positions_.size())) return false;
  if (add_fragment(position, length)) return true;
  first_fragment_.resize(first_fragment_.size() - 1);
  return false;
}

bool VEK_DICOMFrameTable::add_fragment(uint32_t position, uint32_t length) {
  if (kind_ != Kind::fragments || first_fragment_.empty()) return false;
  const uint32_t frame = first_fragment_.size() - 1;
  if (positions_.size() - first_fragment_[frame] >= VEK_DICOM_MAX_FRAGMENTS_PER_FRAME)
    return (!crowded_.empty() && crowded_[crowded_.size() - 1] == frame) || crowded_.push_back(frame);
  if (!positions_.push_back(position)) return false;
  if (lengths_.push_back(length)) return true;
  positions_.resize(lengths_.size());
  return false;
}

uint32_t VEK_DICOMFrameTable::size() const { return kind_ == Kind::fragments ? first_fragment_.size() : frames_; }

uint32_t VEK_DICOMFrameTable::fragment_count(uint32_t frame) const {
  if (frame >= size()) return 0;
  if (kind_ != Kind::fragments) return 1;
  const uint32_t end = frame + 1 < first_fragment_.size() ? first_fragment_[frame + 1] : positions_.size();
  return end - first_fragment_[frame];
}

bool VEK_DICOMFrameTable::crowded(uint32_t frame) const {
  return std::binary_search(crowded_.begin(), crowded_.end(), frame);
}

bool VEK_DICOMFrameTable::fragment(uint32_t frame, uint32_t i, uint32_t& position, uint32_t& length) const {
  if (i >= fragment_count(frame)) return false;
  switch (kind_) {
    case Kind::native:
      position = uint32_t(start_ + uint64_t(frame) * size_);
      length = size_;
      return true;
    case Kind::bit_packed: {
      const uint64_t first = uint64_t(frame) * image_bits_;
      const uint64_t begin = first / 8;
      const uint64_t end = std::min<uint64_t>((first + image_bits_ + 7) / 8, size_);
      position = uint32_t(start_ + begin);
      length = uint32_t(end > begin ? end - begin : 0);
      return true;
    }
    case Kind::fragments:
      position = positions_[first_fragment_[frame] + i];
      length = lengths_[first_fragment_[frame] + i];
      return true;
  }
  return false;
}

uint64_t VEK_DICOMFrameTable::held_bytes() const {
  return sizeof(uint32_t) *
         (uint64_t(positions_.capacity()) + lengths_.capacity() + first_fragment_.capacity() + crowded_.capacity());
}
