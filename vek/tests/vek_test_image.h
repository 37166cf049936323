#pragma once
// Chains over caller-given samples: a generator that emits an image held in memory, sample
// type by sample type, and a helper that runs it through one engine and collects the result.

#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "vek_engine.h"
#include "vek_errorhandler.h"
#include "vek_test_engines.h"
#include "vek_test_support.h"

template <class T>
const VEK_DataType* test_data_type() {
  if constexpr (std::is_floating_point_v<T>)
    return VEK_DataType::floating;
  else if constexpr (std::is_signed_v<T>)
    return VEK_DataType::s_integer;
  else
    return VEK_DataType::u_integer;
}

// Emits height lines of line_bytes bytes each from the caller's memory.
class TestSamplesEngine : public VEK_GenerateEngine {
 public:
  using VEK_GenerateEngine::VEK_GenerateEngine;
  using VEK_GenerateEngine::initiate;
  bool initiate(VEK_DstBuffer* destination, const VEK_Header* header, const void* data) {
    data_ = static_cast<const uint8_t*>(data);
    return VEK_GenerateEngine::initiate(header, destination) && dst_->block_bytes(out_header_.line_bytes());
  }
  bool execute() override {
    if (line_ >= out_header_.height()) return false;
    void* out = dst_->get();
    if (out == nullptr) return false;
    const uint32_t n = out_header_.line_bytes();
    std::memcpy(out, data_ + uint64_t(line_) * n, n);
    ++line_;
    return dst_->release(n);
  }

 private:
  const uint8_t* data_ = nullptr;
  uint32_t line_ = 0;
};

class TestImageFamily : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* samples(const VEK_Header& header, const void* data) {
    return create_generator<TestSamplesEngine>(&header, data);
  }
  VEK_Engine* collect(VEK_Engine* source, std::vector<uint8_t>* out) {
    if (!check_source(source, "TestImageFamily::collect()", "tests/vek_test_image.h", __LINE__)) return nullptr;
    return create_sink<TestCollectEngine>(source, out);
  }
};

// Equal, or both not a number.
template <class T>
bool same_sample(T a, T b) {
  if constexpr (std::is_floating_point_v<T>)
    return a == b || (a != a && b != b);
  else
    return a == b;
}

template <class D>
struct TestRun {
  bool made = false;    // the engine under test was built
  bool passed = false;  // the job ended without an error
  VEK_Engine* engine = nullptr;
  VEK_Engine* source = nullptr;
  const VEK_DataType* type = nullptr;  // of the output header
  uint16_t bits = 0;
  const VEK_ColorType* color = nullptr;
  std::vector<D> out;
  uint32_t code = 0;  // status at the end
  uint32_t line = 0;
};

// Runs width x height x channels samples of S (data type and bits from S unless the header
// is given) through make(manager, source) and collects the output as Ds; when make hands
// back the source itself, the source is collected.
template <class D, class S, class Make>
TestRun<D> run_samples(VEK_TestManager& m, const std::vector<S>& in, uint32_t width, uint16_t channels, Make make,
                       const VEK_Header* given = nullptr) {
  TestRun<D> r;
  VEK_Header h(&m);
  if (given != nullptr) {
    h = *given;
  } else {
    h.width(width);
    h.height(uint32_t(in.size() / (uint64_t(width) * channels)));
    h.channels(channels);
    h.bits(uint16_t(sizeof(S) * 8));
    h.data_type(test_data_type<S>());
  }
  TestImageFamily family(&m);
  r.source = family.samples(h, in.data());
  r.engine = r.source != nullptr ? make(&m, r.source) : nullptr;
  r.made = r.engine != nullptr;
  if (r.made) {
    r.type = r.engine->header()->data_type();
    r.bits = r.engine->header()->bits();
    r.color = r.engine->header()->color_type();
    std::vector<uint8_t> bytes;
    run(family.collect(r.engine, &bytes));
    r.out.resize(bytes.size() / sizeof(D));
    if (!r.out.empty()) std::memcpy(r.out.data(), bytes.data(), r.out.size() * sizeof(D));
  }
  r.code = m.status().full_code();
  r.line = m.status().line();
  VEK_Status st(&m);
  r.passed = m.status(st);
  return r;
}
