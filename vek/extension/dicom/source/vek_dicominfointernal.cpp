#include "vek_dicominfointernal.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <new>
#include <string_view>

#include "pyr/pyrdicomdataset.h"
#include "vek_errorhandler.h"

namespace {

constexpr const char* kFile = "extension/dicom/source/vek_dicominfointernal.cpp";
constexpr const char* kDecodeStart = "VEK_DICOMInfoInternal::decode_start()";
constexpr const char* kPixelOffset = "VEK_DICOMInfoInternal::get_pixel_offset()";
constexpr const char* kCompression = "VEK_DICOMInfoInternal::get_info_compression_type()";
constexpr const char* kColor = "VEK_DICOMInfoInternal::get_info_color_type()";
constexpr const char* kCorrect = "VEK_DICOMInfoInternal::correct_color()";
constexpr const char* kPalette = "VEK_DICOMInfoInternal::get_info_palette()";

constexpr uint32_t kOwnVR = kPyrVRUnset;
// Positions and lengths are handed on as 32-bit values to storages that address 31 bits.
constexpr uint64_t kPositionLimit = uint64_t(1) << 31;

uint32_t le32(const uint8_t* p) {
  return p[0] | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

bool encapsulated(const PyrDicomDataElement* pixel) {
  return pixel->GetLength() == kPyrUndefinedLength || pixel->GetChildCount() != 0 || vek_dicom_value_length(pixel) == 0;
}

// A text value without the padding a writer may leave after it.
std::u16string_view trimmed(const PyrString& text) {
  std::u16string_view v = text.View();
  while (!v.empty() && (v.back() == u' ' || v.back() == u'\0')) v.remove_suffix(1);
  return v;
}

}  // namespace

// Compared with terms of a code string's length: a longer value is read no further.
PyrString VEK_DICOMInfoInternal::photometric_interpretation() const {
  PyrString text;
  if (!PyrSucceeded(root_->GetChildShortString(0x0028, 0x0004, text, VEK_DICOM_CS_LENGTH, kOwnVR))) text.Release();
  return text;
}

uint32_t vek_dicom_value_length(const PyrDicomDataElement* element) {
  const uint32_t n = element->GetLength();
  return n == kPyrUndefinedLength || element->GetVR() == PyrVR::SQ ? 0 : n;
}

bool vek_dicom_count(const PyrDicomDataElement* element, uint32_t& out) {
  double count = 0;
  if (element == nullptr || element->GetDouble(count, kOwnVR, 0) != kPyrSuccess || !(count >= 0)) return false;
  out = count >= double(UINT32_MAX) ? UINT32_MAX : uint32_t(count);
  return true;
}

// The storage as the dataset reader sees it: reads go through a block buffer, so that the
// many small reads of element headers cost no system call each. Positions count from where
// the storage stood at the start.
class VEK_DICOMStream {
 public:
  explicit VEK_DICOMStream(VEK_InputStorage* storage) : storage_(storage), base_(storage->tell()), origin_(base_) {}

  static int32_t read(void* buffer, uint32_t, uint32_t, uint32_t count, void* user, uint8_t* end) {
    auto* self = static_cast<VEK_DICOMStream*>(user);
    const bool ok = self->take(static_cast<uint8_t*>(buffer), count);
    if (end != nullptr) *end = self->at_end() ? 1 : 0;
    return ok ? 0 : -1;
  }
  static int32_t seek(uint32_t, uint32_t, int32_t delta, void* user) {
    auto* self = static_cast<VEK_DICOMStream*>(user);
    return self->move(int64_t(self->origin_) + self->pos_ + delta) ? 0 : -1;
  }

  // n bytes at a position counted from the start; the reading position moves there.
  bool read_at(int64_t position, void* out, uint32_t n) {
    return move(base_ + position) && take(static_cast<uint8_t*>(out), n);
  }
  void rewind() {
    storage_->seek(static_cast<int32_t>(base_));
    origin_ = base_;
    pos_ = len_ = 0;
  }
  // Leaves the storage where the reader stopped.
  void settle() {
    if (pos_ < len_) storage_->skip(pos_ - len_);
    origin_ += pos_;
    pos_ = len_ = 0;
  }

 private:
  static constexpr int32_t kBlock = 4096;

  bool take(uint8_t* out, uint32_t count) {
    uint32_t done = 0;
    while (done < count) {
      if (pos_ == len_) {
        const uint32_t rest = count - done;
        if (rest >= uint32_t(kBlock)) {
          // Large values go straight to the caller.
          const int32_t want = rest > uint32_t(INT32_MAX) ? INT32_MAX : int32_t(rest);
          const int32_t got = storage_->read(out + done, want);
          origin_ += len_ + (got > 0 ? got : 0);
          pos_ = len_ = 0;
          if (got <= 0) return false;
          done += uint32_t(got);
          continue;
        }
        if (!fill()) return false;
      }
      const uint32_t n = std::min<uint32_t>(count - done, uint32_t(len_ - pos_));
      std::memcpy(out + done, block_ + pos_, n);
      pos_ += int32_t(n);
      done += n;
    }
    return true;
  }

