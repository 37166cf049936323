#include "vek_readdicom.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/platbudget.h"
#include "vek_applypalette.h"
#include "vek_colormatrix.h"
#include "vek_decorator.h"
#include "vek_errorhandler.h"
#include "vek_readdicomrleframe.h"
#include "vek_readjfif.h"
#include "vek_readjpeg.h"
#include "vek_readstorageinybr420.h"
#include "vek_readstorageinybr422.h"
#include "vek_readstorageplanar.h"
#include "vek_storageengine.h"

namespace {
constexpr const char* kFile = "extension/dicom/source/vek_readdicom.cpp";
constexpr const char* kEngine = "VEK_ReadDICOM::engine()";

bool same(const VEK_WString& text, const char* ascii) {
  uint32_t n = text.size();
  const char16_t* s = text.c_str();
  while (n > 0 && (s[n - 1] == u' ' || s[n - 1] == 0)) --n;
  uint32_t i = 0;
  for (; i < n && ascii[i] != 0; ++i)
    if (s[i] != char16_t(ascii[i])) return false;
  return i == n && ascii[i] == 0;
}

// Byte pairs swapped, counted from position 0: 8-bit or one-bit samples written big-endian as OW.
class SwapPairsInputStorage : public VEK_InputStorageDecorator {
 public:
  using VEK_InputStorageDecorator::initiate;
  using VEK_InputStorageDecorator::VEK_InputStorageDecorator;
  int32_t get() override {
    uint8_t b = 0;
    return read(&b, 1) == 1 ? b : -1;
  }
  int32_t advance(int32_t n) override { return skip(n); }
  int32_t read(void* buffer, int32_t n) override {
    uint8_t* out = static_cast<uint8_t*>(buffer);
    int32_t done = 0;
    uint8_t pairs[4096];
    while (storage_ != nullptr && done < n) {
      const int32_t p = storage_->tell();
      const int32_t a = p & ~1;
      if (a != p && !storage_->seek(a)) break;
      const int32_t want = std::min<int32_t>(sizeof(pairs), (p - a + (n - done) + 1) & ~1);
      const int32_t got = std::max<int32_t>(storage_->read(pairs, want), 0);
      for (int32_t i = 0; i + 1 < got; i += 2) std::swap(pairs[i], pairs[i + 1]);
      const int32_t usable = std::min<int32_t>(got - (p - a), n - done);
      if (usable <= 0) {
        storage_->seek(p);
        break;
      }
      std::memcpy(out + done, pairs + (p - a), size_t(usable));
      done += usable;
      storage_->seek(p + usable);
      if (got < want) break;
    }
    return done;
  }
};

// True for 8-bit or one-bit samples stored big-endian in an OW value: each 16-bit word's bytes
// are exchanged, so one-bit runs of 16 would come out with their halves swapped. The VR is the
// one on disc, since the parser relabels the element OB; OB data is a byte stream as written.
bool swapped_ow(VEK_InputStorage* storage, const VEK_DICOMInfo& info) {
  if (info.little_endian() != 0 || (info.bits() != 8 && info.bits() != 1) || info.compression_kind() != 0) return false;
  const int32_t back = storage->tell();
  char vr[2] = {};
  const bool ok = info.pixel_data_position() <= uint32_t(INT32_MAX - 4) &&
                  storage->seek(int32_t(info.pixel_data_position() + 4)) && storage->read(vr, 2) == 2;
  storage->seek(back);
  return ok && vr[0] == 'O' && vr[1] == 'W';
}

// The native frame of length bytes at position through a pair-swapping view aligned to the
// value's start; null on failure.
VEK_InputStorage* swapped_input(VEK_Manager* m, VEK_InputStorage* storage, const VEK_DICOMInfo& info, uint32_t position,
                                uint32_t length) {
  const uint32_t odd = (position - (info.pixel_data_position() + 12)) & 1u;
  const uint64_t span = (uint64_t(length) + odd + 1) & ~uint64_t(1);
  if (position < odd || span > uint64_t(INT32_MAX) || position > uint32_t(INT32_MAX)) return nullptr;
  VEK_MoveInMoveOutInputStorage* view = VEK_MoveInMoveOutInputStorage::create(m, storage);
  if (view == nullptr) return nullptr;
  VEK_InputStorage* result = nullptr;
  if (view->seek(int32_t(position - odd)) && view->tell() == int32_t(position - odd)) {
    VEK_InputStorageBound* pairs = VEK_InputStorageBound::create(m, view, int32_t(span));
    SwapPairsInputStorage* swap = pairs != nullptr ? vek_create<SwapPairsInputStorage>(m, pairs) : nullptr;
    if (swap != nullptr && swap->seek(int32_t(odd))) result = VEK_InputStorageBound::create(m, swap, int32_t(length));
    vek_destroy(swap);
    vek_destroy(pairs);
  }
  view->destroy();
  if (result == nullptr) vek_report(m, VEK_ERROR_IO, kEngine, kFile, 136);
  return result;
}

// A stream of size_ bytes that the subclass's read() makes from its input at position_; the
// place is kept here, so moving about reads nothing.
class MadeInputStorage : public VEK_InputStorageDecorator {
 public:
  using VEK_InputStorageDecorator::VEK_InputStorageDecorator;

