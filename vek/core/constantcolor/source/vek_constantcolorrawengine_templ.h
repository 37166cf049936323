#pragma once
// The generator behind every constant colour: one line built at initiate, copied height times.

#include <cstdint>
#include <cstring>

#include "vek_engine.h"
#include "vek_errorhandler.h"

template <class T>
class VEK_ConstantColorRawEngine : public VEK_GenerateEngine {
  static constexpr const char* kFile = "core/constantcolor/source/vek_constantcolorrawengine_templ.h";

 public:
  using VEK_GenerateEngine::initiate;
  using VEK_GenerateEngine::VEK_GenerateEngine;
  // Takes the header and allocates the line; the derived engine fills it.
  virtual bool initiate(VEK_DstBuffer* destination, const VEK_Header* header, const VEK_Vector<T>& color);
  bool execute() override;
  bool terminate() override;

 protected:
  uint8_t* pattern_ = nullptr;
  uint32_t pattern_bytes_ = 0;
  uint32_t lines_ = 0;
};

template <class T>
bool VEK_ConstantColorRawEngine<T>::initiate(VEK_DstBuffer* destination, const VEK_Header* header,
                                             const VEK_Vector<T>& color) {
  if (!check_interface_version(VEK_INTERFACE_VERSION)) {
    vek_report(manager_, VEK_ERROR_VERSION, "VEK_ConstantColorRawEngine::initiate()", kFile, __LINE__);
    return false;
  }
  if (!VEK_GenerateEngine::initiate(header, destination)) return false;
  if (!VEK_EncodeType::is_raw(out_header_.encode_type())) {
    vek_report(manager_, VEK_ERROR_FORMAT, "VEK_ConstantColorRawEngine::initiate()", kFile, __LINE__);
    return false;
  }
  if (out_header_.channels() > color.size()) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_ConstantColorRawEngine::initiate()", kFile, __LINE__);
    return false;
  }
  pattern_bytes_ = out_header_.line_bytes();
  pattern_ = static_cast<uint8_t*>(manager_->allocate(pattern_bytes_));
  return pattern_ != nullptr;
}

template <class T>
bool VEK_ConstantColorRawEngine<T>::execute() {
  if (lines_ >= out_header_.height()) return false;
  void* line = dst_->get();
  if (line == nullptr) return false;
  std::memcpy(line, pattern_, pattern_bytes_);
  ++lines_;
  return dst_->release(pattern_bytes_);
}

template <class T>
bool VEK_ConstantColorRawEngine<T>::terminate() {
  if (pattern_ != nullptr) manager_->free(pattern_);
  pattern_ = nullptr;
  return VEK_GenerateEngine::terminate();
}
