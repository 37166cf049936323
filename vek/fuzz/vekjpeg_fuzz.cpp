#include "vekjpegfuzzentry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return VekFuzzReadJPEG(data, size); }
