#include "vek_oppixels_templ.h"

bool VEK_OpPixelsTypedCreator::check_pair(const VEK_Vector<VEK_Engine*>& engines, const char* method, const char* file,
                                          uint32_t line) {
  if (engines.size() == 2 && engines[0] != nullptr && engines[1] != nullptr && engines[0]->header() != nullptr &&
      engines[1]->header() != nullptr)
    return true;
  vek_report(manager_, VEK_ERROR_ARGUMENT, method, file, line);
  return false;
}

VEK_Engine* VEK_OpPixelsTypedCreator::engine(const VEK_Vector<VEK_Engine*>& engines, uint32_t x, uint32_t y) {
  if (!check_engines(engines, x, y)) return nullptr;
  VEK_Vector<const VEK_Header*> headers(manager_);
  VEK_Vector<VEK_SrcBuffer*> sources(manager_);
  for (VEK_Engine* e : engines) {
    VEK_SrcBuffer* reader = e->src_buffer();
    const bool kept = reader != nullptr && sources.push_back(reader);
    if (!kept || !headers.push_back(e->header())) {
      if (!kept) vek_destroy(reader);
      for (VEK_SrcBuffer* s : sources) s->destroy();
      return nullptr;
    }
  }
  VEK_DstBuffer* destination = manager_->create_dst_buffer();
  return regist_engine(create_engine(headers, sources, destination, x, y), sources, destination);
}

template class VEK_OpPixelsUnMasked<VEK_PixelOperator::And>;
template class VEK_OpPixels1UnMasked<VEK_PixelOperator::And>;
template class VEK_OpPixels8xNBitsUnMasked<VEK_PixelOperator::And, unsigned char>;
template class VEK_OpPixels8xNBitsUnMasked<VEK_PixelOperator::And, unsigned short>;
template class VEK_OpPixels8xNBitsUnMasked<VEK_PixelOperator::MultiplyWithNormalization, unsigned int>;
#define VEK_OPPIXELS_INSTANCES(OP)                                                 \
  template class VEK_OpPixels8xNBitsUnMasked<VEK_PixelOperator::OP, signed char>;  \
  template class VEK_OpPixels8xNBitsUnMasked<VEK_PixelOperator::OP, short>;        \
  template class VEK_OpPixels8xNBitsUnMasked<VEK_PixelOperator::OP, unsigned int>; \
  template class VEK_OpPixels8xNBitsUnMasked<VEK_PixelOperator::OP, int>;          \
  template class VEK_OpPixels8xNBitsUnMasked<VEK_PixelOperator::OP, float>;        \
  template class VEK_OpPixels8xNBitsUnMasked<VEK_PixelOperator::OP, double>;
VEK_OPPIXELS_INSTANCES(Add)
VEK_OPPIXELS_INSTANCES(Sub)
VEK_OPPIXELS_INSTANCES(Multiply)
VEK_OPPIXELS_INSTANCES(Overwrite)
#undef VEK_OPPIXELS_INSTANCES
