#pragma once
// The adapter between the library's objects and the JPEG codec: the codec's lock and its
// reference-counted global set-up, allocation and byte-source callbacks, colour codes, and
// the mapping of codec results to reported library codes.

#include <cstdint>

#include "jpeg/jpegdecode.h"
#include "vek_object.h"
#include "vek_refpointer.h"
#include "vek_storage.h"
#include "vek_types.h"

class VEK_Manager;

// The library's global mutex; only the codec's global set-up and release take it.
void jpeg_codec_lock();
void jpeg_codec_unlock();
// Processor set-up once per process, then one more reference to the codec's global state: the
// first reference makes the range-limit table. 1, or -1 when the table could not be made.
jpeg_status jpeg_codec_acquire(const jpeg_allocator* allocator, void* user);
// One reference less; the last frees the range-limit table. A count of 0 is left alone.
void jpeg_codec_release(const jpeg_allocator* allocator, void* user);

// The codec's allocator over a VEK_JPEGCodecHolder's manager.
void* jpeg_manager_alloc(void* object, uint32_t size);
void jpeg_manager_free(void* object, void* pointer);

// The codec's byte source over a VEK_JPEGCodecHolder's input storage.
int32_t jpeg_source_get_byte(void* object);
int32_t jpeg_source_read(void* object, uint8_t* buffer, uint32_t count);
int64_t jpeg_source_tell(void* object);
int64_t jpeg_source_seek(void* object, int64_t position);

// Reports the library code for a codec result; 1, -1, -12 and -9999 are not reported.
void jpeg_report_status(VEK_Manager* manager, jpeg_status status, const char* method);
// The same under the method name owner + step ("VEK_JPEGInfoInternal::" "execute()").
void vek_jpeg_report_step(VEK_Manager* manager, jpeg_status status, const char* owner, const char* step);
// The codec colour code of a library colour type; 99999 for none the codec knows.
int32_t jpeg_color_code(const VEK_ColorType* type);

// Puts a new object into ref. A reference without memory for its count would never destroy the
// object: then the object is destroyed here and the answer is false (the manager has reported).
template <class T>
bool vek_jpeg_hold(VEK_RefPointer<T>& ref, T* object) {
  ref = VEK_RefPointer<T>(object);
  if (object == nullptr || ref.use_count() != 0) return object != nullptr;
  ref.release();
  object->destroy();
  return false;
}

// One codec decoder opened on an input storage that the holder does not own. The codec's
// callbacks receive the holder itself.
class VEK_JPEGCodecHolder : public VEK_Object {
 public:
  using VEK_Object::VEK_Object;
  ~VEK_JPEGCodecHolder() override = default;
  // Destroys the decoder and releases the codec reference taken by a successful start.
  bool terminate() override;

  jpeg_decoder* decoder() const { return decoder_; }
  VEK_InputStorage* storage() const { return storage_; }

 protected:
  // The manager allocator and the storage source, both over this holder.
  static const jpeg_allocator* allocator();
  jpeg_source source();
  // Takes a codec reference under the codec lock.
  void acquire();

  jpeg_decoder* decoder_ = nullptr;
  VEK_InputStorage* storage_ = nullptr;
  bool acquired_ = false;
};

// The tables of a tables-only stream (SOI, DQT, DHT, EOI), lent to the decoders of images
// that leave them out.
class VEK_JPEGTableInfoInternal : public VEK_JPEGCodecHolder {
 public:
  using VEK_JPEGCodecHolder::VEK_JPEGCodecHolder;
  static VEK_JPEGTableInfoInternal* create(VEK_Manager* manager, VEK_InputStorage* storage);
  virtual bool initiate(VEK_InputStorage* storage);
  // Reports a failed step under this class's name; -11 counts as invalid and invalid as broken.
  void report(jpeg_status status, const char* step) const;
};

// The decoder of one image, its header read and positioned after it.
class VEK_JPEGInfoInternal : public VEK_JPEGCodecHolder {
 public:
  using VEK_JPEGCodecHolder::VEK_JPEGCodecHolder;
  ~VEK_JPEGInfoInternal() override;

  // The table reference is taken by value: its count is raised for the call only.
  static VEK_JPEGInfoInternal* create(VEK_Manager* manager, VEK_InputStorage* storage, const VEK_ColorType* color,
                                      VEK_RefPointer<VEK_JPEGTableInfoInternal> tables, uint8_t option);
  bool initiate(VEK_InputStorage* storage, const VEK_ColorType* color,
                const VEK_RefPointer<VEK_JPEGTableInfoInternal>& tables, uint8_t option);
  bool get_jpeginfo(VEK_InputStorage* storage, const VEK_ColorType* color, uint8_t option);

  uint32_t width() const { return jpeg_width(decoder_); }
  uint32_t height() const { return jpeg_height(decoder_); }
  uint32_t component_count() const { return uint32_t(decoder_->component_count); }
  int32_t sample_bits() const { return decoder_->sample_bits; }
  int32_t output_color() const { return jpeg_output_color_code(decoder_); }
  uint32_t sampling_code() const { return jpeg_sampling_code(decoder_); }
  bool is_progressive() const { return jpeg_is_progressive(decoder_); }
  bool is_separate_scan() const { return jpeg_is_separate_scan(decoder_); }
  bool is_lossless() const { return jpeg_is_lossless(decoder_); }
  uint32_t density_x() const { return jpeg_resolution_x(decoder_); }
  uint32_t density_y() const { return jpeg_resolution_y(decoder_); }
  jpeg_status start_decode() { return jpeg_start_decode(decoder_); }
  jpeg_status decode_row(uint8_t* line) { return jpeg_decode_row(decoder_, line); }
  jpeg_status set_scale(uint32_t denominator) { return jpeg_set_scale(decoder_, denominator); }

  bool has_jfif() const;
  bool has_exif() const;
  bool has_g3fax() const;
  bool has_adobe() const;

  // Reports a failed step ("initiate()", "execute()", ...) under this class's name; -11 counts
  // as invalid data.
  void report(jpeg_status status, const char* step) const;

 private:
  VEK_RefPointer<VEK_JPEGTableInfoInternal> tables_;
};
