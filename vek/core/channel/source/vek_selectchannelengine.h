#pragma once
// The selection engines: one base that checks and copies, and the four engines that name it.

#include <cstdint>

#include "vek_engine.h"

class VEK_SelectChannelEngine : public VEK_ProcessEngine {
 public:
  using VEK_ProcessEngine::initiate;
  using VEK_ProcessEngine::VEK_ProcessEngine;
  bool execute() override;

 protected:
  // The engine's name, file and line for the reports made on its behalf.
  struct Where {
    const char* method;
    const char* file;
    uint32_t line;
  };
  // count channels from first; single engines take exactly one and a one-channel colour type.
  bool select(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination, uint16_t first,
              uint16_t count, const VEK_ColorType* color_type, bool single, bool one_bit, const Where& where);

 private:
  void whole_bytes(const uint8_t* in, uint8_t* out) const;
  void bits(const uint8_t* in, uint8_t* out) const;

  uint16_t bits_ = 0;
  uint16_t channels_ = 0;
  uint16_t first_ = 0;
  uint16_t count_ = 0;
  uint32_t width_ = 0;
  uint32_t src_line_bytes_ = 0;
  uint32_t dst_line_bytes_ = 0;
};

class VEK_Select1Channel1bitEngine : public VEK_SelectChannelEngine {
 public:
  using VEK_SelectChannelEngine::initiate;
  using VEK_SelectChannelEngine::VEK_SelectChannelEngine;
  virtual bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination, uint16_t channel,
                        const VEK_ColorType* color_type);
};

class VEK_Select1Channel8xNbitsEngine : public VEK_SelectChannelEngine {
 public:
  using VEK_SelectChannelEngine::initiate;
  using VEK_SelectChannelEngine::VEK_SelectChannelEngine;
  virtual bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination, uint16_t channel,
                        const VEK_ColorType* color_type);
};

class VEK_SelectNChannel1bitEngine : public VEK_SelectChannelEngine {
 public:
  using VEK_SelectChannelEngine::initiate;
  using VEK_SelectChannelEngine::VEK_SelectChannelEngine;
  virtual bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination, uint16_t first,
                        uint16_t count, const VEK_ColorType* color_type);
};

class VEK_SelectNChannel8xNbitsEngine : public VEK_SelectChannelEngine {
 public:
  using VEK_SelectChannelEngine::initiate;
  using VEK_SelectChannelEngine::VEK_SelectChannelEngine;
  virtual bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination, uint16_t first,
                        uint16_t count, const VEK_ColorType* color_type);
};
