#include <atomic>

#include "vek_errorhandler.h"
#include "vek_scaleppby.h"
#include "vek_scaleppfastrengine.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace {
constexpr const char* kFile = "extension/scalefast/source/vek_scaleppfastby.cpp";
using Q12 = VEK_FixedRealImpl<int, 12>;

std::atomic<int> assumed_sse2{-1};

bool fractional(uint32_t s, uint32_t n) { return s != 1 && s > n && s % n != 0; }

// A fast reduction engine E of the sample type, or the source when the size stays.
template <template <class, class> class E, class T>
class FastPass : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;

  VEK_Engine* make(VEK_Engine* source, uint32_t size, bool width, const char* method) {
    if (!check_source(source, method, kFile, __LINE__)) return nullptr;
    const VEK_Header* h = source->header();
    if ((width ? h->width() : h->height()) == size) return source;
    if (h->bits() == 8) return create_engine<E<unsigned char, T>>(source, size);
    if (h->bits() == 16) return create_engine<E<unsigned short, T>>(source, size);
    vek_report(manager_, VEK_ERROR_FORMAT, method, kFile, __LINE__);
    return nullptr;
  }
};

// One direction of the fast creator: fractional reductions to the fast engines, the rest to the
// general creator.
template <class T, class Fast>
VEK_Engine* choose(VEK_Manager* manager, VEK_Engine* source, uint32_t n, bool width, const char* method, int line) {
  if (source == nullptr || source->header() == nullptr || n == 0) {
    vek_report(manager, VEK_ERROR_ARGUMENT, method, kFile, line);
    return nullptr;
  }
  const VEK_Header* h = source->header();
  const uint32_t s = width ? h->width() : h->height();
  if (s == n) return source;
  if (fractional(s, n)) return Fast(manager).engine(source, n);
  return VEK_ScalePPBy<T>(manager).engine(source, width ? n : h->width(), width ? h->height() : n);
}

// The passes in order: height first exactly when the height shrinks.
template <class T>
VEK_Engine* both(VEK_Manager* manager, VEK_Engine* source, uint32_t width, uint32_t height) {
  if (height < source->header()->height())
    return VEK_ScaleWidthPPFastBy<T>(manager).engine(VEK_ScaleHeightPPFastBy<T>(manager).engine(source, height), width);
  return VEK_ScaleHeightPPFastBy<T>(manager).engine(VEK_ScaleWidthPPFastBy<T>(manager).engine(source, width), height);
}
}  // namespace

bool VEK_ScalePPFastBy<Q12>::has_sse2() {
  const int assumed = assumed_sse2.load(std::memory_order_relaxed);
  if (assumed >= 0) return assumed != 0;
#if defined(__x86_64__) || defined(__i386__)
  if (__get_cpuid_max(0, nullptr) < 1) return false;
  unsigned int a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
  return (d & bit_SSE2) != 0;
#else
  return false;
#endif
}

void VEK_ScalePPFastBy<Q12>::assume_sse2_for_testing(int state) { assumed_sse2.store(state < 0 ? -1 : state != 0); }

VEK_Engine* VEK_ScalePPFastBy<Q12>::engine(VEK_Engine* source, uint32_t width, uint32_t height) {
  if (!check_source(source, "VEK_ScalePPFastBy::engine()", kFile, __LINE__)) return nullptr;
  const bool wide = source->header()->bits() > 8;
  if (!has_sse2())
    return wide ? VEK_ScalePPBy<double>(manager_).engine(source, width, height)
                : VEK_ScalePPBy<Q12>(manager_).engine(source, width, height);
  return wide ? both<double>(manager_, source, width, height) : both<Q12>(manager_, source, width, height);
}

template <class T>
VEK_Engine* VEK_ScaleHeightPPFastBy<T>::engine(VEK_Engine* source, uint32_t height) {
  return choose<T, VEK_ScaleHeightPPFastRBy<T>>(manager_, source, height, false, "VEK_ScaleHeightPPFastBy::engine()",
                                                __LINE__);
}

template <class T>
bool VEK_ScaleHeightPPFastBy<T>::is_fractional_reduction(const VEK_Header* header, uint32_t n) const {
  return header != nullptr && fractional(header->height(), n);
}

template <class T>
VEK_Engine* VEK_ScaleWidthPPFastBy<T>::engine(VEK_Engine* source, uint32_t width) {
  return choose<T, VEK_ScaleWidthPPFastRBy<T>>(manager_, source, width, true, "VEK_ScaleWidthPPFastBy::engine()",
                                               __LINE__);
}

template <class T>
bool VEK_ScaleWidthPPFastBy<T>::is_fractional_reduction(const VEK_Header* header, uint32_t n) const {
  return header != nullptr && fractional(header->width(), n);
}

template <class T>
VEK_Engine* VEK_ScaleHeightPPFastRBy<T>::engine(VEK_Engine* source, uint32_t height) {
  return FastPass<VEK_ScaleHeightPPFastREngine, T>(manager_).make(source, height, false,
                                                                  "VEK_ScaleHeightPPFastRBy::engine()");
}

template <class T>
VEK_Engine* VEK_ScaleWidthPPFastRBy<T>::engine(VEK_Engine* source, uint32_t width) {
  return FastPass<VEK_ScaleWidthPPFastREngine, T>(manager_).make(source, width, true,
                                                                 "VEK_ScaleWidthPPFastRBy::engine()");
}

#define VEK_PPFAST_INSTANCES(T)                \
  template class VEK_ScaleHeightPPFastBy<T>;   \
  template class VEK_ScaleWidthPPFastBy<T>;    \
  template class VEK_ScaleHeightPPFastRBy<T>;  \
  template class VEK_ScaleWidthPPFastRBy<T>;
VEK_PPFAST_INSTANCES(double)
VEK_PPFAST_INSTANCES(Q12)
