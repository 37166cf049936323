#pragma once
// Run-length images in tests: lines of (start, end) runs to and from the stream engines exchange.

#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "vek_header.h"
#include "vek_test_engines.h"

using Runs = std::vector<std::pair<uint32_t, uint32_t>>;
using Image = std::vector<Runs>;

// The stream of the lines: each run as two native words, then the marker.
inline std::vector<uint8_t> encode(const Image& image) {
  std::vector<uint8_t> out;
  auto word = [&](uint32_t v) {
    uint8_t b[4];
    std::memcpy(b, &v, 4);
    out.insert(out.end(), b, b + 4);
  };
  for (const Runs& line : image) {
    for (auto [s, e] : line) {
      word(s);
      word(e);
    }
    word(0xFFFFFFFFu);
    word(0xFFFFFFFFu);
  }
  return out;
}

// Lines back out of a stream; a stream that does not end on a marker gives a last partial line.
inline Image decode(const std::vector<uint8_t>& bytes) {
  Image image(1);
  for (size_t i = 0; i + 8 <= bytes.size(); i += 8) {
    uint32_t s, e;
    std::memcpy(&s, &bytes[i], 4);
    std::memcpy(&e, &bytes[i + 4], 4);
    if (s == 0xFFFFFFFFu && e == 0xFFFFFFFFu)
      image.emplace_back();
    else
      image.back().emplace_back(s, e);
  }
  if (image.back().empty()) image.pop_back();
  return image;
}

inline void make_rle(VEK_Header& h, uint32_t width, uint32_t height, uint16_t bits = 1, uint16_t channels = 1) {
  make(h, width, height, bits, channels);
  h.encode_type(VEK_EncodeType_qk_rle::instance());
}