  bool fill() {
    origin_ += len_;
    pos_ = len_ = 0;
    const int32_t got = storage_->read(block_, kBlock);
    if (got > 0) len_ = got;
    return len_ > 0;
  }

  bool at_end() { return pos_ == len_ && !fill(); }

  // To an absolute storage position, never before the start; true when reached.
  bool move(int64_t target) {
    if (target >= origin_ && target <= int64_t(origin_) + len_) {
      pos_ = int32_t(target - origin_);
      return true;
    }
    const int64_t goal = std::max<int64_t>(target, base_);
    const int64_t actual = int64_t(origin_) + len_;
    const int64_t step = std::clamp<int64_t>(goal - actual, INT32_MIN, INT32_MAX);
    const int32_t moved = storage_->skip(int32_t(step));
    origin_ = actual + moved;
    pos_ = len_ = 0;
    return origin_ == target;
  }

  VEK_InputStorage* storage_;
  int64_t base_;
  int64_t origin_;  // storage position of block_[0]; the storage stands at origin_ + len_
  int32_t pos_ = 0;
  int32_t len_ = 0;
  uint8_t block_[kBlock];
};

VEK_DICOMInfoInternal::VEK_DICOMInfoInternal(VEK_Manager* manager)
    : VEK_Object(manager),
      frames_(manager),
      encode_type_(VEK_EncodeType_unknown::instance()),
      color_type_(VEK_ColorType_none::instance()),
      data_type_(VEK_DataType::unknown),
      palette_(manager),
      elements_(manager) {}

VEK_DICOMInfoInternal::~VEK_DICOMInfoInternal() { terminate(); }

void* VEK_DICOMInfoInternal::ManagerResource::do_allocate(size_t bytes, size_t alignment) {
  if (limit_ != 0 && (bytes > limit_ || held_ > limit_ - bytes)) {
    capped_ = refused_ = true;
    throw std::bad_alloc();
  }
  // The manager's blocks are aligned for any scalar; a refusal ends the read as out of memory.
  void* p =
      alignment <= alignof(std::max_align_t) && bytes <= UINT32_MAX ? manager_->allocate(uint32_t(bytes)) : nullptr;
  if (p == nullptr) {
    refused_ = true;
    throw std::bad_alloc();
  }
  held_ += bytes;
  return p;
}

void VEK_DICOMInfoInternal::ManagerResource::do_deallocate(void* pointer, size_t bytes, size_t) {
  held_ -= bytes;
  manager_->free(pointer);
}

bool VEK_DICOMInfoInternal::initiate(uint8_t option) {
  void* memory = manager_->allocate(sizeof(PyrDicomDataset));
  if (memory == nullptr) return false;
  try {
    dataset_ = ::new (memory) PyrDicomDataset(nullptr, &elements_);
  } catch (...) {
    manager_->free(memory);
    vek_report(manager_, VEK_ERROR_MEMORY, "VEK_DICOMInfoInternal::initiate()", kFile, __LINE__);
    return false;
  }
  dataset_->SetKeepOddLengths(option != 0);
  root_ = dataset_->GetRoot();
  if (elements_.take_refused()) {
    vek_report(manager_, VEK_ERROR_MEMORY, "VEK_DICOMInfoInternal::initiate()", kFile, __LINE__);
    return false;
  }
  return root_ != nullptr;
}

bool VEK_DICOMInfoInternal::terminate() {
  if (dataset_ != nullptr) {
    dataset_->~PyrDicomDataset();
    manager_->free(dataset_);
  }
  dataset_ = nullptr;
  root_ = nullptr;
  return true;
}

void VEK_DICOMInfoInternal::reset() {
  frames_.clear();
  multi_fragment_ = 0;
  columns_ = rows_ = 0;
  samples_ = bits_allocated_ = bits_stored_ = high_bit_ = 0;
  compression_kind_ = 0;
  encode_type_ = VEK_EncodeType_unknown::instance();
  color_type_ = VEK_ColorType_none::instance();
  data_type_ = VEK_DataType::unknown;
  palette_.bits(0);
  palette_.channels(0);
  palette_.entries(0);
  palette_.value(nullptr, 0);
  little_endian_ = 1;
  planar_ = 0;
  has_palette_ = 0;
  frame_count_ = 0;
  pixel_data_position_ = pixel_data_size_ = 0;
  compression_code_ = 0;
}

bool VEK_DICOMInfoInternal::decode_start(VEK_InputStorage* storage, uint8_t part10, const char16_t* transfer_syntax) {
  if (storage == nullptr || storage->is_empty() || dataset_ == nullptr) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kDecodeStart, kFile, __LINE__);
    return false;
  }
  reset();
  elements_.take_refused();
  elements_.take_capped();
  capped_ = false;
  VEK_DICOMStream stream(storage);
  stream_ = &stream;
  bool ok = false;
  try {
    const PyrString syntax = transfer_syntax != nullptr ? PyrString(transfer_syntax) : PyrString();
    auto read = [&](PyrDicomDatasetOptions options) {
      // A frame of more fragments than that is not read: the list holds no more than that.
      options.fragmentsPerFrame = VEK_DICOM_MAX_FRAGMENTS_PER_FRAME;
      options.keptValueLength = kept_value_length_;
      options.itemTags = item_tags_;
      options.itemTagCount = item_tag_count_;
      dataset_->SetOptions(options);
      return dataset_->ReadFromCallbacks(&VEK_DICOMStream::read, &VEK_DICOMStream::seek, &stream, part10 != 0, syntax,
                                         1);
    };
    PyrDicomResult r = read(PyrDefaultDatasetOptions());
    if (r != kPyrSuccess && r != kPyrOutOfMemory && dataset_->GetUnSequenceRead()) {
      // Once more with the items of UN sequences in the enclosing encoding; without such a
      // sequence the read would only repeat itself, and memory refused, by the manager's budget
      // or by the system, would only be taken again.
      stream.rewind();
      PyrDicomDatasetOptions options = PyrDefaultDatasetOptions();
      options.unSequenceItemEncoding = 2;
      r = read(options);
    }
    if (r != kPyrSuccess && r != kPyrOutOfMemory) vek_report(manager_, VEK_WARNING_DATA, kDecodeStart, kFile, 202);
    root_ = dataset_->GetRoot();
    capped_ = elements_.take_capped();
    const bool refused = elements_.take_refused();
    if (capped_ && root_ != nullptr && (keep_capped_ || root_->FindChild(0x0004, 0x1220) != nullptr)) {
      // A directory, or a document its reader shows as far as it fits, past its share of
      // memory: the records or items read whole stand.
      vek_report(manager_, VEK_WARNING_DATA, kDecodeStart, kFile, __LINE__);
      ok = true;
    } else if (refused || root_ == nullptr || r == kPyrOutOfMemory) {
      vek_report(manager_, VEK_ERROR_MEMORY, kDecodeStart, kFile, __LINE__);
    } else if (root_->FindChild(0x7FE0, 0x0010) != nullptr) {
      ok = get_pixel_offset() && read_info(transfer_syntax);
    } else {
      ok = transfer_syntax != nullptr || root_->FindChild(0x0004, 0x1220) != nullptr ||
           root_->FindChild(0x0002, 0x0010) != nullptr || root_->FindChild(0x0002, 0x0002) != nullptr;
    }
  } catch (const std::bad_alloc&) {
    vek_report(manager_, VEK_ERROR_MEMORY, kDecodeStart, kFile, __LINE__);
    ok = false;
  } catch (...) {
    vek_report(manager_, VEK_ERROR_DATA, kDecodeStart, kFile, __LINE__);
    ok = false;
  }
  stream.settle();
  stream_ = nullptr;
  return ok;
}

