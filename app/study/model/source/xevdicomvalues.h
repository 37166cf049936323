#pragma once

#include <QStringList>

#include <cstdint>
#include <vector>

#include "vek_dicomtagobj.h"

#include "study/xevvekhelper.h"

// At most the first count values of one element, split at "\", read through DicomTextValue's
// bound: a value that bound cut short is left out. Empty when absent.
QStringList DicomTextValues(const VEK_DICOMTagObj& info, uint16_t group, uint16_t element, qsizetype count);
// The first usable pair of Window Center and Width; false when no pair is.
bool XEVFirstWindow(const VEK_DICOMTagObj& info, double& centre, double& width);
// Descriptor and data of item 0 of a LUT sequence of group 0028 held in info; false when a
// part is missing or unreadable.
bool ReadLutItem(VEK_Manager* manager, const VEK_DICOMTagObj& info, uint16_t sequence, std::vector<int32_t>& descriptor,
                 std::vector<int32_t>& data);
