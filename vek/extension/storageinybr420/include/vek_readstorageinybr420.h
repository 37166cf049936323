#pragma once
// YCbCr with chroma halved both ways: even rows stored as 4:2:2 lines, odd rows as luma
// only, sharing the chroma of the even row above.

#include <cstdint>

#include "vek_readstorageinybr422.h"

class VEK_ReadStorageInYBR420 : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  // The storage stands at the first pixel byte; byte order 1 is little-endian.
  VEK_Engine* engine(VEK_InputStorage* storage, const VEK_Header& header, int32_t byte_order);
};

template <class T>
class VEK_ReadStorageInYBR420Engine : public VEK_ReadEngine {
 public:
  using VEK_ReadEngine::VEK_ReadEngine;
  using VEK_ReadEngine::initiate;
  bool initiate(VEK_InputStorage* storage, const VEK_Header* header, VEK_DstBuffer* destination, int32_t byte_order);
  bool execute() override;
  bool terminate() override;

 private:
  uint32_t width_ = 0;
  uint32_t pair_line_bytes_ = 0;
  uint32_t luma_line_bytes_ = 0;
  uint32_t out_line_bytes_ = 0;
  uint8_t* line_ = nullptr;
  T* cb_ = nullptr;
  T* cr_ = nullptr;
  int32_t byte_order_ = 1;
  uint32_t lines_ = 0;
  bool odd_row_ = false;
};
