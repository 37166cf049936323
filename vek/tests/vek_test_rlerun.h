#pragma once
// Run-length jobs in tests: an image from memory through one engine chain back to memory.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "vek_memory.h"
#include "vek_qkrle.h"
#include "vek_test_ops.h"
#include "vek_test_qkrle.h"

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
  end_job(m);
  return r;
}

// Refuses each allocation of run(n) in turn: every refusal ends out of memory, leaving nothing
// (run_rle checks), and the run that needs none gives want.
template <class Run>
void expect_rle_refusals(const Run& run, const Image& want) {
  for (uint64_t n = 1;; ++n) {
    const RleRun r = run(n);
    if (r.code == 0) {
      EXPECT_EQ(r.out, want);
      return;
    }
    EXPECT_EQ(r.code, 0x80010000u) << "refusing allocation " << n << " " << r.method;
    ASSERT_LT(n, 200u);
  }
}
