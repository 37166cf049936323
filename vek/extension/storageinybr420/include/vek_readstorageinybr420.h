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
class VEK_ReadStorageInYBR420Engine : public VEK_ReadStorageInYBREngine<T> {
 public:
  using VEK_ReadStorageInYBREngine<T>::VEK_ReadStorageInYBREngine;
  using VEK_ReadStorageInYBREngine<T>::initiate;
  bool initiate(VEK_InputStorage* storage, const VEK_Header* header, VEK_DstBuffer* destination, int32_t byte_order);
  bool execute() override;
  bool terminate() override;

 private:
  uint32_t luma_line_bytes_ = 0;
  T* cb_ = nullptr;
  T* cr_ = nullptr;
  bool odd_row_ = false;
};
