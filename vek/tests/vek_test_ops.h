#pragma once
// Helpers for the tests of the engine families: headers, whole-image collection, refusals.

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <random>
#include <vector>

#include "vek_test_engines.h"
#include "vek_test_support.h"

inline constexpr size_t kManagerParts = 3;  // handler, workflow, relation table

inline std::vector<uint8_t> collect(VEK_Manager& m, VEK_Engine* e) {
  std::vector<uint8_t> out;
  TestFamily family(&m);
  if (e != nullptr) run(family.collect(e, &out));
  return out;
}

// count pixels, each the values of color as native samples of T.
template <class T>
std::vector<uint8_t> pixels(uint32_t count, std::initializer_list<T> color) {
  std::vector<uint8_t> v;
  for (uint32_t i = 0; i < count; ++i)
    for (T c : color) {
      uint8_t b[sizeof(T)];
      std::memcpy(b, &c, sizeof(T));
      v.insert(v.end(), b, b + sizeof(T));
    }
  return v;
}

// The stored report, then the end of the job: an error and nothing left behind.
inline void expect_refused(VEK_TestManager& m, uint32_t code, const char* method, const char* file) {
  EXPECT_EQ(m.status().full_code(), code);
  EXPECT_STREQ(m.status().method(), method);
  EXPECT_STREQ(m.status().file(), file);
  VEK_Status st(&m);
  EXPECT_FALSE(m.status(st));
  EXPECT_EQ(m.memory_manager().live(), kManagerParts);
}

// Ends the job, whatever its status, and checks nothing is left behind.
inline void end_job(VEK_TestManager& m) {
  VEK_Status st(&m);
  m.status(st);
  EXPECT_EQ(m.memory_manager().live(), kManagerParts);
}

inline void expect_clean_end(VEK_TestManager& m) {
  VEK_Status st(&m);
  EXPECT_TRUE(m.status(st)) << st.method();
  EXPECT_EQ(m.memory_manager().live(), kManagerParts);
}

template <class T>
std::vector<T> random_samples(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<T> v(n);
  for (T& x : v) x = T(rng());
  return v;
}

inline std::vector<uint8_t> random_bytes(size_t n, uint32_t seed, uint32_t below = 256) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (uint8_t& b : v) b = uint8_t(rng() % below);
  return v;
}