bool VEK_DICOMInfoInternal::read_info(const char16_t* transfer_syntax) {
  pixel_data_position_ = static_cast<uint32_t>(dataset_->GetPixelDataStart());
  pixel_data_size_ = static_cast<uint32_t>(dataset_->GetPixelDataSize());
  return read_header_info(transfer_syntax) && correct_color();
}

bool VEK_DICOMInfoInternal::read_header_info(const char16_t* transfer_syntax) {
  columns_ = root_->GetChildULongOr(0x0028, 0x0011, 0, kOwnVR, 0);
  rows_ = root_->GetChildULongOr(0x0028, 0x0010, 0, kOwnVR, 0);
  samples_ = static_cast<uint16_t>(root_->GetChildULongOr(0x0028, 0x0002, 0, kOwnVR, 0));
  bits_allocated_ = static_cast<uint16_t>(root_->GetChildLongOr(0x0028, 0x0100, 0, kOwnVR, 0));
  bits_stored_ = static_cast<uint16_t>(root_->GetChildLongOr(0x0028, 0x0101, 0, kOwnVR, 0));
  high_bit_ = static_cast<uint16_t>(root_->GetChildLongOr(0x0028, 0x0102, 0, kOwnVR, 0));
  data_type_ =
      root_->GetChildLongOr(0x0028, 0x0103, 0, kOwnVR, 0) != 0 ? VEK_DataType::s_integer : VEK_DataType::u_integer;
  const bool compression = get_info_compression_type(transfer_syntax);
  return compression && get_info_color_type();
}

