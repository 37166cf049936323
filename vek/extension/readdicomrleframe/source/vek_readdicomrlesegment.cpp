#include "vek_decorator.h"
#include "vek_errorhandler.h"
#include "vek_readdicomrleframe.h"
#include "vek_storageengine.h"

namespace {
constexpr const char* kFile = "extension/readdicomrleframe/source/vek_readdicomrlesegment.cpp";
constexpr const char* kEngine = "VEK_ReadDICOMRLESegment::engine()";
}  // namespace

VEK_Vector<VEK_Engine*> VEK_ReadDICOMRLESegment::engine(VEK_InputStorage* storage, const VEK_Header& header,
                                                        uint32_t frame_length, bool ybr422) {
  VEK_Vector<VEK_Engine*> none(manager_);
  if (storage == nullptr || storage->is_empty() || !header.is_valid()) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kEngine, kFile, 68);
    return none;
  }
  const int32_t start = storage->tell();
  uint32_t offsets[17] = {};
  VEK_DataInput* input = VEK_DataInput::create(manager_, storage, 1);
  bool read = input != nullptr;
  for (uint32_t k = 0; read && k < 16; ++k) read = input->read_binary(&offsets[k], 4);
  if (input != nullptr) input->destroy();
  if (!read) {
    storage->seek(start);
    vek_report(manager_, VEK_ERROR_IO, kEngine, kFile, 87);
    return none;
  }
  const uint32_t count = offsets[0];
  const uint32_t bytes = header.bits() / 8u;
  // Offsets are checked in 64 bits against the frame, so that no segment reaches outside it;
  // a frame length of 0 would leave the segments unbounded.
  if (count >= 16 || count == 0 || offsets[1] != 64 || count != uint32_t(header.bits()) * header.channels() / 8u ||
      frame_length < 64) {
    vek_report(manager_, VEK_ERROR_DATA, kEngine, kFile, 105);
    return none;
  }
  offsets[count + 1] = frame_length;
  for (uint32_t k = 1; k <= count; ++k) {
    if (offsets[k + 1] <= offsets[k]) {
      vek_report(manager_, VEK_ERROR_DATA, kEngine, kFile, 151);
      return none;
    }
  }
  if (!storage->seek(start)) return none;

  VEK_MutexInputStorage* shared = VEK_MutexInputStorage::create(manager_, storage);
  if (shared == nullptr) return none;
  VEK_Vector<VEK_Engine*> engines(manager_);
  bool ok = true;
  for (uint32_t k = 1; ok && k <= count; ++k) {
    VEK_Header segment(manager_);
    const bool half = ybr422 && k > bytes;
    segment.width(half ? header.width() / 2 : header.width());
    segment.height(header.height());
    segment.bits(8);
    segment.channels(1);
    segment.color_type(VEK_ColorType_gray::instance());
    segment.data_type(VEK_DataType::u_integer);
    segment.encode_type(VEK_EncodeType_pack_bits::instance());
    const int64_t at = int64_t(start) + offsets[k];
    VEK_MoveInMoveOutInputStorage* view = VEK_MoveInMoveOutInputStorage::create(manager_, shared);
    VEK_InputStorageBound* bound = nullptr;
    if (view != nullptr && at <= INT32_MAX && view->seek(int32_t(at)) && view->tell() == at)
      bound = VEK_InputStorageBound::create(manager_, view, int32_t(offsets[k + 1] - offsets[k]));
    VEK_Engine* reader = bound != nullptr ? VEK_ReadStorage(manager_).engine(bound, segment, 0, 0, 1) : nullptr;
    VEK_Engine* decoder = reader != nullptr ? VEK_DecodePackBitsFast(manager_).engine(reader) : nullptr;
    ok = decoder != nullptr && engines.push_back(decoder);
    vek_destroy(bound);
    vek_destroy(view);
  }
  shared->destroy();
  if (!ok) return none;
  if (engines.size() != count) {
    vek_report(manager_, VEK_ERROR_DATA, kEngine, kFile, 204);
    return none;
  }
  return engines;
}
