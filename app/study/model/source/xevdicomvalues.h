#pragma once

#include <QStringList>

#include <cstdint>
#include <vector>

#include "vek_dicomtagobj.h"

// The values of one element as text, split at "\"; empty when absent.
QStringList DicomTextValues(VEK_Manager* manager, const VEK_DICOMTagObj& info, uint16_t group, uint16_t element);
// Descriptor and data of item 0 of a LUT sequence of group 0028 held in info; false when a
// part is missing or unreadable.
bool ReadLutItem(VEK_Manager* manager, const VEK_DICOMTagObj& info, uint16_t sequence, std::vector<int32_t>& descriptor,
                 std::vector<int32_t>& data);