bool VEK_DICOMInfoInternal::get_info_compression_type(const char16_t* transfer_syntax) {
  PyrString text;
  if (transfer_syntax != nullptr) {
    text = PyrString(transfer_syntax);
  } else if (!PyrSucceeded(root_->GetChildShortString(0x0002, 0x0010, text, VEK_DICOM_UI_LENGTH, kOwnVR))) {
    text.Release();
  }
  const std::u16string_view uid = trimmed(text);
  struct Row {
    std::u16string_view uid;
    uint32_t kind;
    uint32_t code;
    const VEK_EncodeType* encode;
  };
  const VEK_EncodeType* raw = VEK_EncodeType_raw::instance();
  const VEK_EncodeType* jpeg = VEK_EncodeType_jpeg::instance();
  const Row rows[] = {
      {u"1.2.840.10008.1.2", 0, 0, raw},
      {u"", 0, 0, raw},
      {u"1.2.840.10008.1.2.1", 0, 1, raw},
      {u"1.2.840.10008.1.2.2", 0, 3, raw},
      {u"1.2.840.10008.1.2.4.50", 1, 4, jpeg},
      {u"1.2.840.10008.1.2.4.51", 1, 5, jpeg},
      {u"1.2.840.10008.1.2.4.57", 2, 11, jpeg},
      {u"1.2.840.10008.1.2.4.70", 2, 21, jpeg},
      {u"1.2.840.10008.1.2.5", 3, 31, VEK_EncodeType_pack_bits::instance()},
  };
  for (const Row& row : rows) {
    if (row.uid != uid) continue;
    compression_kind_ = row.kind;
    compression_code_ = row.code;
    encode_type_ = row.encode;
    if (row.code == 3) little_endian_ = 0;
    return true;
  }
  vek_report(manager_, VEK_ERROR_FORMAT, kCompression, kFile, 784);
  return false;
}

bool VEK_DICOMInfoInternal::get_info_color_type() {
  if (root_->GetChildLongOr(0x0028, 0x0006, 0, kOwnVR, 0) != 0) planar_ = 1;
  const PyrString text = photometric_interpretation();
  const std::u16string_view photometric = trimmed(text);
  if (photometric == u"MONOCHROME1") {
    color_type_ = VEK_ColorType_gray_reverse::instance();
  } else if (photometric == u"MONOCHROME2") {
    color_type_ = VEK_ColorType_gray::instance();
  } else if (photometric == u"PALETTE COLOR") {
    color_type_ = VEK_ColorType_s_rgb::instance();
    return get_info_palette();
  } else if (photometric == u"RGB") {
    color_type_ = VEK_ColorType_s_rgb::instance();
  } else if (photometric == u"HSV") {
    vek_report(manager_, VEK_ERROR_FORMAT, kColor, kFile, 822);
    return false;
  } else if (photometric == u"ARGB") {
    vek_report(manager_, VEK_ERROR_FORMAT, kColor, kFile, 826);
    return false;
  } else if (photometric == u"CMYK") {
    color_type_ = VEK_ColorType_cmyk::instance();
  } else if (photometric == u"YBR_FULL" || photometric == u"YBR_FULL_422" || photometric == u"YBR_PARTIAL_422" ||
             photometric == u"YBR_PARTIAL_420") {
    color_type_ = VEK_ColorType_ycbcr::instance();
  } else if (photometric.empty() || photometric == u"UNKNOWN") {
    color_type_ = VEK_ColorType_unknown::instance();
  } else {
    vek_report(manager_, VEK_ERROR_FORMAT, kColor, kFile, 849);
    return false;
  }
  return true;
}

bool VEK_DICOMInfoInternal::correct_color() {
  if (samples_ != 0) return true;
  if (color_type_ == VEK_ColorType_unknown::instance()) {
    vek_report(manager_, VEK_ERROR_FORMAT, kCorrect, kFile, 864);
    return false;
  }
  if (color_type_ == VEK_ColorType_gray::instance() || color_type_ == VEK_ColorType_gray_reverse::instance()) {
    samples_ = 1;
  } else if (color_type_ == VEK_ColorType_s_rgb::instance() || color_type_ == VEK_ColorType_ycbcr::instance()) {
    samples_ = 3;
  } else if (color_type_ == VEK_ColorType_cmyk::instance()) {
    samples_ = 4;
  } else {
    vek_report(manager_, VEK_ERROR_FORMAT, kCorrect, kFile, 882);
    return false;
  }
  return true;
}

// ---- where the frames lie ---------------------------------------------------------------

bool VEK_DICOMInfoInternal::add_frame(uint32_t position, uint32_t length) {
  return uint64_t(position) + length < kPositionLimit && frames_.add_frame(position, length);
}

bool VEK_DICOMInfoInternal::add_fragment(uint32_t position, uint32_t length) {
  return uint64_t(position) + length < kPositionLimit && frames_.add_fragment(position, length);
}

