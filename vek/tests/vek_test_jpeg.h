#pragma once
// JPEG streams through the library's readers into caller memory, and the byte surgery the
// tests make on streams.

#include <cstdint>
#include <cstdlib>
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

// Runs an engine into VEK_WriteRawByteArray and keeps what it wrote and the engine's header.
template <class Manager>
void drain_jpeg(Manager& m, VEK_Engine* e, JpegRun& r) {
  if (e == nullptr) return;
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

// Takes the manager's report and clears it.
template <class Manager>
void take_report(Manager& m, JpegRun& r) {
  r.code = m.status().full_code();
  r.method = m.status().method();
  r.line = m.status().line();
  m.clear();
}

// The whole stream through one reader's loading creator.
template <class Manager>
JpegRun read_jpeg(Manager& m, const std::vector<uint8_t>& bytes, JpegReader reader, uint32_t scale = 256) {
  JpegRun r;
  auto* storage = vek_create<VEK_ByteArrayInputStorage>(&m, bytes.data(), int32_t(bytes.size()));
  if (storage != nullptr) {
    VEK_Engine* e = reader == JpegReader::jpeg   ? VEK_ReadJPEG(&m).engine(storage, scale)
                    : reader == JpegReader::jfif ? VEK_ReadJFIF(&m).engine(storage, scale)
                                                 : VEK_ReadLosslessJPEG(&m).engine(storage);
    storage->destroy();
    drain_jpeg(m, e, r);
  }
  take_report(m, r);
  return r;
}

// Offset of the first FF code marker after SOI, or the size.
inline size_t jpeg_marker_at(const std::vector<uint8_t>& bytes, uint8_t code) {
  for (size_t i = 2; i + 1 < bytes.size(); ++i)
    if (bytes[i] == 0xFF && bytes[i + 1] == code) return i;
  return bytes.size();
}

inline size_t jpeg_segment_size(const std::vector<uint8_t>& bytes, size_t at) {
  return 2 + (size_t(bytes[at + 2]) << 8 | bytes[at + 3]);
}

// Every segment of the marker taken out (before the first scan).
inline std::vector<uint8_t> jpeg_without(std::vector<uint8_t> bytes, uint8_t code) {
  for (size_t at; (at = jpeg_marker_at(bytes, code)) < jpeg_marker_at(bytes, 0xDA);)
    bytes.erase(bytes.begin() + long(at), bytes.begin() + long(at + jpeg_segment_size(bytes, at)));
  return bytes;
}

// A segment FF code, length, payload placed right after SOI.
inline std::vector<uint8_t> jpeg_with_first(std::vector<uint8_t> bytes, uint8_t code,
                                            const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> segment{0xFF, code, uint8_t((payload.size() + 2) >> 8), uint8_t(payload.size() + 2)};
  segment.insert(segment.end(), payload.begin(), payload.end());
  bytes.insert(bytes.begin() + 2, segment.begin(), segment.end());
  return bytes;
}

// JFIF 1.01 APP0 payload with the density unit and values.
inline std::vector<uint8_t> jfif_payload(uint8_t unit = 0, uint16_t x = 1, uint16_t y = 1) {
  return {'J', 'F', 'I', 'F', 0, 1, 1, unit, uint8_t(x >> 8), uint8_t(x), uint8_t(y >> 8), uint8_t(y), 0, 0};
}

// Worst and mean absolute difference of two sample runs of the same size.
struct JpegDistance {
  int worst = 0;
  double mean = 0;
};
inline JpegDistance jpeg_distance(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  JpegDistance d;
  double sum = 0;
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
    const int e = std::abs(int(a[i]) - int(b[i]));
    d.worst = e > d.worst ? e : d.worst;
    sum += e;
  }
  d.mean = a.empty() ? 0 : sum / double(a.size());
  return d;
}

// A one-component lossless stream (predictor 1) of a constant image at half the sample range:
// every difference is 0, coded as the one-bit code of category 0.
inline std::vector<uint8_t> constant_lossless(uint16_t width, uint16_t height, uint8_t precision) {
  std::vector<uint8_t> s{0xFF, 0xD8};
  auto put = [&s](std::initializer_list<uint8_t> b) { s.insert(s.end(), b); };
  put({0xFF, 0xC3, 0, 11, precision, uint8_t(height >> 8), uint8_t(height), uint8_t(width >> 8), uint8_t(width), 1, 1,
       0x11, 0});
  put({0xFF, 0xC4, 0, 20, 0x00, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  put({0xFF, 0xDA, 0, 8, 1, 1, 0x00, 1, 0, 0});
  s.insert(s.end(), (size_t(width) * height + 7) / 8, 0x00);
  put({0xFF, 0xD9});
  return s;
}