  int32_t get() override {
    uint8_t b = 0;
    return read(&b, 1) == 1 ? b : -1;
  }
  int32_t advance(int32_t n) override { return skip(n); }
  int32_t tell() override { return position_; }
  int32_t skip(int32_t n) override {
    const int32_t old = position_;
    position_ = int32_t(std::clamp<int64_t>(int64_t(position_) + n, 0, size_));
    return position_ - old;
  }
  bool is_end() override { return position_ >= size_; }
  bool seek(int32_t n) override {
    if (n < 0 || n > size_) return false;
    position_ = n;
    return true;
  }
  bool seek_end(int32_t n) override { return seek(size_ - n); }
  int32_t size() override { return size_; }
  bool to_begin() override { return seek(0); }
  bool to_end() override { return seek(size_); }

 protected:
  int32_t position_ = 0;
  int32_t size_ = 0;
};

// A frame's fragments read back to back as one stream, each bounded to its own length, so
// that nothing past a fragment is read as pixels. One view of the file serves them all: a
// fragment costs its place and length, not a storage of its own.
class FragmentsInputStorage : public MadeInputStorage {
 public:
  explicit FragmentsInputStorage(VEK_Manager* m) : MadeInputStorage(m), positions_(m), starts_(m) {}

  bool initiate(VEK_InputStorage* view, const VEK_DICOMFrameTable& frames, uint32_t frame) {
    if (!VEK_InputStorageDecorator::initiate(view)) return false;
    const uint32_t n = frames.fragment_count(frame);
    const int64_t file = view->size();
    if (!positions_.reserve(n) || !starts_.reserve(n + 1) || !starts_.push_back(0)) return false;
    int64_t total = 0;
    for (uint32_t k = 0; k < n; ++k) {
      uint32_t position = 0, length = 0;
      frames.fragment(frame, k, position, length);
      if (position > uint32_t(INT32_MAX) || position > file) return false;
      // What the file holds of it: a cut fragment ends where the file does.
      total += std::min<int64_t>(length, file - position);
      if (total > INT32_MAX) return false;
      positions_.push_back(position);
      starts_.push_back(uint32_t(total));
    }
    size_ = int32_t(total);
    return true;
  }

  int32_t read(void* buffer, int32_t n) override {
    uint8_t* out = static_cast<uint8_t*>(buffer);
    int32_t done = 0;
    // Both lists are whole once made: read in place, without the checked index.
    const uint32_t* starts = starts_.begin();
    const uint32_t* positions = positions_.begin();
    while (done < n && position_ < size_) {
      // The fragment holding the position: the last that starts at or before it, which
      // passes over empty ones. Reads in order stay in the fragment of the read before.
      const uint32_t at = uint32_t(position_);
      if (at < starts[k_] || at >= starts[k_ + 1]) {
        k_ = uint32_t(std::upper_bound(starts, starts + starts_.size(), at) - starts) - 1;
      }
      const int64_t where = int64_t(positions[k_]) + (at - starts[k_]);
      const int32_t want = std::min<int32_t>(n - done, int32_t(starts[k_ + 1] - at));
      // The view is where the read before left it unless this one jumps.
      if (where != next_ && !storage_->seek(int32_t(where))) break;
      const int32_t got = std::max<int32_t>(storage_->read(out + done, want), 0);
      next_ = got == want ? where + got : -1;
      done += got;
      position_ += got;
      if (got < want) break;
    }
    return done;
  }