bool VEK_DICOMInfoInternal::make_native_frames(const PyrDicomDataElement* pixel, uint32_t frames) {
  const int64_t position = pixel->GetValuePosition();
  const uint32_t length = pixel->GetLength();
  if (position < 0 || uint64_t(position) + length >= kPositionLimit) return false;
  const uint32_t bits = root_->GetChildULongOr(0x0028, 0x0100, 0, kOwnVR, 0);
  uint64_t image_bits = uint64_t(root_->GetChildULongOr(0x0028, 0x0010, 0, kOwnVR, 0)) *
                        root_->GetChildULongOr(0x0028, 0x0011, 0, kOwnVR, 0) * bits;
  // Subsampled chroma stores two samples a pixel (4:2:2) or one and a half (4:2:0).
  const PyrString text = photometric_interpretation();
  const std::u16string_view photometric = trimmed(text);
  if (photometric == u"YBR_FULL_422" || photometric == u"YBR_PARTIAL_422")
    image_bits *= 2;
  else if (photometric == u"YBR_PARTIAL_420")
    image_bits = image_bits * 3 / 2;
  else
    image_bits *= std::max<uint32_t>(root_->GetChildULongOr(0x0028, 0x0002, 0, kOwnVR, 0), 1);
  // A count past the data is damage: the whole frames that are there still show.
  const auto clamp = [&](uint64_t present) {
    if (frames <= std::max<uint64_t>(present, 1)) return;
    frames = uint32_t(std::max<uint64_t>(present, 1));
    vek_report(manager_, VEK_WARNING_DATA, kPixelOffset, kFile, __LINE__);
  };
  if (bits == 1 && image_bits != 0) {
    // One-bit frames run on from bit to bit: frame k starts at bit k x image bits, often
    // inside a byte. Each frame's bytes are those its bits touch; the reader finds the
    // starting bit again from the frame index.
    frames = std::max<uint32_t>(frames, 1);
    clamp(uint64_t(length) * 8 / image_bits);
    frame_count_ = frames;
    frames_.set_bit_packed(uint32_t(position), length, image_bits, frames);
    return true;
  }
  if (frames == 0) {
    frame_count_ = 1;
    frames_.set_native(uint32_t(position), length, 1);
    return true;
  }
  // Frames smaller than one image cannot be; a hostile count would lay out billions.
  const uint64_t image = image_bits / 8;
  uint64_t size = length / frames;
  if (frames > 1 && image != 0 && size < image) {
    if (length < image) return false;  // not one whole frame
    clamp(length / image);
    size = image;
  }
  // Without a frame's size a count cannot be checked, and no frame could be shown.
  if (frames > 1 && (size == 0 || image == 0)) return false;
  // Every frame lies inside the value, so below the position limit checked above.
  frame_count_ = frames;
  frames_.set_native(uint32_t(position), uint32_t(size), frames);
  return true;
}

namespace {

bool fragment_of(const PyrFragment& fragment, uint32_t& position, uint32_t& length) {
  length = fragment.length;
  if (fragment.valuePosition < 0 || uint64_t(fragment.valuePosition) + length >= kPositionLimit) return false;
  position = uint32_t(fragment.valuePosition);
  return true;
}

}  // namespace

bool VEK_DICOMInfoInternal::make_frame_per_fragment(const PyrFragmentList& list) {
  const uint32_t n = list.Size();
  if (n > 0 && !frames_.reserve(n, n)) return false;
  PyrFragmentList::Walker walk(list);
  for (PyrFragment f; walk.Next(f);) {
    uint32_t position = 0, length = 0;
    if (!fragment_of(f, position, length) || !add_frame(position, length)) return false;
  }
  frame_count_ = frames_.size();
  multi_fragment_ = 0;
  return true;
}

bool VEK_DICOMInfoInternal::make_single_frame(const PyrFragmentList& list) {
  if (list.Empty()) return false;  // no fragment: no frame
  PyrFragmentList::Walker walk(list);
  bool first = true;
  for (PyrFragment f; walk.Next(f); first = false) {
    uint32_t position = 0, length = 0;
    if (!fragment_of(f, position, length)) return false;
    if (!(first ? add_frame(position, length) : add_fragment(position, length))) return false;
  }
  frame_count_ = 1;
  multi_fragment_ = 1;
  return true;
}

// Without an offset table and with more fragments than frames, a frame starts at each
// fragment that opens a JPEG stream or an RLE header fitting the image; the others continue
// the frame before them. made stays false when that does not give the frame count.
bool VEK_DICOMInfoInternal::make_frames_by_fragment_starts(const PyrFragmentList& list, uint32_t frames, bool& made) {
  made = false;
  if (stream_ == nullptr) return true;
  const uint32_t samples = root_->GetChildULongOr(0x0028, 0x0002, 0, kOwnVR, 0);
  const uint32_t bytes = (root_->GetChildULongOr(0x0028, 0x0100, 0, kOwnVR, 0) + 7) / 8;
  VEK_Vector<uint8_t> opens(manager_);
  uint32_t starts = 0;
  PyrFragmentList::Walker walk(list);
  for (PyrFragment f; walk.Next(f);) {
    uint32_t position = 0, length = 0;
    if (!fragment_of(f, position, length)) return false;
    uint8_t head[8] = {};
    const uint32_t want = std::min<uint32_t>(length, 8);
    if (!stream_->read_at(position, head, want)) return true;
    const bool jpeg = want >= 2 && head[0] == 0xFF && head[1] == 0xD8;
    const bool rle = want == 8 && le32(head) == uint64_t(samples) * bytes && le32(head) != 0 && le32(head + 4) == 64;
    const uint8_t open = jpeg || rle ? 1 : 0;
    if (!opens.push_back(open)) return false;
    starts += open;
  }
  if (starts != frames || opens.empty() || opens[0] == 0) return true;
  PyrFragmentList::Walker again(list);
  for (uint32_t i = 0; i < opens.size(); ++i) {
    PyrFragment f;
    uint32_t position = 0, length = 0;
    again.Next(f);
    fragment_of(f, position, length);
    if (!(opens[i] ? add_frame(position, length) : add_fragment(position, length))) return false;
  }
  frame_count_ = frames;
  multi_fragment_ = 1;
  made = true;
  return true;
}

