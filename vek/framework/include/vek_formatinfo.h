#pragma once
// A header that a reader fills by parsing the start of a stream.

#include <cstdint>

#include "vek_header.h"

class VEK_InputStorage;

class VEK_ResolutionInfo {
 public:
  VEK_ResolutionInfo() = default;
  VEK_ResolutionInfo(double x, double y, uint32_t unit) : x_(x), y_(y), unit_(unit) {}
  virtual ~VEK_ResolutionInfo() = default;
  void resolution(double x, double y, uint32_t unit) {
    x_ = x;
    y_ = y;
    unit_ = unit;
  }
  double x_resolution() const { return x_; }
  double y_resolution() const { return y_; }
  uint32_t unit() const { return unit_; }

 private:
  double x_ = 0.0;
  double y_ = 0.0;
  uint32_t unit_ = 1;
};

class VEK_FormatInfo : public VEK_Header {
 public:
  explicit VEK_FormatInfo(VEK_Manager* manager) : VEK_Header(manager) {}

  virtual const char* format_name() const = 0;
  virtual const VEK_Header& header() const { return *this; }
  virtual VEK_ResolutionInfo& resolution() { return resolution_; }
  virtual const VEK_ResolutionInfo& resolution() const { return resolution_; }

  // Parses the storage; on failure it is put back where it was.
  bool load(VEK_InputStorage* storage);
  // Loaded, and the header is valid.
  bool is_valid() const { return loaded_ && VEK_Header::is_valid(); }
  bool loaded() const { return loaded_; }

 protected:
  virtual bool format_load(VEK_InputStorage* storage) = 0;
  // For a derived info that takes another's load instead of parsing.
  void loaded(bool value) { loaded_ = value; }

 private:
  bool loaded_ = false;
  VEK_ResolutionInfo resolution_;
};
