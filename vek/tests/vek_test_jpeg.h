#pragma once
// JPEG streams through the library's readers into caller memory.

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "vek_memory.h"
#include "vek_memorystorage.h"
#include "vek_readjfif.h"
#include "vek_readjpeg.h"
#include "vek_test_engines.h"
#include "vek_test_support.h"

inline std::vector<uint8_t> jpeg_fixture(const std::string& name) {
  std::ifstream in(std::string(VEK_JPEG_DATA_DIR) + "/" + name, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

struct JpegRun {
  bool made = false;
  std::vector<uint8_t> pixels;
  uint32_t width = 0, height = 0;
  uint16_t bits = 0, channels = 0;
  const VEK_ColorType* color = nullptr;
  uint32_t code = 0;
  std::string method;
  uint32_t line = 0;
};

enum class JpegReader { jpeg, jfif, lossless };

// The whole stream through one reader and VEK_WriteRawByteArray; the manager's report is kept
// and cleared.
template <class Manager>
JpegRun read_jpeg(Manager& m, const std::vector<uint8_t>& bytes, JpegReader reader, uint32_t scale = 256) {
  JpegRun r;
  auto* storage = vek_create<VEK_ByteArrayInputStorage>(&m, bytes.data(), int32_t(bytes.size()));
  if (storage != nullptr) {
    VEK_Engine* e = reader == JpegReader::jpeg   ? VEK_ReadJPEG(&m).engine(storage, scale)
                    : reader == JpegReader::jfif ? VEK_ReadJFIF(&m).engine(storage, scale)
                                                 : VEK_ReadLosslessJPEG(&m).engine(storage);
    storage->destroy();
    if (e != nullptr) {
      r.made = true;
      const VEK_Header* h = e->header();
      r.width = h->width();
      r.height = h->height();
      r.bits = h->bits();
      r.channels = h->channels();
      r.color = h->color_type();
      r.pixels.resize(size_t(h->line_bytes()) * h->height());
      uint32_t written = 0;
      run(VEK_WriteRawByteArray(&m).engine(e, r.pixels.data(), uint32_t(r.pixels.size()), &written));
      r.pixels.resize(written);
    }
  }
  r.code = m.status().full_code();
  r.method = m.status().method();
  r.line = m.status().line();
  m.clear();
  return r;
}
