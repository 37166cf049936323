#pragma once
// A row-major matrix of doubles or Q12 values on the manager's memory. Reads outside the
// matrix, or of a matrix without elements, give 0; writes there are ignored.

#include <cstdint>
#include <type_traits>

#include "vek_errorhandler.h"
#include "vek_fixedreal.h"
#include "vek_root.h"

template <class T>
class VEK_Matrix : public VEK_Utility {
  static_assert(std::is_same_v<T, double> || std::is_same_v<T, VEK_FixedRealImpl<int, 12>>,
                "matrices hold doubles or Q12 values");

 public:
  explicit VEK_Matrix(VEK_Manager* manager) : VEK_Utility(manager) {}
  VEK_Matrix(const VEK_Matrix&) = delete;
  VEK_Matrix& operator=(const VEK_Matrix&) = delete;
  ~VEK_Matrix() override { release(); }

  // Same element count and an array: only the shape changes, the values stay. Otherwise a new,
  // uninitialised array (call clear). On failure the counts stay and the matrix reads zeros.
  bool resize(uint32_t rows, uint32_t cols) {
    const uint64_t count = uint64_t(rows) * cols;
    if (elements_ != nullptr && count == uint64_t(rows_) * cols_) {
      rows_ = rows;
      cols_ = cols;
      return true;
    }
    release();
    // The memory manager takes a 32-bit size: a larger one would wrap to a small block.
    const uint64_t bytes = count * sizeof(T);
    if (bytes > UINT32_MAX) {
      vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_Matrix<T>::resize()", "core/include/vek_matrix.h", __LINE__);
      return false;
    }
    if (count != 0) {
      elements_ = static_cast<T*>(manager_->allocate(uint32_t(bytes)));
      if (elements_ == nullptr) return false;
    }
    rows_ = rows;
    cols_ = cols;
    return true;
  }

  void clear() {
    if (elements_ == nullptr) return;
    for (uint64_t i = 0, n = uint64_t(rows_) * cols_; i < n; ++i) elements_[i] = T();
  }

  uint32_t rows() const { return rows_; }
  uint32_t cols() const { return cols_; }

  T get(uint32_t r, uint32_t c) const {
    return elements_ != nullptr && r < rows_ && c < cols_ ? elements_[uint64_t(r) * cols_ + c] : T();
  }
  bool set(uint32_t r, uint32_t c, T value) {
    if (elements_ == nullptr || r >= rows_ || c >= cols_) return false;
    elements_[uint64_t(r) * cols_ + c] = value;
    return true;
  }

 private:
  void release() {
    if (elements_ != nullptr) manager_->free(elements_);
    elements_ = nullptr;
  }

  uint32_t rows_ = 0;
  uint32_t cols_ = 0;
  T* elements_ = nullptr;
};
