#pragma once
// Small engine families for driving chains in tests: a pattern generator, a line inverter
// that can be told to fail, and a sink that collects what reaches it.

#include <cstdint>
#include <cstring>
#include <vector>

#include "vek_engine.h"
#include "vek_errorhandler.h"

// Byte i of line y is (y * 31 + i * 7 + seed) & 0xFF.
inline uint8_t test_pattern(uint32_t y, uint32_t i, uint32_t seed = 0) { return uint8_t(y * 31 + i * 7 + seed); }

class TestPatternEngine : public VEK_GenerateEngine {
 public:
  using VEK_GenerateEngine::initiate;
  using VEK_GenerateEngine::VEK_GenerateEngine;
  bool initiate(VEK_DstBuffer* destination, const VEK_Header* header, uint32_t seed, uint32_t block) {
    seed_ = seed;
    if (!VEK_GenerateEngine::initiate(header, destination)) return false;
    line_bytes_ = out_header_.line_bytes();
    total_ = uint64_t(line_bytes_) * out_header_.height();
    return dst_->block_bytes(block != 0 ? block : line_bytes_);
  }
  bool execute() override {
    if (done_ >= total_) return false;
    uint8_t* out = static_cast<uint8_t*>(dst_->get());
    if (out == nullptr) return false;
    uint32_t n = dst_->block_bytes();
    if (total_ - done_ < n) n = uint32_t(total_ - done_);
    for (uint32_t k = 0; k < n; ++k, ++done_)
      out[k] = test_pattern(uint32_t(done_ / line_bytes_), uint32_t(done_ % line_bytes_), seed_);
    return dst_->release(n);
  }

 private:
  uint32_t seed_ = 0, line_bytes_ = 0;
  uint64_t total_ = 0, done_ = 0;
};

class TestInvertEngine : public VEK_ProcessLineToLineEngine {
 public:
  using VEK_ProcessLineToLineEngine::initiate;
  using VEK_ProcessLineToLineEngine::VEK_ProcessLineToLineEngine;
  bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination, uint32_t fail_line) {
    fail_line_ = fail_line;
    return VEK_ProcessLineToLineEngine::initiate(header, source, destination) &&
           dst_->block_bytes(out_header_.line_bytes());
  }
  bool process_line(const void* in, void* out) override {
    if (line_ + 1 == fail_line_) return false;
    const uint8_t* s = static_cast<const uint8_t*>(in);
    uint8_t* d = static_cast<uint8_t*>(out);
    for (uint32_t i = 0; i < out_header_.line_bytes(); ++i) d[i] = uint8_t(~s[i]);
    return true;
  }

 private:
  uint32_t fail_line_ = 0;  // 1-based; 0 never fails
};

class TestCollectEngine : public VEK_AnalyzeLineEngine {
 public:
  using VEK_AnalyzeLineEngine::initiate;
  using VEK_AnalyzeLineEngine::VEK_AnalyzeLineEngine;
  bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, std::vector<uint8_t>* out) {
    out_ = out;
    line_bytes_ = header != nullptr ? header->line_bytes() : 0;
    return VEK_AnalyzeLineEngine::initiate(header, source);
  }
  bool analyze_line(const void* line) override {
    const uint8_t* p = static_cast<const uint8_t*>(line);
    out_->insert(out_->end(), p, p + line_bytes_);
    return true;
  }

 private:
  std::vector<uint8_t>* out_ = nullptr;
  uint32_t line_bytes_ = 0;
};

class TestFamily : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* pattern(const VEK_Header& header, uint32_t seed = 0, uint32_t block = 0) {
    return create_generator<TestPatternEngine>(&header, seed, block);
  }
  VEK_Engine* invert(VEK_Engine* source, uint32_t fail_line = 0) {
    // check_source refuses a null source; saying so again lets g++ see it when it inlines this.
    if (!check_source(source, "TestFamily::invert()", "tests/vek_test_engines.h", __LINE__) || source == nullptr)
      return nullptr;
    return create_engine<TestInvertEngine>(source, fail_line);
  }
  VEK_Engine* collect(VEK_Engine* source, std::vector<uint8_t>* out) {
    if (!check_source(source, "TestFamily::collect()", "tests/vek_test_engines.h", __LINE__)) return nullptr;
    return create_sink<TestCollectEngine>(source, out);
  }
};

inline void make(VEK_Header& h, uint32_t w, uint32_t ht, uint16_t bits, uint16_t channels = 1,
                 const VEK_DataType* type = VEK_DataType::u_integer) {
  h.width(w);
  h.height(ht);
  h.bits(bits);
  h.channels(channels);
  h.data_type(type);
}

inline void make_gray(VEK_Header& h, uint32_t w, uint32_t ht, uint16_t bits = 8) {
  make(h, w, ht, bits, 1);
  h.color_type(VEK_ColorType_gray::instance());
}

inline std::vector<uint8_t> expected_pattern(uint32_t line_bytes, uint32_t height, uint32_t seed = 0,
                                             bool invert = false) {
  std::vector<uint8_t> v;
  for (uint32_t y = 0; y < height; ++y)
    for (uint32_t i = 0; i < line_bytes; ++i)
      v.push_back(invert ? uint8_t(~test_pattern(y, i, seed)) : test_pattern(y, i, seed));
  return v;
}

// Runs a sink until it answers false.
inline void run(VEK_Engine* sink) {
  if (sink != nullptr)
    while (sink->execute()) {
    }
}