 private:
  VEK_Vector<uint32_t> positions_;
  VEK_Vector<uint32_t> starts_;  // each fragment's first byte in the stream, then the total (size_)
  uint32_t k_ = 0;               // the fragment the last read was in
  int64_t next_ = -1;            // where in the file the view stands after it; -1 not known
};

// The frame's fragments as one stream. Null after a report.
VEK_InputStorage* frame_input(VEK_Manager* m, VEK_InputStorage* storage, const VEK_DICOMFrameTable& frames,
                              uint32_t frame) {
  VEK_MoveInMoveOutInputStorage* view = VEK_MoveInMoveOutInputStorage::create(m, storage);
  if (view == nullptr) {
    vek_report(m, VEK_ERROR_IO, kEngine, kFile, 130);
    return nullptr;
  }
  VEK_InputStorage* result = vek_create<FragmentsInputStorage>(m, view, frames, frame);
  view->destroy();
  if (result == nullptr) vek_report(m, VEK_ERROR_IO, kEngine, kFile, 136);
  return result;
}
// A native one-bit frame as the library's packed lines, each made as it is read: DICOM runs the
// bits on from the first pixel in bit 0, across row ends and into the next frame; a line here
// starts on a byte with its first sample in bit 7, unused low bits 0. One line is held, never
// the frame: the file's bytes are the only copy beside the decoded image.
class OneBitLinesInputStorage : public MadeInputStorage {
 public:
  explicit OneBitLinesInputStorage(VEK_Manager* m) : MadeInputStorage(m), source_(m), line_(m) {}

  // The source starts where input stands, at bit `first` of its first byte.
  bool initiate(VEK_InputStorage* input, uint64_t line_bits, uint32_t height, uint32_t first) {
    if (!VEK_InputStorageDecorator::initiate(input)) return false;
    line_bits_ = line_bits;
    first_ = first;
    line_bytes_ = uint32_t((line_bits + 7) / 8);
    size_ = int32_t(uint64_t(line_bytes_) * height);
    // A line's bits from any bit of a byte take one byte more than the line.
    return source_.resize(line_bytes_ + 1, 0) && line_.resize(line_bytes_, 0);
  }

  int32_t read(void* buffer, int32_t n) override {
    uint8_t* out = static_cast<uint8_t*>(buffer);
    int32_t done = 0;
    while (done < n && position_ < size_) {
      const uint32_t y = uint32_t(position_) / line_bytes_;
      if (y != made_ && !make(y)) break;
      const uint32_t inside = uint32_t(position_) - y * line_bytes_;
      const int32_t k = std::min<int32_t>(n - done, int32_t(line_bytes_ - inside));
      std::memcpy(out + done, line_.data() + inside, size_t(k));
      done += k;
      position_ += k;
    }
    return done;
  }

 private:
  // Line y from its own bytes of the source; the input moves only by steps from where it stands.
  bool make(uint32_t y) {
    const uint64_t bit = first_ + uint64_t(y) * line_bits_;
    const int64_t from = int64_t(bit / 8);
    const int32_t count = int32_t((bit % 8 + line_bits_ + 7) / 8);
    if (from != at_ && storage_->skip(int32_t(from - at_)) != from - at_) return false;
    at_ = from;
    const int32_t got = std::max<int32_t>(storage_->read(source_.data(), count), 0);
    at_ += got;
    if (got != count) return false;
    std::memset(line_.data(), 0, line_bytes_);
    uint64_t b = bit % 8;
    for (uint64_t x = 0; x < line_bits_; ++x, ++b)
      if ((source_[uint32_t(b / 8)] >> (b % 8)) & 1) line_[uint32_t(x / 8)] |= uint8_t(0x80u >> (x % 8));
    made_ = y;
    return true;
  }