// Frame k takes the fragments whose items start from table entry k up to entry k + 1;
// offsets count from the first fragment's item tag. Entries must rise from 0 and each fall on
// an item start; entries past the frames served must too, and the last of them may mark the
// end of the last fragment instead. Each entry read consumes an item, so a table claiming
// more entries than there are items is read no further than the items go.
bool VEK_DICOMInfoInternal::group_fragments_by_offset_table(const PyrDicomDataElement* table,
                                                            const PyrFragmentList& list, uint32_t entries,
                                                            uint32_t served) {
  const uint8_t* offsets = table->GetValue();
  const uint32_t held = std::min(vek_dicom_value_length(table), table->GetBytesHeld()) / 4;
  if (offsets == nullptr || list.Empty() || served == 0 || served > entries) return false;
  const int64_t first = list.FirstItemPosition();
  PyrFragmentList::Walker walk(list);
  PyrFragment f;
  bool more = walk.Next(f);
  uint32_t position = 0, length = 0;
  int64_t previous = -1;
  const auto finish = [&](uint32_t frames) {
    frame_count_ = frames;
    multi_fragment_ = 1;
    return true;
  };
  for (uint32_t k = 0; k < entries; ++k) {
    if (k >= held) return false;
    const int64_t entry = le32(offsets + 4 * uint64_t(k));
    if ((k == 0 && entry != 0) || entry <= previous) return false;
    previous = entry;
    // The fragments before this entry's item continue the previous frame, if it is served.
    for (; more && f.itemPosition - first < entry; more = walk.Next(f))
      if (k <= served && (!fragment_of(f, position, length) || !add_fragment(position, length))) return false;
    if (!more) return k + 1 == entries && k >= served && f.valuePosition + f.length - first == entry && finish(served);
    if (f.itemPosition - first != entry) return false;
    if (k < served && (!fragment_of(f, position, length) || !add_frame(position, length))) return false;
    more = walk.Next(f);
  }
  if (entries == served)
    for (; more; more = walk.Next(f))
      if (!fragment_of(f, position, length) || !add_fragment(position, length)) return false;
  return finish(served);
}

bool VEK_DICOMInfoInternal::get_pixel_offset() {
  const PyrDicomDataElement* pixel = root_->FindChild(0x7FE0, 0x0010);
  if (pixel == nullptr) {
    vek_report(manager_, VEK_ERROR_DATA, kPixelOffset, kFile, 392);
    return false;
  }
  uint32_t frames = 0;
  vek_dicom_count(root_->FindChild(0x0028, 0x0008), frames);
  if (!encapsulated(pixel)) {
    if (make_native_frames(pixel, frames)) return true;
    vek_report(manager_, VEK_ERROR_DATA, kPixelOffset, kFile, 469);
    return false;
  }
  // The offset table, and any item of another tag, are elements; the fragments a flat list.
  const uint32_t count = pixel->GetChildCount();
  for (uint32_t i = 0; i < count; ++i) {
    const PyrDicomDataElement* item = pixel->GetChildAt(i);
    const uint32_t line = item == nullptr                ? 407
                          : item->GetGroup() != 0xFFFE   ? 411
                          : item->GetElement() != 0xE000 ? 415
                                                         : 0;
    if (line != 0) {
      vek_report(manager_, VEK_ERROR_DATA, kPixelOffset, kFile, line);
      return false;
    }
  }
  if (count == 0) {
    vek_report(manager_, VEK_ERROR_DATA, kPixelOffset, kFile, 423);
    return false;
  }
  const PyrFragmentList& list = dataset_->GetPixelFragments();
  const PyrDicomDataElement* table = pixel->GetChildAt(0);
  const uint32_t entries = vek_dicom_value_length(table) / 4;
  const uint32_t fragments = list.Size();
  // A table may run past the frames, its last entry marking the end; fewer entries than
  // frames cannot place them.
  const uint32_t served = frames != 0 && entries > frames ? frames : entries;
  const bool fits = entries != 0 && (frames <= 1 || entries >= frames);
  if (fits && served == fragments && served == entries) {
    if (make_frame_per_fragment(list)) return true;
    vek_report(manager_, VEK_ERROR_DATA, kPixelOffset, kFile, 444);
    return false;
  }
  if (fits && group_fragments_by_offset_table(table, list, entries, served)) return true;
  // Without a table, or with one that does not lead to the frames, the fragments tell them.
  frames_.clear();
  uint32_t line = 0;
  if (!frames_by_fragments(list, frames, line)) {
    vek_report(manager_, VEK_ERROR_DATA, kPixelOffset, kFile, line);
    return false;
  }
  if (entries != 0) vek_report(manager_, VEK_WARNING_DATA, kPixelOffset, kFile, 437);
  return true;
}

