#include "vek_engine.h"
#include "vek_errorhandler.h"

namespace {
constexpr const char* kFile = "framework/engine/source/vek_nbuffersinputengine.cpp";
}

VEK_NBuffersInputEngine::~VEK_NBuffersInputEngine() {
  for (const VEK_Header* h : headers_) const_cast<VEK_Header*>(h)->destroy();
}

bool VEK_NBuffersInputEngine::initiate(const VEK_Vector<const VEK_Header*>& headers,
                                       const VEK_Vector<VEK_SrcBuffer*>& sources) {
  if (headers.empty() || headers.size() != sources.size()) {
    vek_report(in_manager_, VEK_ERROR_ARGUMENT, "VEK_NBuffersInputEngine::initiate()", kFile, 55);
    return false;
  }
  for (const VEK_Header* given : headers) {
    if (given == nullptr) {
      vek_report(in_manager_, VEK_ERROR_ARGUMENT, "VEK_NBuffersInputEngine::initiate()", kFile, 66);
      return false;
    }
    VEK_Header* copy = vek_new<VEK_Header>(in_manager_);
    if (copy == nullptr) return false;
    if (!(*copy = *given) || !headers_.push_back(copy)) {
      copy->destroy();
      return false;
    }
  }
  for (VEK_SrcBuffer* source : sources)
    if (source == nullptr) {
      vek_report(in_manager_, VEK_ERROR_ARGUMENT, "VEK_NBuffersInputEngine::initiate()", kFile, 83);
      return false;
    }
  srcs_ = sources;
  if (srcs_.size() != headers_.size()) return false;
  for (const VEK_Header* h : headers_)
    if (!h->is_valid()) {
      vek_report(in_manager_, VEK_ERROR_ARGUMENT, "VEK_NBuffersInputEngine::initiate()", kFile, 96);
      return false;
    }
  return true;
}

bool VEK_NBuffersInputEngine::terminate(bool created) {
  bool result = true;
  for (const VEK_Header* h : headers_) result = const_cast<VEK_Header*>(h)->destroy() && result;
  headers_.clear();
  if (created) {
    for (VEK_SrcBuffer* s : srcs_)
      if (s != nullptr) result = s->destroy() && result;
    srcs_.clear();
  }
  return result;
}