  VEK_Vector<uint8_t> source_;
  VEK_Vector<uint8_t> line_;
  uint64_t line_bits_ = 0;
  uint32_t first_ = 0;
  uint32_t line_bytes_ = 1;
  uint32_t made_ = UINT32_MAX;
  int64_t at_ = 0;  // source bytes the input has passed since the start
};

// Frame k of a native one-bit value as packed lines; it begins at bit k x width x height x
// channels of the value. Null after a report.
VEK_InputStorage* one_bit_lines(VEK_Manager* m, VEK_InputStorage* input, const VEK_Header& header, uint32_t frame) {
  const uint64_t line_bits = uint64_t(header.width()) * header.channels();
  const uint64_t image_bits = line_bits * header.height();
  const uint64_t line_bytes = (line_bits + 7) / 8;
  const uint32_t first = uint32_t(uint64_t(frame) * image_bits % 8);
  const uint64_t source_bytes = (first + image_bits + 7) / 8;
  // Bits the value does not hold are no frame, as for wider samples: refused before anything
  // of the frame's size is allocated.
  if (line_bits == 0 || line_bytes * header.height() > uint64_t(INT32_MAX) || source_bytes > uint64_t(INT32_MAX) ||
      int64_t(input->size()) - input->tell() < int64_t(source_bytes)) {
    vek_report(m, VEK_ERROR_DATA, kEngine, kFile, __LINE__);
    return nullptr;
  }
  VEK_InputStorage* result = vek_create<OneBitLinesInputStorage>(m, input, line_bits, header.height(), first);
  if (result == nullptr) vek_report(m, VEK_ERROR_MEMORY, kEngine, kFile, __LINE__);
  return result;
}

}  // namespace

VEK_Engine* VEK_ReadDICOM::engine(VEK_InputStorage* storage, uint32_t frame) {
  VEK_DICOMInfo* info = vek_new<VEK_DICOMInfo>(manager_);
  if (info == nullptr || !info->load(storage)) {
    vek_report(manager_, VEK_ERROR_READER, "VEK_ReadDICOM::engine()", kFile, 83);
    vek_destroy(info);
    return nullptr;
  }
  VEK_Engine* result = engine(storage, *info, frame);
  info->destroy();
  return result;
}

namespace {
// A JPEG frame decodes only when its frame header gives the dataset's Rows and Columns and its
// output fits Rows x Columns x Samples x Bits Allocated: a few header bytes must not make the
// decoder allocate gigabytes. Checked before the decoder starts; false after a report.
bool jpeg_fits_dataset(VEK_Manager* m, const VEK_JPEGInfo& jpeg, const VEK_DICOMInfo& info) {
  const uint64_t declared = uint64_t(info.width()) * info.height() * info.channels() * info.bits();
  const uint64_t output = uint64_t(jpeg.width()) * jpeg.height() * jpeg.channels() * jpeg.bits();
  if (jpeg.width() == info.width() && jpeg.height() == info.height() && output <= declared) return true;
  vek_report(m, VEK_ERROR_DATA, kEngine, kFile, __LINE__);
  return false;
}

// The stream's header on the frame's input; a failure is reported when asked.
bool load_jpeg_header(VEK_Manager* m, VEK_InputStorage* input, VEK_JPEGInfo& header, bool report) {
  if (header.load(input)) return true;
  if (report) vek_report(m, VEK_ERROR_READER, kEngine, kFile, __LINE__);
  return false;
}
}  // namespace

