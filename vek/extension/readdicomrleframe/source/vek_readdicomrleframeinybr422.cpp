#include "vek_errorhandler.h"
#include "vek_mergechannel.h"
#include "vek_readdicomrleframe.h"
#include "vek_readstorageinybr422.h"
#include "vek_storageengine.h"

namespace {
constexpr const char* kFile = "extension/readdicomrleframe/source/vek_readdicomrleframeinybr422.cpp";
constexpr const char* kEngine = "VEK_ReadDICOMRLEFrameInYBR422::engine()";
}  // namespace

VEK_Engine* VEK_ReadDICOMRLEFrameInYBR422::engine(VEK_InputStorage* storage, const VEK_Header& header,
                                                  uint32_t frame_length) {
  if (storage == nullptr || storage->is_empty() || !header.is_valid()) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kEngine, kFile, 53);
    return nullptr;
  }
  if (!header.palette().empty() || header.width() % 2 != 0 || header.color_type() != VEK_ColorType_ycbcr::instance() ||
      header.bits() % 8 != 0 || header.channels() != 3) {
    vek_report(manager_, VEK_ERROR_FORMAT, kEngine, kFile, 59);
    return nullptr;
  }
  const VEK_Vector<VEK_Engine*> segments =
      VEK_ReadDICOMRLESegment(manager_).engine(storage, header, frame_length, true);
  if (segments.size() == 0) return nullptr;
  // Whole samples, least significant byte first, per component.
  const uint32_t bytes = header.bits() / 8u;
  VEK_Vector<VEK_Engine*> y(manager_), cb(manager_), cr(manager_);
  for (uint32_t b = bytes; b-- > 0;)
    if (!y.push_back(segments[b]) || !cb.push_back(segments[b + bytes]) || !cr.push_back(segments[b + 2 * bytes]))
      return nullptr;
  VEK_MergeChannel merge(manager_);
  VEK_Engine* luma = merge.engine(y, VEK_ColorType_unknown::instance());
  VEK_Engine* blue = merge.engine(cb, VEK_ColorType_unknown::instance());
  VEK_Engine* red = merge.engine(cr, VEK_ColorType_unknown::instance());
  if (luma == nullptr || blue == nullptr || red == nullptr) return nullptr;
  // Luma as pairs of samples at half width: Y0 Y1 beside Cb and Cr, the stored 4:2:2 layout.
  VEK_Header pairs(manager_);
  if (!(pairs = *luma->header())) return nullptr;
  pairs.width(header.width() / 2);
  pairs.channels(uint16_t(2 * bytes));
  pairs.color_type(VEK_ColorType_unknown::instance());
  VEK_Engine* paired = VEK_RewriteHeader(manager_).engine(luma, &pairs);
  if (paired == nullptr) return nullptr;
  VEK_Vector<VEK_Engine*> parts(manager_);
  if (!parts.push_back(paired) || !parts.push_back(blue) || !parts.push_back(red)) return nullptr;
  VEK_Engine* stored = merge.engine(parts, VEK_ColorType_unknown::instance());
  if (stored == nullptr) return nullptr;
  VEK_DstEngineInputStorage* input = VEK_DstEngineInputStorage::create(manager_, stored);
  if (input == nullptr) return nullptr;
  VEK_Header frame(manager_);
  if (!(frame = header)) {
    input->destroy();
    vek_report(manager_, VEK_ERROR_ARGUMENT, kEngine, kFile, 117);
    return nullptr;
  }
  frame.encode_type(VEK_EncodeType_raw::instance());
  VEK_Engine* widened = VEK_ReadStorageInYBR422(manager_).engine(input, frame, 1);
  input->destroy();
  return widened;
}
