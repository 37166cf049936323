#pragma once

#include "pyr/pyrdicomdictionary.h"

// The library's process-wide state, made on first use in start-up order.
const PyrDicomDictionaryIndex& PyrLibraryDictionaryIndex();
