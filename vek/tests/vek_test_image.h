#pragma once
// Chains over caller-given samples of any sample type: a generator that emits an image held
// in memory, and helpers that run it through one engine and collect what comes out.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "vek_engine.h"
#include "vek_errorhandler.h"
#include "vek_test_engines.h"
#include "vek_test_samples.h"
#include "vek_test_support.h"

template <class T>
const VEK_DataType* test_data_type() {
  if constexpr (std::is_floating_point_v<T>) return VEK_DataType::floating;
  if constexpr (std::is_signed_v<T>) return VEK_DataType::s_integer;
  return VEK_DataType::u_integer;
}

template <class T>
bool same_sample(T a, T b) {
  if constexpr (std::is_floating_point_v<T>) return a == b || (a != a && b != b);  // NaN matches NaN
  return a == b;
}

template <class D>
struct TestRun {
  bool made = false;                   // make() gave an engine
  bool passed = false;                 // the job ended without an error
  const VEK_DataType* type = nullptr;  // of the output
  uint16_t bits = 0;
  const VEK_ColorType* color = nullptr;
  std::vector<D> out;
  uint32_t code = 0, line = 0;  // the job's status
  std::string method;
};

inline void set_image(VEK_Header& h, uint16_t bits, const VEK_DataType* type, uint16_t channels, uint32_t width,
                      uint32_t height) {
  make(h, width, height, bits, channels, type);
}

// Runs the samples (one line of S unless a header is given) through make(manager, source),
// collects the output as Ds, and takes the job's status.
template <class D, class S, class Make>
TestRun<D> run_samples(VEK_TestManager& m, const std::vector<S>& in, Make make, const VEK_Header* given = nullptr) {
  TestRun<D> r;
  VEK_Header h(&m);
  if (given != nullptr)
    h = *given;
  else
    set_image(h, uint16_t(sizeof(S) * 8), test_data_type<S>(), 1, uint32_t(in.size()), 1);
  TestFamily family(&m);
  VEK_Engine* source = read_samples(m, h, in);
  VEK_Engine* engine = source != nullptr ? make(&m, source) : nullptr;
  r.made = engine != nullptr;
  if (r.made) {
    r.type = engine->header()->data_type();
    r.bits = engine->header()->bits();
    r.color = engine->header()->color_type();
    std::vector<uint8_t> bytes;
    run(family.collect(engine, &bytes));
    r.out.resize(bytes.size() / sizeof(D));
    if (!r.out.empty()) std::memcpy(r.out.data(), bytes.data(), r.out.size() * sizeof(D));
  }
  r.code = m.status().full_code();
  r.line = m.status().line();
  r.method = m.status().method();
  VEK_Status st(&m);
  r.passed = m.status(st);
  return r;
}

// The output of a job that must succeed and leave nothing behind.
template <class D, class S, class Make>
std::vector<D> mapped(const std::vector<S>& in, Make make) {
  VEK_TestManager m;
  TestRun<D> r = run_samples<D>(m, in, make);
  EXPECT_TRUE(r.passed) << std::hex << r.code << std::dec << " " << r.method << " line " << r.line;
  EXPECT_EQ(r.type, test_data_type<D>());
  EXPECT_EQ(m.memory_manager().live(), 3u);  // the manager's own parts
  return r.out;
}

// The report of a 2 x 2 image of the given kind that make must refuse.
template <class Make>
TestRun<uint8_t> refused(uint16_t bits, const VEK_DataType* type, bool palette, Make make) {
  VEK_TestManager m;
  TestRun<uint8_t> r;
  {
    VEK_Header h(&m);
    set_image(h, bits, type, 1, 2, 2);
    if (palette) {
      h.palette().bits(8);
      h.palette().channels(1);
      h.palette().entries(1);
      const uint8_t entry = 0;
      EXPECT_TRUE(h.palette().value(&entry, 1));
    }
    const std::vector<uint64_t> in(4, 0);
    r = run_samples<uint8_t>(m, in, make, &h);
  }
  EXPECT_FALSE(r.made);
  EXPECT_EQ(m.memory_manager().live(), 3u);
  return r;
}

// Refuses each allocation of the job in turn: every failure is out of memory and leaks
// nothing, and the run that needs no refusal gives want.
template <class D, class S, class Make>
void expect_no_leak_when_memory_runs_out(const std::vector<S>& in, Make make, const std::vector<D>& want,
                                         const VEK_Header* given = nullptr) {
  for (uint64_t n = 1;; ++n) {
    VEK_TestManager m;
    TestRun<D> r = run_samples<D>(
        m, in,
        [&](VEK_Manager* mm, VEK_Engine* source) {
          m.memory_manager().fail_nth(n);
          return make(mm, source);
        },
        given);
    EXPECT_EQ(m.memory_manager().live(), 3u) << "refusing allocation " << n;
    if (r.passed) {
      EXPECT_EQ(r.out, want);
      return;
    }
    EXPECT_EQ(r.code, 0x80010000u) << "refusing allocation " << n;
    ASSERT_LT(n, 100u);
  }
}
