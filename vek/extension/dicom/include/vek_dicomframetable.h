#pragma once
// Where each frame of a DICOM file lies in the stream, at a fixed small cost a frame: native
// frames by arithmetic from the value's start, encapsulated ones as one flat list of fragments
// with the index of each frame's first fragment.

#include <cstdint>

#include "vek_vector.h"

// The most fragments one frame may have. Real writers split a frame into a few, or a few
// thousand; past this the frame cannot be read, and only this many of its fragments are kept,
// so that a file of empty items costs no memory for each.
constexpr uint32_t VEK_DICOM_MAX_FRAGMENTS_PER_FRAME = 65536;

class VEK_DICOMFrameTable {
 public:
  explicit VEK_DICOMFrameTable(VEK_Manager* manager);

  void clear();
  // Copies another table; false (this one cleared) when memory runs out.
  bool assign(const VEK_DICOMFrameTable& other);

  // frames frames of size bytes each, the first at start.
  void set_native(uint32_t start, uint32_t size, uint32_t frames);
  // frames frames of image_bits bits each, running on from bit to bit through a value of
  // length bytes at start: a frame's bytes are those its bits touch.
  void set_bit_packed(uint32_t start, uint32_t length, uint64_t image_bits, uint32_t frames);
  // A new frame that begins with this fragment, and a further fragment of the last frame
  // (past the bound, only counted as too many).
  bool add_frame(uint32_t position, uint32_t length);
  bool add_fragment(uint32_t position, uint32_t length);
  // Room for this many fragments and frames, so that filling copies nothing again.
  bool reserve(uint32_t fragments, uint32_t frames);

  uint32_t size() const;
  bool empty() const { return size() == 0; }
  // Fragments of one frame; 0 past the last frame.
  uint32_t fragment_count(uint32_t frame) const;
  // The frame had more fragments than the table keeps: it cannot be read.
  bool crowded(uint32_t frame) const;
  // Fragment i of frame: false past either end.
  bool fragment(uint32_t frame, uint32_t i, uint32_t& position, uint32_t& length) const;
  // Bytes the table holds itself, whatever the frame count of a native layout.
  uint64_t held_bytes() const;

 private:
  enum class Kind : uint8_t { fragments, native, bit_packed };
  Kind kind_ = Kind::fragments;
  uint32_t start_ = 0;
  uint32_t size_ = 0;  // native: bytes a frame; bit-packed: the value's bytes
  uint64_t image_bits_ = 0;
  uint32_t frames_ = 0;  // native and bit-packed
  VEK_Vector<uint32_t> positions_;
  VEK_Vector<uint32_t> lengths_;
  VEK_Vector<uint32_t> first_fragment_;  // per frame, the index of its first fragment
  VEK_Vector<uint32_t> crowded_;         // frames past the fragment bound, ascending
};
