#pragma once
// Sample arrays in and out of engine chains through the caller-memory end points.

#include <cstdint>
#include <cstring>
#include <vector>

#include "vek_memory.h"
#include "vek_test_ops.h"

// A chain start that reads samples, which must outlive the chain.
template <class T>
VEK_Engine* read_samples(VEK_Manager& m, const VEK_Header& h, const std::vector<T>& samples) {
  VEK_ReadMemory reader(&m);
  return reader.engine(h, samples.data(), uint32_t(samples.size() * sizeof(T)));
}

// Everything e delivers, as samples of T.
template <class T>
std::vector<T> collect_as(VEK_Manager& m, VEK_Engine* e) {
  const std::vector<uint8_t> bytes = collect(m, e);
  std::vector<T> out(bytes.size() / sizeof(T));
  if (!out.empty()) std::memcpy(out.data(), bytes.data(), out.size() * sizeof(T));
  return out;
}
