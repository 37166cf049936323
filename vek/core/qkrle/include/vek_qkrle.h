#pragma once
// QK-RLE run-length lines of 1-bit, 1-channel images. A line is its runs of set pixels, each
// {start, end} inclusive as two native 32-bit words, ascending, at least one clear pixel apart,
// then the end-of-line marker {0xFFFFFFFF, 0xFFFFFFFF}. An image is its lines back to back.

#include <cstdint>
#include <cstring>
#include <utility>

#include "vek_buffer.h"
#include "vek_errorhandler.h"
#include "vek_vector.h"

class VEK_QKRLERun {
 public:
  static constexpr uint32_t kMarker = 0xFFFFFFFFu;

  VEK_QKRLERun() = default;  // the end-of-line marker
  VEK_QKRLERun(uint32_t start_, uint32_t end_) : start(start_), end(end_) {}

  bool is_end() const { return start == kMarker && end == kMarker; }
  static VEK_QKRLERun end_of_line() { return VEK_QKRLERun(); }

  uint32_t start = kMarker;
  uint32_t end = kMarker;
};
static_assert(sizeof(VEK_QKRLERun) == 8, "a run is two 32-bit words in the stream");

// Bytes of the longest line of that width, every other pixel set, with its marker. Above 32 bits
// for widths past about 2^30, so callers check it before using it as a block size.
constexpr uint64_t max_line_bytes(uint32_t width) { return (uint64_t(width) + 1) / 2 * 8 + 8; }

// Reads the run at p; stream blocks need not be aligned for 32-bit loads.
inline VEK_QKRLERun vek_qkrle_load(const uint8_t* p) {
  VEK_QKRLERun r;
  std::memcpy(&r, p, sizeof r);
  return r;
}

inline VEK_QKRLERun vek_qkrle_run_of(const VEK_QKRLERun& r) { return r; }
inline VEK_QKRLERun vek_qkrle_run_of(const std::pair<unsigned int, unsigned int>& r) { return {r.first, r.second}; }

// Writes count runs and the marker as one line: full destination blocks of block_bytes / 8 runs,
// the last holding the rest and the marker. A block under 8 bytes could hold nothing: refused
// before anything is written.
template <class R>
bool vek_qkrle_put_line(VEK_Manager* manager, VEK_DstBuffer* destination, const R* runs, uint32_t count,
                        const char* method, const char* file, uint32_t line) {
  const uint32_t block = destination != nullptr ? destination->block_bytes() : 0;
  if (block < sizeof(VEK_QKRLERun)) {
    vek_report(manager, VEK_ERROR_ARGUMENT, method, file, line);
    return false;
  }
  const uint32_t per_block = block / uint32_t(sizeof(VEK_QKRLERun));
  uint32_t left = count;
  while (uint64_t(left) + 1 > per_block) {
    uint8_t* out = static_cast<uint8_t*>(destination->get());
    if (out == nullptr) return false;
    for (uint32_t i = 0; i < per_block; ++i, ++runs, out += 8) {
      const VEK_QKRLERun r = vek_qkrle_run_of(*runs);
      std::memcpy(out, &r, 8);
    }
    if (!destination->release(per_block * 8)) return false;
    left -= per_block;
  }
  uint8_t* out = static_cast<uint8_t*>(destination->get());
  if (out == nullptr) return false;
  for (uint32_t i = 0; i < left; ++i, ++runs, out += 8) {
    const VEK_QKRLERun r = vek_qkrle_run_of(*runs);
    std::memcpy(out, &r, 8);
  }
  const VEK_QKRLERun marker;
  std::memcpy(out, &marker, 8);
  return destination->release(left * 8 + 8);
}

// One line's runs being read or built.
template <class Run>
class VEK_QKRLERunVectorBase : public VEK_Utility {
  static constexpr const char* kFile = "core/qkrle/include/vek_qkrle.h";

 public:
  explicit VEK_QKRLERunVectorBase(VEK_Manager* manager) : VEK_Utility(manager), runs_(manager) {}

  // The run at the read position, which then advances; false past the last run.
  bool get_next_run(uint32_t& start, uint32_t& end) {
    if (position_ >= runs_.size()) return false;
    start = runs_[position_].start;
    end = runs_[position_].end;
    ++position_;
    return true;
  }
  bool add_run(uint32_t start, uint32_t end) { return runs_.push_back(Run(start, end)); }
  bool clear() {
    runs_.clear();
    position_ = 0;
    return true;
  }
  uint32_t size() const { return runs_.size(); }

  // Writes the runs from the read position on as one line and moves the position past them.
  bool put_runs(VEK_DstBuffer* destination) {
    const uint32_t from = position_ < runs_.size() ? position_ : runs_.size();
    if (!vek_qkrle_put_line(manager_, destination, runs_.data() + from, runs_.size() - from,
                            "VEK_QKRLERunVectorBase::put_runs()", kFile, __LINE__))
      return false;
    position_ = runs_.size();
    return true;
  }

 private:
  uint32_t position_ = 0;
  VEK_Vector<Run> runs_;
};

class VEK_QKRLERunVector : public VEK_QKRLERunVectorBase<VEK_QKRLERun> {
 public:
  using VEK_QKRLERunVectorBase<VEK_QKRLERun>::VEK_QKRLERunVectorBase;
};

// One line's runs as the run-length engines use them: a view of a run buffer's line that takes a
// copy of its own at the first add_run, and an iterator over the runs.
class VEK_QKRLERunArray {
 public:
  using Run = std::pair<unsigned int, unsigned int>;
  using Line = VEK_Vector<Run>;

  explicit VEK_QKRLERunArray(VEK_Manager* manager) : own_(manager), runs_(&own_) {}
  VEK_QKRLERunArray(const Line& runs, uint32_t position)
      : own_(runs.manager()), runs_(&runs), position_(position), count_(runs.size()) {}
  VEK_QKRLERunArray(const VEK_QKRLERunArray& other);
  VEK_QKRLERunArray& operator=(const VEK_QKRLERunArray& other);

  // Appends a run; a shared line is copied first and never changed.
  bool add_run(uint32_t start, uint32_t end);
  // Empty, on its own runs, keeping their room: an engine's output array serves every line.
  bool clear();
  // Writes every run of the list in use as one line, whatever the position.
  bool put_runs(VEK_DstBuffer* destination) const;

  uint32_t count() const { return count_; }
  uint32_t position() const { return position_; }
  const Run& operator*() const { return (*runs_)[position_]; }
  const Run* operator->() const { return &**this; }
  VEK_QKRLERunArray& operator++() {
    if (position_ < count_) ++position_;
    return *this;
  }
  // Same list (arrays on their own lists compare those by content), position and own runs.
  bool operator==(const VEK_QKRLERunArray& other) const;
  bool operator!=(const VEK_QKRLERunArray& other) const { return !(*this == other); }

 private:
  bool uses_own() const { return runs_ == &own_; }

  Line own_;
  const Line* runs_;
  uint32_t position_ = 0;
  uint32_t count_ = 0;
};
