#pragma once
// Channel merging: engines of equal size and sample type joined into one engine whose pixels
// hold the channels of every input side by side, in input order.

#include "vek_engine.h"
#include "vek_vector.h"

// One engine is handed back as it is (its colour type stays); 1-bit inputs go to the 1-bit
// creator, the others to the whole-byte one.
class VEK_MergeChannel : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(const VEK_Vector<VEK_Engine*>& engines, const VEK_ColorType* color_type);
};

// What the two leaf creators share: collecting the inputs' headers and readers.
class VEK_MergeChannelCreator : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;

 protected:
  // make (last input's header) gives a new engine, or null after its own report.
  template <class Make>
  VEK_Engine* merge(const VEK_Vector<VEK_Engine*>& engines, const VEK_ColorType* color_type, const char* method,
                    const char* file, uint32_t line, Make make);
};

class VEK_MergeChannel1bit : public VEK_MergeChannelCreator {
 public:
  using VEK_MergeChannelCreator::VEK_MergeChannelCreator;
  VEK_Engine* engine(const VEK_Vector<VEK_Engine*>& engines, const VEK_ColorType* color_type);
};

class VEK_MergeChannel8xNbits : public VEK_MergeChannelCreator {
 public:
  using VEK_MergeChannelCreator::VEK_MergeChannelCreator;
  VEK_Engine* engine(const VEK_Vector<VEK_Engine*>& engines, const VEK_ColorType* color_type);
};
