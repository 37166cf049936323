#pragma once

// Name of the environment variable that forces every run-time dispatched kernel to its plain
// C++ body ("1" forces; unset, empty or "0" leaves the choice to the processor). Read once.
#define PLAT_FORCE_PLAIN_ENV "KV_PLAIN_KERNELS"

// True when the plain bodies are forced. The first call reads the environment; later calls
// answer the same without touching it, from any thread.
bool PlatForcePlainKernels();
