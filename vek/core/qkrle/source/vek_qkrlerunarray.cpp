#include "vek_qkrle.h"

// A copy of an array on its own list uses its own copy, never the other's list.
VEK_QKRLERunArray::VEK_QKRLERunArray(const VEK_QKRLERunArray& other)
    : own_(other.own_),
      runs_(other.uses_own() ? &own_ : other.runs_),
      position_(other.position_),
      count_(other.count_) {
  if (uses_own() && count_ > own_.size()) count_ = own_.size();  // the copy failed and was reported
}

VEK_QKRLERunArray& VEK_QKRLERunArray::operator=(const VEK_QKRLERunArray& other) {
  if (this == &other) return *this;
  own_ = other.own_;
  runs_ = other.uses_own() ? &own_ : other.runs_;
  position_ = other.position_;
  count_ = runs_->size() < other.count_ ? runs_->size() : other.count_;  // a failed copy holds fewer
  return *this;
}

bool VEK_QKRLERunArray::add_run(uint32_t start, uint32_t end) {
  if (!uses_own()) {
    own_ = *runs_;
    if (own_.size() != runs_->size()) return false;
    runs_ = &own_;
  }
  if (!own_.push_back(Run(start, end))) return false;
  count_ = own_.size();
  return true;
}

bool VEK_QKRLERunArray::clear() {
  own_.clear();
  runs_ = &own_;
  position_ = 0;
  count_ = 0;
  return true;
}

bool VEK_QKRLERunArray::put_runs(VEK_DstBuffer* destination) const {
  return vek_qkrle_put_line(own_.manager(), destination, runs_->data(), count_, "VEK_QKRLERunArray::put_runs()",
                            "core/qkrle/source/vek_qkrlerunarray.cpp", __LINE__);
}

bool VEK_QKRLERunArray::operator==(const VEK_QKRLERunArray& other) const {
  if (position_ != other.position_) return false;
  if (uses_own() != other.uses_own() || (!uses_own() && runs_ != other.runs_)) return false;
  if (own_.size() != other.own_.size()) return false;
  for (uint32_t i = 0; i < own_.size(); ++i)
    if (own_.data()[i] != other.own_.data()[i]) return false;
  return true;
}
