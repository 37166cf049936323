#include "vek_dib.h"

VEK_Engine* VEK_WriteDIBRaw::engine(const VEK_Header* header, VEK_SrcBuffer* source, VEK_OutputStorage* storage,
                                    const VEK_WriteDIBOption& option) {
  VEK_WriteDIBRawEngine* e = vek_new<VEK_WriteDIBRawEngine>(manager_);
  return regist_engine(initiated(e, e != nullptr && e->initiate(header, source, storage, option)), source, nullptr);
}
