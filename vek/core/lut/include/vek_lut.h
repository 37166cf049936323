#pragma once
// Sample look-up tables: the table description and the creators that apply one to every
// sample of an 8- or 16-bit integer image.

#include <cstdint>

#include "vek_engine.h"
#include "vek_root.h"
#include "vek_types.h"

// channels blocks of entries values, bits wide each, in the host's byte order. Entry i of a
// table for a signed b-bit source belongs to the value i - 2^(b-1).
class VEK_LutData : public VEK_Utility {
 public:
  explicit VEK_LutData(VEK_Manager* manager) : VEK_Utility(manager) {}
  VEK_LutData(const VEK_LutData&) = delete;
  VEK_LutData& operator=(const VEK_LutData&) = delete;
  ~VEK_LutData() override;

  uint16_t bits() const { return bits_; }
  uint16_t channels() const { return channels_; }
  uint32_t entries() const { return entries_; }
  const VEK_DataType* data_type() const { return data_type_; }
  void bits(uint16_t v) { bits_ = v; }
  void channels(uint16_t v) { channels_ = v; }
  void entries(uint32_t v) { entries_ = v; }
  void data_type(const VEK_DataType* v) { data_type_ = v; }

  // Replaces the table by a copy of size bytes, which must be channels x bits x entries / 8;
  // null and 0 empty it.
  bool value(const void* table, uint32_t size);
  const uint8_t* table() const { return table_; }
  // Bytes held; the description may have been changed since the table was set.
  uint32_t table_bytes() const { return table_bytes_; }
  // channels x bits x entries / 8 as the description now says, in 64 bits.
  uint64_t expected_bytes() const { return uint64_t(channels_) * bits_ * entries_ / 8; }

  bool is_valid() const;

 private:
  uint16_t bits_ = 0;
  uint16_t channels_ = 0;
  uint32_t entries_ = 0;
  uint8_t* table_ = nullptr;
  uint32_t table_bytes_ = 0;
  const VEK_DataType* data_type_ = VEK_DataType::u_integer;
};

// Chooses the unsigned or the signed family by the source's data type.
class VEK_Lut : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  // color_type may be null; when given, the output is labelled with it.
  VEK_Engine* engine(VEK_Engine* source, const VEK_LutData* lut, const VEK_ColorType* color_type);
};

class VEK_LutU8xNbits : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, const VEK_LutData* lut, const VEK_ColorType* color_type);
};

class VEK_LutS8xNbits : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, const VEK_LutData* lut, const VEK_ColorType* color_type);
};
