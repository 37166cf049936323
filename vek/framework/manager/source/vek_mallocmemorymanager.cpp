#include <cstdlib>

#include "vek_memorymanager.h"

void* VEK_MallocMemoryManager::allocate(uint32_t size) { return std::malloc(size); }

void VEK_MallocMemoryManager::free(void* pointer) { std::free(pointer); }
