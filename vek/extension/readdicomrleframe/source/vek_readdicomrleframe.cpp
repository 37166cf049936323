#include "vek_readdicomrleframe.h"
#include "vek_errorhandler.h"
#include "vek_mergechannel.h"

namespace {
constexpr const char* kFile = "extension/readdicomrleframe/source/vek_readdicomrleframe.cpp";
constexpr const char* kEngine = "VEK_ReadDICOMRLEFrame::engine()";
}  // namespace

VEK_Engine* VEK_ReadDICOMRLEFrame::engine(VEK_InputStorage* storage, const VEK_Header& header, uint32_t frame_length) {
  if (storage == nullptr || storage->is_empty() || !header.is_valid()) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kEngine, kFile, 48);
    return nullptr;
  }
  const VEK_Vector<VEK_Engine*> segments = VEK_ReadDICOMRLESegment(manager_).engine(storage, header, frame_length);
  if (segments.size() == 0) {
    vek_report(manager_, VEK_ERROR_DATA, kEngine, kFile, 57);
    return nullptr;
  }
  // Per sample, least significant byte first: the merged pixels are little-endian samples.
  const uint32_t bytes = header.bits() / 8u;
  VEK_Vector<VEK_Engine*> ordered(manager_);
  for (uint32_t s = 0; s < segments.size() / bytes; ++s)
    for (uint32_t b = bytes; b-- > 0;)
      if (!ordered.push_back(segments[s * bytes + b])) return nullptr;
  VEK_Engine* merged = VEK_MergeChannel(manager_).engine(ordered, VEK_ColorType_unknown::instance());
  if (merged == nullptr) return nullptr;
  VEK_Header frame(manager_);
  if (!(frame = header)) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kEngine, kFile, 82);
    return nullptr;
  }
  frame.encode_type(VEK_EncodeType_raw::instance());
  return VEK_RewriteHeader(manager_).engine(merged, &frame);
}
