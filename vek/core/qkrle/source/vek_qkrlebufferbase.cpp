#include "vek_errorhandler.h"
#include "vek_qkrlebuffer.h"

namespace {
constexpr const char* kFile = "core/qkrle/source/vek_qkrlebufferbase.cpp";
}

bool VEK_QKRLEBufferBase::is_qkrle(const VEK_Header& header) {
  return header.encode_type() == VEK_EncodeType_qk_rle::instance() && header.data_type() == VEK_DataType::u_integer &&
         header.channels() == 1 && header.bits() == 1;
}

bool VEK_QKRLEBufferBase::initiate(VEK_SrcBuffer* source, const VEK_Header* header) {
  if (source == nullptr || header == nullptr) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_QKRLEBufferBase::initiate()", kFile, __LINE__);
    return false;
  }
  if (!is_qkrle(*header)) {
    vek_report(manager_, VEK_ERROR_FORMAT, "VEK_QKRLEBufferBase::initiate()", kFile, __LINE__);
    return false;
  }
  source_ = source;
  header_ = header;
  holder_ = vek_create<SrcBufHolder>(manager_);
  return holder_ != nullptr && holder_->depend(source);
}

bool VEK_QKRLEBufferBase::drop_holder() {
  SrcBufHolder* holder = holder_;
  holder_ = nullptr;
  return vek_destroy(holder);
}

bool VEK_QKRLEBufferBase::terminate() {
  if (data_ != nullptr) manager_->free(data_);
  data_ = nullptr;
  return drop_holder();
}
