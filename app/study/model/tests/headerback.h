#pragma once

// A load of a one-frame image keeps no header after it; a test of the values read from the
// header reads it back into the helper.

#include "study/xevvekhelper.h"
#include "vek_fileinputstorage.h"

inline bool ReadHeaderBack(XEVVEKHelper& helper)
{
    VEK_InputStorage* storage = VEK_FileInputStorage::create(&helper.manager, helper.filePath.toStdString().c_str());
    const bool loaded = storage != nullptr && helper.dicomInfo.load(storage);
    vek_destroy(storage);
    return loaded;
}