bool VEK_DICOMInfoInternal::frames_by_fragments(const PyrFragmentList& list, uint32_t frames, uint32_t& line) {
  if (frames <= 1) {
    line = 460;
    return make_single_frame(list);
  }
  line = 453;
  bool made = false;
  if (list.Size() > frames && !make_frames_by_fragment_starts(list, frames, made)) return false;
  if (made) return true;
  frames_.clear();
  return make_frame_per_fragment(list);
}

// ---- palette ------------------------------------------------------------------------------

namespace {

// Units of a segmented table: bytes for 8-bit entries, words for 16-bit ones.
template <class T>
T unit_at(const uint8_t* data, uint64_t index) {
  T value;
  std::memcpy(&value, data + index * sizeof(T), sizeof(T));
  return value;
}

// Expands segments from unit `at` on. The writer stops at n entries; every read stays in
// the value. Opcode 0 discrete, 1 linear (from the last value written), 2 indirect (byte
// offset of further segments, which may not be indirect themselves). An indirect segment
// replays up to 65,535 segments and a segment may write nothing, so the walk is bounded by
// what it writes: a write past the full table refuses it, and so do more segments that write
// nothing than the value has units.
template <class T>
struct SegmentWalk {
  const uint8_t* data;
  uint64_t units;
  T* out;
  uint32_t n;
  uint32_t written = 0;
  uint64_t steps = 0;
  uint64_t idle = 0;

  bool segment(uint64_t& at, bool nested) {
    ++steps;
    const uint32_t before = written;
    if (!step(at, nested)) return false;
    return written != before || ++idle <= units;
  }

  bool step(uint64_t& at, bool nested) {
    if (units - at < 2) return false;
    const uint32_t opcode = unit_at<T>(data, at);
    const uint32_t count = unit_at<T>(data, at + 1);
    switch (opcode) {
      case 0: {
        if (units - at - 2 < count || n - written < count) return false;
        for (uint32_t k = 0; k < count; ++k) out[written++] = unit_at<T>(data, at + 2 + k);
        at += 2 + uint64_t(count);
        return true;
      }
      case 1: {
        if (written == 0 || units - at < 3 || n - written < count) return false;
        const double y0 = out[written - 1];
        const double y1 = unit_at<T>(data, at + 2);
        for (uint32_t k = 1; k <= count; ++k)
          out[written++] = static_cast<T>(std::trunc(y0 + k * (y1 - y0) / count + 0.5));
        at += 3;
        return true;
      }
      case 2: {
        if (nested || units - at < 4) return false;
        const uint64_t offset = unit_at<T>(data, at + 2) | (uint64_t(unit_at<T>(data, at + 3)) << (8 * sizeof(T)));
        if (offset % sizeof(T) != 0 || offset / sizeof(T) >= units) return false;
        uint64_t inner = offset / sizeof(T);
        for (uint32_t k = 0; k < count; ++k)
          if (!segment(inner, true)) return false;
        at += 4;
        return true;
      }
      default:
        return false;
    }
  }
};

}  // namespace

template <class T>
bool VEK_DICOMInfoInternal::expand_segments(T* output, uint32_t n, const PyrDicomDataElement* data) {
  segment_steps_ = 0;
  if (output == nullptr || data == nullptr || n == 0) return false;
  const uint8_t* value = data->GetValue();
  const uint32_t length = std::min(vek_dicom_value_length(data), data->GetBytesHeld());
  if (value == nullptr) return false;
  SegmentWalk<T> walk{value, length / sizeof(T), output, n};
  uint64_t at = 0;
  bool ok = true;
  while (ok && at < walk.units) ok = walk.segment(at, false);
  segment_steps_ = walk.steps;
  if (!ok) return false;
  // Entries no segment reached repeat the last value.
  const T last = walk.written != 0 ? output[walk.written - 1] : T(0);
  for (uint32_t i = walk.written; i < n; ++i) output[i] = last;
  return true;
}

bool VEK_DICOMInfoInternal::expand_segments16(uint16_t* output, uint32_t n, const PyrDicomDataElement* data) {
  return expand_segments(output, n, data);
}

bool VEK_DICOMInfoInternal::expand_segments8(uint8_t* output, uint32_t n, const PyrDicomDataElement* data) {
  return expand_segments(output, n, data);
}

namespace {

// Memory from the manager, given back on every path.
struct ManagedBuffer {
  VEK_Manager* manager;
  void* data = nullptr;
  explicit ManagedBuffer(VEK_Manager* m) : manager(m) {}
  ~ManagedBuffer() {
    if (data != nullptr) manager->free(data);
  }
  bool allocate(uint64_t bytes) {
    if (bytes > UINT32_MAX) return false;
    data = manager->allocate(static_cast<uint32_t>(bytes));
    return data != nullptr;
  }
};

}  // namespace