VEK_Engine* VEK_ReadDICOM::engine(VEK_InputStorage* storage, const VEK_DICOMInfo& info, uint32_t frame) {
  if (storage == nullptr || storage->is_empty() || !info.loaded() || !info.VEK_Header::is_valid()) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kEngine, kFile, 101);
    return nullptr;
  }
  // frame + 1 would wrap for the last index.
  if (frame >= info.frame_count()) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kEngine, kFile, 107);
    return nullptr;
  }
  // What the frame costs decoded, from its header alone: past the budget nothing of it is read,
  // whatever its compression.
  if (PlatDecodedFrameBytes(info.width(), info.height(), info.channels(), info.bits()) > kPlatFrameDecodeBudget) {
    vek_report(manager_, VEK_ERROR_FORMAT, kEngine, kFile, __LINE__);
    return nullptr;
  }
  // A frame of more fragments than the table keeps cannot be read whole.
  const VEK_DICOMFrameTable& frames = info.frames();
  const uint32_t fragments = frames.fragment_count(frame);
  if (fragments == 0 || frames.crowded(frame)) {
    vek_report(manager_, VEK_ERROR_DATA, kEngine, kFile, 113);
    return nullptr;
  }
  uint64_t frame_length = 0;
  uint32_t position = 0, length = 0;
  for (uint32_t k = 0; k < fragments; ++k) {
    frames.fragment(frame, k, position, length);
    frame_length += length;
  }
  VEK_WString photometric(manager_);
  if (!info.get_code_string(0x0028, 0x0004, photometric, VEK_DICOM_CS_LENGTH)) return nullptr;

  VEK_InputStorage* input = fragments == 1 && swapped_ow(storage, info)
                                ? swapped_input(manager_, storage, info, position, length)
                                : frame_input(manager_, storage, frames, frame);
  if (input != nullptr && info.compression_kind() == 0 && info.bits() == 1) {
    VEK_InputStorage* lines = one_bit_lines(manager_, input, info, frame);
    input->destroy();
    input = lines;
  }
  if (input == nullptr) return nullptr;
  const int32_t order = int32_t(info.little_endian());
  bool partial = false;
  uint8_t from_jfif = 0;
  VEK_Engine* e = nullptr;
  switch (info.compression_kind()) {
    case 0:
      if (info.planar_configuration() != 0) {
        e = VEK_ReadStoragePlanar(manager_).engine(input, info, input->tell(), 0, order);
      } else if (same(photometric, "YBR_FULL_422") || same(photometric, "YBR_PARTIAL_422")) {
        partial = same(photometric, "YBR_PARTIAL_422");
        e = VEK_ReadStorageInYBR422(manager_).engine(input, info, order);
      } else if (same(photometric, "YBR_PARTIAL_420")) {
        partial = true;
        e = VEK_ReadStorageInYBR420(manager_).engine(input, info, order);
      } else {
        e = VEK_ReadStorage(manager_).engine(input, info, input->tell(), 0, order);
      }
      break;
    case 3: {
      const uint32_t length = uint32_t(std::min<uint64_t>(frame_length, UINT32_MAX));
      if (same(photometric, "YBR_FULL_422")) {
        e = VEK_ReadDICOMRLEFrameInYBR422(manager_).engine(input, info, length);
        break;
      }
      // Signed samples labelled so by the reader's own relabelling save a second relabelling
      // pass over every line; palette indices stay as the palette step expects them.
      VEK_Header frame_header(manager_);
      if (!(frame_header = info)) {
        vek_report(manager_, VEK_ERROR_MEMORY, kEngine, kFile, 266);
        break;
      }
      if (info.pixel_data_type() == VEK_DataType::s_integer && info.has_palette() == 0)
        frame_header.data_type(VEK_DataType::s_integer);
      e = VEK_ReadDICOMRLEFrame(manager_).engine(input, frame_header, length);
      break;
    }
    case 1: {
      // A JFIF segment says the samples are YCbCr whatever the file's label; the decoder's colour stands.
      VEK_JFIFInfo jfif(manager_);
      VEK_JPEGInfo jpeg(manager_);
      if (load_jpeg_header(manager_, input, jfif, false)) {
        from_jfif = 1;
        if (jpeg_fits_dataset(manager_, jfif, info)) e = VEK_ReadJFIF(manager_).engine(input, jfif, 256);
      } else if (load_jpeg_header(manager_, input, jpeg, true) && jpeg_fits_dataset(manager_, jpeg, info)) {
        e = VEK_ReadJPEG(manager_).engine(input, jpeg, 256);
      }
      partial = same(photometric, "YBR_PARTIAL_422") || same(photometric, "YBR_PARTIAL_420");
      break;
    }
    case 2: {
      VEK_JPEGInfo jpeg(manager_);
      if (load_jpeg_header(manager_, input, jpeg, true) && jpeg_fits_dataset(manager_, jpeg, info))
        e = VEK_ReadLosslessJPEG(manager_).engine(input, jpeg);
      if (e != nullptr && same(photometric, "YBR_FULL_422")) e = lossless_ybr422(e, info);
      break;
    }
    default:
      vek_report(manager_, VEK_ERROR_FORMAT, kEngine, kFile, 275);
      break;
  }
  input->destroy();
  if (e == nullptr) return nullptr;
  // Decoded indices come without the file's palette.
  if (info.has_palette() != 0 && (info.compression_kind() == 1 || info.compression_kind() == 2))
    e = relabel(e, &info.palette(), info.color_type());
  if (e != nullptr) e = VEK_ApplyPalette(manager_).engine(e);
  if (e != nullptr && info.compression_kind() != 0) e = reset_comp_header(e, info, from_jfif);
  if (e != nullptr && partial) e = ybr_partial_to_rgb(e);
  return e;
}

