#pragma once
// Run-length lines in tests: lines as run lists, and their stream form.

#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <string>

#include "vek_header.h"
#include "vek_memory.h"
#include "vek_qkrle.h"
#include "vek_test_engines.h"
#include "vek_test_ops.h"

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

// A run-length image from memory through make(manager, source) to memory: the output lines,
// the job's status, and what make was given and gave.
struct RleRun {
  Image out;
  uint32_t code = 0;
  std::string method;
  bool made = false;
  VEK_Engine* engine = nullptr;
  VEK_Engine* source = nullptr;
};

// out_room: bytes of the output's longest line; fail_allocation refuses that allocation from the start.
template <class Make>
RleRun run_rle(VEK_TestManager& m, uint32_t width, uint32_t height, const std::vector<uint8_t>& stream,
               uint64_t out_room, uint32_t out_height, Make make, uint64_t fail_allocation = 0) {
  RleRun r;
  {
    VEK_Header h(&m);
    make_rle(h, width, height);
    std::vector<uint8_t> out(stream.size() + 16 * size_t(out_height) + out_room * (out_height + 1), 0xEE);
    uint32_t written = 0;
    if (fail_allocation != 0) m.memory_manager().fail_nth(fail_allocation);
    r.source = VEK_ReadMemory(&m).engine(h, stream.data(), uint32_t(stream.size()));
    r.engine = make(&m, r.source);
    VEK_Engine* sink = VEK_WriteMemory(&m).engine(r.engine, out.data(), uint32_t(out.size()), &written);
    r.made = sink != nullptr;
    run(sink);
    out.resize(written);
    r.out = decode(out);
  }
  r.code = m.status().full_code();
  r.method = m.status().method();
  VEK_Status st(&m);
  m.status(st);
  EXPECT_EQ(m.memory_manager().live(), kManagerParts);
  return r;
}
