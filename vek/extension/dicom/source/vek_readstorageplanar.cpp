#include "vek_readstorageplanar.h"

#include "vek_decorator.h"
#include "vek_errorhandler.h"
#include "vek_mergechannel.h"
#include "vek_storageengine.h"

namespace {
constexpr const char* kFile = "extension/dicom/source/vek_readstorageplanar.cpp";
constexpr const char* kEngine = "VEK_ReadStoragePlanar::engine()";

// Ends this call's references; the plane readers keep what they read.
void release(VEK_Object* a, VEK_Object* b = nullptr, VEK_Object* c = nullptr) {
  for (VEK_Object* o : {a, b, c})
    if (o != nullptr) o->destroy();
}
}  // namespace

VEK_Engine* VEK_ReadStoragePlanar::engine(VEK_InputStorage* storage, const VEK_Header& header, int32_t start,
                                          int32_t line_gap, int32_t byte_order) {
  if (storage == nullptr || storage->is_empty() || !header.is_valid() ||
      !VEK_EncodeType::is_raw(header.encode_type()) || start < 0) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kEngine, kFile, 58);
    return nullptr;
  }
  VEK_Header plane(manager_);
  if (!(plane = header)) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kEngine, kFile, 65);
    return nullptr;
  }
  plane.channels(1);
  if (header.channels() != 1) plane.color_type(VEK_ColorType_gray::instance());
  const uint64_t plane_bytes = uint64_t(header.bits()) * header.width() / 8 * header.height();

  VEK_MutexInputStorage* shared = VEK_MutexInputStorage::create(manager_, storage);
  if (shared == nullptr) {
    vek_report(manager_, VEK_ERROR_IO, kEngine, kFile, 91);
    return nullptr;
  }
  VEK_Vector<VEK_Engine*> planes(manager_);
  for (uint32_t c = 0; c < header.channels(); ++c) {
    VEK_MoveInMoveOutInputStorage* view = VEK_MoveInMoveOutInputStorage::create(manager_, shared);
    if (view == nullptr) {
      vek_report(manager_, VEK_ERROR_IO, kEngine, kFile, 91);
      release(shared);
      return nullptr;
    }
    // Planes beyond what a 31-bit storage addresses cannot be there.
    const uint64_t at = uint64_t(start) + c * plane_bytes;
    if (plane_bytes > INT32_MAX || at > INT32_MAX || !view->seek(int32_t(at)) || view->tell() != int32_t(at)) {
      vek_report(manager_, VEK_ERROR_IO, kEngine, kFile, 97);
      release(view, shared);
      return nullptr;
    }
    VEK_InputStorageBound* bound = VEK_InputStorageBound::create(manager_, view, int32_t(plane_bytes));
    if (bound == nullptr) {
      vek_report(manager_, VEK_ERROR_IO, kEngine, kFile, 105);
      release(view, shared);
      return nullptr;
    }
    VEK_Engine* reader = VEK_ReadStorage(manager_).engine(bound, plane, 0, line_gap, byte_order);
    release(bound, view);
    if (reader == nullptr) {
      vek_report(manager_, VEK_ERROR_DATA, kEngine, kFile, 115);
      release(shared);
      return nullptr;
    }
    if (!planes.push_back(reader)) {
      vek_report(manager_, VEK_ERROR_IO, kEngine, kFile, 119);
      release(shared);
      return nullptr;
    }
  }
  release(shared);
  return VEK_MergeChannel(manager_).engine(planes, header.color_type());
}
