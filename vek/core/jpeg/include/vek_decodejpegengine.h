#pragma once
// The read engine of JPEG pixel data: one decoded line per step, straight into the
// destination buffer's line.

#include <cstdint>

#include "vek_engine.h"
#include "vek_errorhandler.h"
#include "vek_jpeginfointernal.h"
#include "vek_readengine.h"
#include "vek_refpointer.h"

class VEK_JPEGInfo;

class VEK_DecodeJPEGEngine : public VEK_ReadEngine {
 public:
  using VEK_ReadEngine::initiate;
  using VEK_ReadEngine::VEK_ReadEngine;
  ~VEK_DecodeJPEGEngine() override = default;

  // Scale is the output size in 256ths: 256, 128, 64 or 32.
  static VEK_DecodeJPEGEngine* create(VEK_Manager* manager, VEK_InputStorage* storage, const VEK_JPEGInfo& info,
                                      VEK_DstBuffer* destination, uint32_t scale);
  bool execute() override;
  bool terminate() override;
  // info is a loaded information object of the same storage; it is the input header.
  virtual bool initiate(VEK_InputStorage* storage, const VEK_JPEGInfo& info, VEK_DstBuffer* destination,
                        uint32_t scale);

 private:
  uint32_t line_ = 0;
  VEK_RefPointer<VEK_JPEGInfoInternal> internal_;
  uint32_t line_bytes_ = 0;
};

// The last steps of every JPEG reader: a destination from the workflow, the engine made on it
// and registered by the creator; null after a report.
VEK_Engine* vek_decode_jpeg_engine(VEK_EngineCreator* creator, VEK_InputStorage* storage, const VEK_JPEGInfo& info,
                                   uint32_t scale);

// The loading creators: an information object of type Info loaded on the stack, then make(info);
// a failed load is reported 0x80100000 under the creator's method.
template <class Info, class Make>
VEK_Engine* vek_jpeg_load_then(VEK_Manager* manager, VEK_InputStorage* storage, const char* method, const char* file,
                               uint32_t line, Make make) {
  Info info(manager);
  if (!info.load(storage)) {
    vek_report(manager, VEK_ERROR_READER, method, file, line);
    return nullptr;
  }
  return make(info);
}
