#include "vek_scaleppby.h"

#include <atomic>

#include "vek_errorhandler.h"
#include "vek_scale.h"
#include "vek_scaleiar.h"
#include "vek_scaleppengine.h"
#include "vek_scaleppfastrengine.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace {
constexpr const char* kFile = "extension/scalefast/source/vek_scaleppby.cpp";
using Q12 = VEK_FixedRealImpl<int, 12>;

// The single-engine creators of one direction: the source back when the size stays, nearest
// neighbour from a size of 1 (the fast creators leave that to the engine), otherwise engine E of
// the sample type.
template <template <class, class> class E, class T>
class Pass : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;

  VEK_Engine* make(VEK_Engine* source, uint32_t size, bool width, const char* method, bool replicate = true) {
    if (!check_source(source, method, kFile, __LINE__)) return nullptr;
    const VEK_Header* h = source->header();
    const uint32_t from = width ? h->width() : h->height();
    if (from == size) return source;
    if (from == 1 && replicate)
      return VEK_ScaleNN(manager_).engine(source, width ? size : h->width(), width ? h->height() : size);
    if (h->bits() == 8) return create_engine<E<unsigned char, T>>(source, size);
    if (h->bits() == 16) return create_engine<E<unsigned short, T>>(source, size);
    vek_report(manager_, VEK_ERROR_FORMAT, method, kFile, __LINE__);
    return nullptr;
  }
};

// A source with a header and a size other than 0 (reported under method otherwise).
bool checked(VEK_Manager* manager, VEK_Engine* source, uint32_t n, const char* method, int line) {
  if (source != nullptr && source->header() != nullptr && n != 0) return true;
  vek_report(manager, VEK_ERROR_ARGUMENT, method, kFile, line);
  return false;
}

bool fractional(uint32_t s, uint32_t n) { return s != 1 && s > n && s % n != 0; }

// One direction of the general creator: replication, enlargement, general reduction or
// whole-factor averaging.
template <class T, class Enlarge, class Reduce>
VEK_Engine* choose(VEK_Manager* manager, VEK_Engine* source, uint32_t n, bool width, const char* method, int line) {
  if (!checked(manager, source, n, method, line)) return nullptr;
  const VEK_Header* h = source->header();
  const uint32_t s = width ? h->width() : h->height();
  if (s == n) return source;
  if (s == 1) return VEK_ScaleNN(manager).engine(source, width ? n : h->width(), width ? h->height() : n);
  if (s < n) return Enlarge(manager).engine(source, n);
  if (s % n != 0) return Reduce(manager).engine(source, n);
  return width ? VEK_ScaleIAR(manager).engine(source, s / n, 1) : VEK_ScaleIAR(manager).engine(source, 1, s / n);
}

// One direction of the fast creator: fractional reductions to the fast engines, the rest to the
// general creator.
template <class T, class Fast>
VEK_Engine* choose_fast(VEK_Manager* manager, VEK_Engine* source, uint32_t n, bool width, const char* method,
                        int line) {
  if (!checked(manager, source, n, method, line)) return nullptr;
  const VEK_Header* h = source->header();
  const uint32_t s = width ? h->width() : h->height();
  if (s == n) return source;
  if (fractional(s, n)) return Fast(manager).engine(source, n);
  return VEK_ScalePPBy<T>(manager).engine(source, width ? n : h->width(), width ? h->height() : n);
}

// The passes in order: height first exactly when the height shrinks.
template <class Height, class Width>
VEK_Engine* both(VEK_Manager* manager, VEK_Engine* source, uint32_t width, uint32_t height) {
  if (height < source->header()->height()) return Width(manager).engine(Height(manager).engine(source, height), width);
  return Height(manager).engine(Width(manager).engine(source, width), height);
}

std::atomic<int> assumed_sse2{-1};
}  // namespace

template <class T>
VEK_Engine* VEK_ScalePPBy<T>::engine(VEK_Engine* source, uint32_t width, uint32_t height) {
  if (!check_source(source, "VEK_ScalePPBy::engine()", kFile, __LINE__)) return nullptr;
  return both<VEK_ScaleHeightPPBy<T>, VEK_ScaleWidthPPBy<T>>(manager_, source, width, height);
}

template <class T>
VEK_Engine* VEK_ScaleHeightPPBy<T>::engine(VEK_Engine* source, uint32_t height) {
  return choose<T, VEK_ScaleHeightPPEBy<T>, VEK_ScaleHeightPPRBy<T>>(manager_, source, height, false,
                                                                     "VEK_ScaleHeightPPBy::engine()", __LINE__);
}

