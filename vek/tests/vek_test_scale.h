#pragma once
// What the scaling tests share: one job through a creator, headers made in place, refusals,
// sources of sizes no reader makes and sources that stop early.

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <random>
#include <string>
#include <typeinfo>
#include <vector>

#include "vek_test_image.h"
#include "vek_test_ops.h"

using Make = std::function<VEK_Engine*(VEK_Manager*, VEK_Engine*)>;

// The engine creator C called with the source and args.
template <class C, class... A>
Make by(A... args) {
  return [=](VEK_Manager* m, VEK_Engine* s) { return C(m).engine(s, args...); };
}

// What a chain made and the class of the last engine of it.
template <class T>
struct Scaled {
  TestRun<T> run;
  std::string engine;  // the mangled class name, empty when no engine was made
  VEK_Engine* made = nullptr;
  VEK_Engine* source = nullptr;
  bool same() const { return made != nullptr && made == source; }
};

// Runs in through make under the given header; the job must leave nothing behind.
template <class T>
Scaled<T> scale(const VEK_Header& given, const std::vector<T>& in, const Make& make) {
  VEK_TestManager m;
  Scaled<T> s;
  s.run = run_samples<T>(
      m, in,
      [&](VEK_Manager* mm, VEK_Engine* source) {
        s.source = source;
        s.made = make(mm, source);
        if (s.made != nullptr) s.engine = typeid(*s.made).name();
        return s.made;
      },
      &given);
  EXPECT_EQ(m.memory_manager().live(), kManagerParts);
  return s;
}

// The output of a job that must pass; engine, when given, is part of the last engine's class name.
template <class T>
std::vector<T> scaled_ok(const VEK_Header& h, const std::vector<T>& in, const Make& make,
                         const char* engine = nullptr) {
  Scaled<T> s = scale(h, in, make);
  EXPECT_TRUE(s.run.passed) << std::hex << s.run.code << std::dec << " " << s.run.method;
  if (engine != nullptr) {
    EXPECT_NE(s.engine.find(engine), std::string::npos) << s.engine;
  }
  return s.run.out;
}

template <class T>
std::vector<T> scaled_ok(const VEK_Header& h, const std::vector<T>& in, const Make& make, const std::type_info& last) {
  Scaled<T> s = scale(h, in, make);
  EXPECT_TRUE(s.run.passed) << std::hex << s.run.code << std::dec << " " << s.run.method;
  EXPECT_EQ(s.engine, last.name());
  return s.run.out;
}

// A header made in place, so that it can be handed back by value.
struct Head {
  Head(VEK_Manager& m, uint32_t w, uint32_t ht, uint16_t bits, uint16_t channels = 1,
       const VEK_DataType* type = VEK_DataType::u_integer)
      : h(&m) {
    make(h, w, ht, bits, channels, type);
  }
  operator const VEK_Header&() const { return h; }
  // A one-entry grey palette.
  Head& palette() {
    h.palette().bits(8);
    h.palette().channels(1);
    h.palette().entries(1);
    const uint8_t entry = 0;
    EXPECT_TRUE(h.palette().value(&entry, 1));
    return *this;
  }
  Head& rle() {
    h.encode_type(VEK_EncodeType_qk_rle::instance());
    return *this;
  }
  VEK_Header h;
};

inline Head header(VEK_Manager& m, uint32_t w, uint32_t h, uint16_t bits, uint16_t channels = 1,
                   const VEK_DataType* type = VEK_DataType::u_integer) {
  return Head(m, w, h, bits, channels, type);
}

// A refusal: no engine, the report as given, nothing left behind.
inline void expect_refusal(const VEK_Header& h, const Make& make, uint32_t code, const char* method) {
  Scaled<uint8_t> s = scale(h, std::vector<uint8_t>(size_t(h.line_bytes()) * h.height() + 16, 0), make);
  EXPECT_EQ(s.made, nullptr) << method;
  EXPECT_EQ(s.run.code, code) << method << " got " << s.run.method;
  EXPECT_EQ(s.run.method, method);
}

// A chain start whose header claims any size once registered, with no lines behind it, which no
// reader makes: the creators must refuse it before any ratio or buffer is formed.
class ClaimedSizeEngine : public VEK_GenerateEngine {
 public:
  using VEK_GenerateEngine::initiate;
  using VEK_GenerateEngine::VEK_GenerateEngine;
  bool initiate(VEK_DstBuffer* destination, bool rle) {
    make(out_header_, 4, 4, rle ? 1 : 8);
    if (rle) out_header_.encode_type(VEK_EncodeType_qk_rle::instance());
    dst_ = destination;
    return dst_->block_bytes(8);
  }
  void resize(uint32_t width, uint32_t height, uint16_t bits, uint16_t channels) {
    out_header_.width(width);
    out_header_.height(height);
    out_header_.bits(bits);
    out_header_.channels(channels);
  }
  bool execute() override { return false; }
};

class ClaimedSizeFamily : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* source(uint32_t width, uint32_t height, bool rle = false, uint16_t bits = 0, uint16_t channels = 1) {
    VEK_Engine* e = create_generator<ClaimedSizeEngine>(rle);
    if (e != nullptr)
      static_cast<ClaimedSizeEngine*>(e)->resize(width, height, bits != 0 ? bits : rle ? 1 : 8, channels);
    return e;
  }
};

// make refuses the claimed size with the given code, before any division, leaving nothing behind.
inline void expect_size_refused(uint32_t W, uint32_t H, const Make& make, bool rle = false, uint16_t bits = 0,
                                uint16_t channels = 1, uint32_t code = 0x80800000u) {
  VEK_TestManager m;
  VEK_Engine* source = ClaimedSizeFamily(&m).source(W, H, rle, bits, channels);
  ASSERT_NE(source, nullptr) << m.status().method();
  EXPECT_EQ(make(&m, source), nullptr);
  EXPECT_EQ(m.status().full_code(), code) << W << " x " << H << " " << m.status().method();
  end_job(m);
}

// A source of 5 x H that stops after line 1, 2 or 3: the scaling engines end the job there,
// without releasing a line they never took (the source buffer would report that).
inline void expect_stopping_sources_end_cleanly(const std::vector<std::array<uint32_t, 3>>& sizes,
                                                const std::function<Make(uint32_t, uint32_t)>& make) {
  for (auto [H, w, h] : sizes)
    for (uint32_t fail : {1u, 2u, 3u}) {
      VEK_TestManager m;
      std::vector<uint8_t> out;
      {
        VEK_Header head(&m);
        ::make(head, 5, H, 8);
        TestFamily family(&m);
        VEK_Engine* chain = family.invert(family.pattern(head), fail);
        run(family.collect(make(w, h)(&m, chain), &out));
      }
      EXPECT_LT(out.size(), size_t(w) * h);
      EXPECT_EQ(m.status().full_code(), 0u) << m.status().method();
      expect_clean_end(m);
    }
}