VEK_Engine* VEK_ReadDICOM::relabel(VEK_Engine* engine, const VEK_Header::VEK_Palette* palette,
                                   const VEK_ColorType* color) {
  if (engine == nullptr || engine->header() == nullptr) return nullptr;
  VEK_Header copy(manager_);
  if (!(copy = *engine->header()) || (palette != nullptr && !copy.palette(*palette))) return nullptr;
  copy.color_type(color);
  return VEK_RewriteHeader(manager_).engine(engine, &copy);
}

VEK_Engine* VEK_ReadDICOM::lossless_ybr422(VEK_Engine* engine, const VEK_DICOMInfo& info) {
  const VEK_Header* decoded = engine->header();
  if (decoded == nullptr) return nullptr;
  // The codec delivers whole pixels, and many encoders store 4:4:4 under this label: re-read as
  // Y0 Y1 Cb Cr pairs, such lines would be garbled. They stay as decoded; the header step after
  // the palette labels them YCbCr.
  if (decoded->width() == info.width() && decoded->channels() == 3) return engine;
  VEK_Engine* relabelled = relabel(engine, nullptr, VEK_ColorType_ycbcr::instance());
  if (relabelled == nullptr) return nullptr;
  VEK_Header header(manager_);
  if (!(header = *relabelled->header())) return nullptr;
  VEK_DstEngineInputStorage* samples = VEK_DstEngineInputStorage::create(manager_, relabelled);
  if (samples == nullptr) return nullptr;
  VEK_Engine* result = VEK_ReadStorageInYBR422(manager_).engine(samples, header, 1);
  samples->destroy();
  return result;
}

VEK_Engine* VEK_ReadDICOM::reset_comp_header(VEK_Engine* engine, const VEK_DICOMInfo& info, uint8_t from_jfif) {
  constexpr const char* kMethod = "VEK_ReadDICOM::reset_comp_header()";
  if (engine == nullptr || engine->header() == nullptr) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kMethod, kFile, 323);
    return nullptr;
  }
  VEK_Header copy(manager_);
  if (!(copy = *engine->header())) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kMethod, kFile, 329);
    return nullptr;
  }
  bool changed = false;
  if (info.pixel_data_type() == VEK_DataType::s_integer && copy.data_type() != VEK_DataType::s_integer) {
    copy.data_type(VEK_DataType::s_integer);
    changed = true;
  }
  // A JFIF segment speaks for colour samples only: a grey frame keeps the file's polarity.
  if ((from_jfif == 0 || copy.channels() == 1) && info.color_type() != copy.color_type()) {
    copy.color_type(info.color_type());
    changed = true;
  }
  return changed ? VEK_RewriteHeader(manager_).engine(engine, &copy) : engine;
}

VEK_Engine* VEK_ReadDICOM::ybr_partial_to_rgb(VEK_Engine* engine) {
  if (engine == nullptr || engine->header() == nullptr) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_ReadDICOM::ybr_partial_to_rgb()", kFile, 361);
    return nullptr;
  }
  static const double kMatrix[3][3] = {{1.164415463437, -0.000095035992, 1.59600187763},
                                       {1.164415463437, -0.391724563674, -0.813013368277},
                                       {1.164415463437, 2.017290682233, -0.000135273005}};
  VEK_Matrix<double> matrix(manager_);
  VEK_Vector<double> offsets(manager_);
  if (!matrix.resize(3, 3)) return nullptr;
  for (uint32_t r = 0; r < 3; ++r)
    for (uint32_t c = 0; c < 3; ++c)
      if (!matrix.set(r, c, kMatrix[r][c])) return nullptr;
  for (double d : {-16.0, -128.0, -128.0})
    if (!offsets.push_back(d)) return nullptr;
  return VEK_ColorMatrix(manager_).engine(engine, matrix, &offsets, nullptr, VEK_ColorType_s_rgb::instance(), false);
}