template <class T>
VEK_Engine* VEK_ScaleWidthPPBy<T>::engine(VEK_Engine* source, uint32_t width) {
  return choose<T, VEK_ScaleWidthPPEBy<T>, VEK_ScaleWidthPPRBy<T>>(manager_, source, width, true,
                                                                   "VEK_ScaleWidthPPBy::engine()", __LINE__);
}

template <class T>
VEK_Engine* VEK_ScaleHeightPPEBy<T>::engine(VEK_Engine* source, uint32_t height) {
  return Pass<VEK_ScaleHeightPPEEngine, T>(manager_).make(source, height, false, "VEK_ScaleHeightPPEBy::engine()");
}

template <class T>
VEK_Engine* VEK_ScaleWidthPPEBy<T>::engine(VEK_Engine* source, uint32_t width) {
  return Pass<VEK_ScaleWidthPPEEngine, T>(manager_).make(source, width, true, "VEK_ScaleWidthPPEBy::engine()");
}

template <class T>
VEK_Engine* VEK_ScaleHeightPPRBy<T>::engine(VEK_Engine* source, uint32_t height) {
  return Pass<VEK_ScaleHeightPPREngine, T>(manager_).make(source, height, false, "VEK_ScaleHeightPPRBy::engine()");
}

template <class T>
VEK_Engine* VEK_ScaleWidthPPRBy<T>::engine(VEK_Engine* source, uint32_t width) {
  return Pass<VEK_ScaleWidthPPREngine, T>(manager_).make(source, width, true, "VEK_ScaleWidthPPRBy::engine()");
}

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
  if (wide)
    return both<VEK_ScaleHeightPPFastBy<double>, VEK_ScaleWidthPPFastBy<double>>(manager_, source, width, height);
  return both<VEK_ScaleHeightPPFastBy<Q12>, VEK_ScaleWidthPPFastBy<Q12>>(manager_, source, width, height);
}

template <class T>
VEK_Engine* VEK_ScaleHeightPPFastBy<T>::engine(VEK_Engine* source, uint32_t height) {
  return choose_fast<T, VEK_ScaleHeightPPFastRBy<T>>(manager_, source, height, false,
                                                     "VEK_ScaleHeightPPFastBy::engine()", __LINE__);
}

template <class T>
bool VEK_ScaleHeightPPFastBy<T>::is_fractional_reduction(const VEK_Header* header, uint32_t n) const {
  return header != nullptr && fractional(header->height(), n);
}

template <class T>
VEK_Engine* VEK_ScaleWidthPPFastBy<T>::engine(VEK_Engine* source, uint32_t width) {
  return choose_fast<T, VEK_ScaleWidthPPFastRBy<T>>(manager_, source, width, true, "VEK_ScaleWidthPPFastBy::engine()",
                                                    __LINE__);
}

template <class T>
bool VEK_ScaleWidthPPFastBy<T>::is_fractional_reduction(const VEK_Header* header, uint32_t n) const {
  return header != nullptr && fractional(header->width(), n);
}

template <class T>
VEK_Engine* VEK_ScaleHeightPPFastRBy<T>::engine(VEK_Engine* source, uint32_t height) {
  return Pass<VEK_ScaleHeightPPFastREngine, T>(manager_).make(source, height, false,
                                                              "VEK_ScaleHeightPPFastRBy::engine()", false);
}

template <class T>
VEK_Engine* VEK_ScaleWidthPPFastRBy<T>::engine(VEK_Engine* source, uint32_t width) {
  return Pass<VEK_ScaleWidthPPFastREngine, T>(manager_).make(source, width, true, "VEK_ScaleWidthPPFastRBy::engine()",
                                                             false);
}

#define VEK_PP_INSTANCES(T)                   \
  template class VEK_ScalePPBy<T>;            \
  template class VEK_ScaleHeightPPBy<T>;      \
  template class VEK_ScaleWidthPPBy<T>;       \
  template class VEK_ScaleHeightPPEBy<T>;     \
  template class VEK_ScaleWidthPPEBy<T>;      \
  template class VEK_ScaleHeightPPRBy<T>;     \
  template class VEK_ScaleWidthPPRBy<T>;      \
  template class VEK_ScaleHeightPPFastBy<T>;  \
  template class VEK_ScaleWidthPPFastBy<T>;   \
  template class VEK_ScaleHeightPPFastRBy<T>; \
  template class VEK_ScaleWidthPPFastRBy<T>;
VEK_PP_INSTANCES(double)
VEK_PP_INSTANCES(Q12)
