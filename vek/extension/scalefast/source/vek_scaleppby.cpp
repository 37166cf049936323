#include "vek_scaleppby.h"

#include "vek_errorhandler.h"
#include "vek_scale.h"
#include "vek_scaleiar.h"
#include "vek_scaleppengine.h"

namespace {
constexpr const char* kFile = "extension/scalefast/source/vek_scaleppby.cpp";
using Q12 = VEK_FixedRealImpl<int, 12>;

// The single-engine creators of one direction: the source back when the size stays, nearest
// neighbour from a size of 1, otherwise engine E of the sample type.
template <template <class, class> class E, class T>
class Pass : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;

  VEK_Engine* make(VEK_Engine* source, uint32_t size, bool width, const char* method) {
    if (!check_source(source, method, kFile, __LINE__)) return nullptr;
    const VEK_Header* h = source->header();
    const uint32_t from = width ? h->width() : h->height();
    if (from == size) return source;
    if (from == 1)
      return VEK_ScaleNN(manager_).engine(source, width ? size : h->width(), width ? h->height() : size);
    if (h->bits() == 8) return create_engine<E<unsigned char, T>>(source, size);
    if (h->bits() == 16) return create_engine<E<unsigned short, T>>(source, size);
    vek_report(manager_, VEK_ERROR_FORMAT, method, kFile, __LINE__);
    return nullptr;
  }
};

// One direction of the general creator: replication, enlargement, general reduction or
// whole-factor averaging.
template <class T, class Enlarge, class Reduce>
VEK_Engine* choose(VEK_Manager* manager, VEK_Engine* source, uint32_t n, bool width, const char* method, int line) {
  if (source == nullptr || source->header() == nullptr || n == 0) {
    vek_report(manager, VEK_ERROR_ARGUMENT, method, kFile, line);
    return nullptr;
  }
  const VEK_Header* h = source->header();
  const uint32_t s = width ? h->width() : h->height();
  if (s == n) return source;
  if (s == 1) return VEK_ScaleNN(manager).engine(source, width ? n : h->width(), width ? h->height() : n);
  if (s < n) return Enlarge(manager).engine(source, n);
  if (s % n != 0) return Reduce(manager).engine(source, n);
  return width ? VEK_ScaleIAR(manager).engine(source, s / n, 1) : VEK_ScaleIAR(manager).engine(source, 1, s / n);
}
}  // namespace

template <class T>
VEK_Engine* VEK_ScalePPBy<T>::engine(VEK_Engine* source, uint32_t width, uint32_t height) {
  if (!check_source(source, "VEK_ScalePPBy::engine()", kFile, __LINE__)) return nullptr;
  if (height < source->header()->height())
    return VEK_ScaleWidthPPBy<T>(manager_).engine(VEK_ScaleHeightPPBy<T>(manager_).engine(source, height), width);
  return VEK_ScaleHeightPPBy<T>(manager_).engine(VEK_ScaleWidthPPBy<T>(manager_).engine(source, width), height);
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

#define VEK_PP_INSTANCES(T)                 \
  template class VEK_ScalePPBy<T>;          \
  template class VEK_ScaleHeightPPBy<T>;    \
  template class VEK_ScaleWidthPPBy<T>;     \
  template class VEK_ScaleHeightPPEBy<T>;   \
  template class VEK_ScaleWidthPPEBy<T>;    \
  template class VEK_ScaleHeightPPRBy<T>;   \
  template class VEK_ScaleWidthPPRBy<T>;
VEK_PP_INSTANCES(double)
VEK_PP_INSTANCES(Q12)