bool VEK_DICOMInfoInternal::get_info_palette() {
  const uint32_t bits_allocated = root_->GetChildULongOr(0x0028, 0x0100, 0, kOwnVR, 0);
  if (bits_allocated != 8 && bits_allocated != 16) {
    vek_report(manager_, VEK_ERROR_DATA, kPalette, kFile, 905);
    return false;
  }
  uint32_t n[3], first[3], bits[3];
  for (uint32_t c = 0; c < 3; ++c) {
    const uint16_t tag = static_cast<uint16_t>(0x1101 + c);
    n[c] = root_->GetChildULongOr(0x0028, tag, 0, kOwnVR, 0);
    first[c] = root_->GetChildULongOr(0x0028, tag, 0, kOwnVR, 1);
    bits[c] = root_->GetChildULongOr(0x0028, tag, 0, kOwnVR, 2);
  }
  if (n[0] != n[1] || n[0] != n[2]) {
    vek_report(manager_, VEK_ERROR_DATA, kPalette, kFile, 924);
    return false;
  }
  const uint32_t entries = n[0] == 0 ? 65536 : n[0];
  if (bits[0] != 8 && bits[0] != 16) {
    vek_report(manager_, VEK_ERROR_DATA, kPalette, kFile, 932);
    return false;
  }
  if (bits[1] != bits[0] || bits[2] != bits[0]) {
    vek_report(manager_, VEK_ERROR_DATA, kPalette, kFile, 938);
    return false;
  }
  const uint32_t b = bits[0];

  const PyrDicomDataElement* segmented[3];
  const PyrDicomDataElement* plain[3];
  for (uint32_t c = 0; c < 3; ++c) {
    segmented[c] = root_->FindChild(0x0028, 0x1221 + c);
    plain[c] = root_->FindChild(0x0028, 0x1201 + c);
  }
  const bool is_segmented = segmented[0] != nullptr && segmented[1] != nullptr && segmented[2] != nullptr;
  if (!is_segmented && (plain[0] == nullptr || plain[1] == nullptr || plain[2] == nullptr)) {
    vek_report(manager_, VEK_ERROR_DATA, kPalette, kFile, 975);
    return false;
  }

  ManagedBuffer expanded[3] = {ManagedBuffer(manager_), ManagedBuffer(manager_), ManagedBuffer(manager_)};
  const uint8_t* lut[3];
  uint32_t data_bits = b;
  if (is_segmented) {
    for (uint32_t c = 0; c < 3; ++c) {
      if (!expanded[c].allocate(2 * uint64_t(entries))) return false;
      const bool ok = b == 16 ? expand_segments16(static_cast<uint16_t*>(expanded[c].data), entries, segmented[c])
                              : expand_segments8(static_cast<uint8_t*>(expanded[c].data), entries, segmented[c]);
      if (!ok) {
        vek_report(manager_, VEK_ERROR_DATA, kPalette, kFile, 1016);
        return false;
      }
      lut[c] = static_cast<const uint8_t*>(expanded[c].data);
    }
  } else {
    for (uint32_t c = 0; c < 3; ++c) lut[c] = plain[c]->GetValue();
    if (lut[0] == nullptr || lut[1] == nullptr || lut[2] == nullptr) {
      vek_report(manager_, VEK_ERROR_DATA, kPalette, kFile, 1028);
      return false;
    }
    const uint32_t length = vek_dicom_value_length(plain[0]);
    if (length != vek_dicom_value_length(plain[1]) || length != vek_dicom_value_length(plain[2])) return false;
    data_bits = 8 * (length / entries);
    if ((data_bits != 8 && data_bits != 16) || data_bits < b) return false;
    for (uint32_t c = 0; c < 3; ++c)
      if (plain[c]->GetBytesHeld() < uint64_t(entries) * (data_bits / 8)) return false;
  }

  const uint32_t palette_entries = 1u << bits_allocated;
  const uint32_t sample = b / 8;
  const uint64_t bytes = uint64_t(palette_entries) * 3 * sample;
  ManagedBuffer out(manager_);
  if (!out.allocate(bytes)) return false;
  auto* dst = static_cast<uint8_t*>(out.data);
  for (uint32_t i = 0; i < palette_entries; ++i) {
    for (uint32_t c = 0; c < 3; ++c) {
      // Below the first mapped value the first entry, past the table the last.
      const int64_t j = std::clamp<int64_t>(int64_t(i) - first[c], 0, int64_t(entries) - 1);
      uint16_t v;
      if (data_bits == 16) {
        std::memcpy(&v, lut[c] + 2 * j, 2);
        if (b == 8) v &= 0xFF;
      } else {
        v = lut[c][j];
      }
      uint8_t* p = dst + (uint64_t(i) * 3 + c) * sample;
      if (sample == 2)
        std::memcpy(p, &v, 2);
      else
        *p = static_cast<uint8_t>(v);
    }
  }
  palette_.bits(static_cast<uint16_t>(b));
  palette_.channels(3);
  palette_.entries(palette_entries);
  if (!palette_.value(out.data, static_cast<uint32_t>(bytes))) return false;
  has_palette_ = 1;
  return true;
}
