#include "vek_convertdatatype.h"

#include <cfloat>
#include <cmath>

#include "vek_clampround.h"
#include "vek_convert1to8xnbits.h"
#include "vek_convertdatatype1bit.h"
#include "vek_convertdatatype8xnbits.h"
#include "vek_errorhandler.h"
#include "vek_numeric.h"
#include "vek_sampletype.h"
#include "vek_shiftdata.h"

namespace {
constexpr const char* kFile = "core/convertdatatype/source/vek_convertdatatype.cpp";

bool near(double a, double b) { return nearly_equal(a, b, DBL_EPSILON); }

// fmod(x, 1) within the tolerance of 0, 1 or -1.
bool integral(double x) {
  const double r = std::fmod(x, 1.0);
  return near(r, 0.0) || near(r, 1.0) || near(r, -1.0);
}

bool lut_output(const VEK_DataType* type, uint16_t bits) {
  if (type == VEK_DataType::u_integer || type == VEK_DataType::s_integer) return bits == 8 || bits == 16 || bits == 32;
  if (type == VEK_DataType::floating) return bits == 32 || bits == 64;
  return false;
}
}  // namespace

VEK_Engine* VEK_ConvertDataType::engine(VEK_Engine* source, const VEK_DataType* data_type, uint16_t bits, double slope,
                                        double intercept) {
  // A missing output type is refused like a missing source: there is nothing to convert to.
  if (source == nullptr || source->header() == nullptr || data_type == nullptr) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_ConvertDataType::engine()", kFile, 68);
    return nullptr;
  }
  const VEK_Header& h = *source->header();
  if (data_type == h.data_type() && bits == h.bits() && near(slope, 1.0) && near(intercept, 0.0)) return source;

  const uint64_t samples = uint64_t(h.channels()) * h.height() * h.width();
  if (lut_output(data_type, bits) && (h.bits() == 8 || h.bits() == 16) && samples > (uint64_t(1) << h.bits()))
    return lut_engine(source, data_type, bits, slope, intercept);

  if (h.bits() == 1) {
    if (bits == 1) return VEK_ConvertDataType1bit(manager_).engine(source, slope, intercept);
    if (is_two_value_conversion(h, data_type, bits, slope, intercept))
      return VEK_Convert1To8xNBits(manager_).engine(source, data_type, bits, value0_, value1_);
    return VEK_ConvertDataTypeFrom1bit(manager_).engine(source, data_type, bits, slope, intercept);
  }
  if (bits == 1) return VEK_ConvertDataTypeTo1bit(manager_).engine(source, data_type, slope, intercept);
  if (is_pure_shift(h, data_type, bits, slope, intercept))
    return VEK_ShiftData(manager_).engine(source, data_type, bits, shift_count_, with_limit_);
  return VEK_ConvertDataType8xNbits(manager_).engine(source, data_type, bits, slope, intercept);
}

VEK_Engine* VEK_ConvertDataType::lut_engine(VEK_Engine* source, const VEK_DataType* data_type, uint16_t bits,
                                            double slope, double intercept) {
  const VEK_Header& h = *source->header();
  VEK_LutData lut(manager_);
  lut.bits(bits);
  lut.channels(1);
  lut.entries(uint32_t(1) << h.bits());
  lut.data_type(data_type);
  const uint32_t size = uint32_t(bits / 8) * lut.entries();
  void* table = manager_->allocate(size);
  if (table == nullptr) return nullptr;
  const int32_t offset = h.data_type() == VEK_DataType::u_integer ? 0 : h.bits() == 8 ? -128 : -32768;
  fill_linear_lut(table, offset, lut, slope, intercept);
  const bool taken = lut.value(table, size);
  manager_->free(table);
  return taken ? VEK_Lut(manager_).engine(source, &lut, nullptr) : nullptr;
}

void VEK_ConvertDataType::fill_linear_lut(void* table, int32_t offset, const VEK_LutData& lut, double slope,
                                          double intercept) {
  const uint16_t b = lut.bits();
  if (b != 8 && b != 16 && b != 32 && b != 64) return;
  vek_visit_sample(vek_sample_index(lut.data_type(), b), [&](auto tag) {
    using T = decltype(tag);
    ::fill_linear_lut<T>(static_cast<T*>(table), offset, lut.entries(), slope, intercept);
  });
}

bool VEK_ConvertDataType::is_two_value_conversion(const VEK_Header& source, const VEK_DataType* data_type,
                                                  uint16_t bits, double slope, double intercept) {
  if (source.data_type() == VEK_DataType::floating || data_type == VEK_DataType::floating) return false;
  if (bits != 8 && bits != 16) return false;
  if (!integral(slope) || !integral(intercept)) return false;
  // Truncation toward zero, held inside 32 bits so that it stays defined.
  auto truncate = [](double v) { return int32_t(std::trunc(std::fmin(std::fmax(v, -2147483648.0), 2147483647.0))); };
  value0_ = truncate(intercept);
  value1_ = truncate(intercept + slope);
  int64_t low = 0, high = 0;
  if (data_type == VEK_DataType::u_integer) {
    high = (int64_t(1) << bits) - 1;
  } else {
    low = -(int64_t(1) << (bits - 1));
    high = (int64_t(1) << (bits - 1)) - 1;
  }
  return value0_ >= low && value0_ <= high && value1_ >= low && value1_ <= high;
}

bool VEK_ConvertDataType::is_pure_shift(const VEK_Header& source, const VEK_DataType* data_type, uint16_t bits,
                                        double slope, double intercept) {
  with_limit_ = false;
  if (source.data_type() == VEK_DataType::floating || data_type == VEK_DataType::floating) return false;
  if (!(std::fabs(slope) > DBL_EPSILON) || !(std::fabs(intercept) <= DBL_EPSILON) || slope < 0) return false;
  const double e = std::log(slope) / std::log(2.0);
  if (!integral(e)) return false;
  const double count = std::trunc(e);
  if (count < -31 || count > 31) return false;
  shift_count_ = int16_t(count);
  if (source.data_type() == VEK_DataType::s_integer && data_type == VEK_DataType::u_integer) {
    with_limit_ = true;
    return true;
  }
  const int16_t d = int16_t(int(bits) - int(source.bits()));
  int16_t headroom = d;
  if (source.data_type() == VEK_DataType::s_integer) ++headroom;
  if (data_type == VEK_DataType::s_integer || bits == 32) --headroom;
  if (d <= 0) --headroom;
  with_limit_ = shift_count_ > headroom;
  return true;
}
