#pragma once

// A signed 16-bit CT frame written as a DICOM file with DCMTK, read by both our loader and
// DCMTK in the benchmarks that compare them.

#include <dcmtk/dcmdata/dctk.h>

#include <cstdint>
#include <string>

inline void bench_write_ct_file(const std::string& file, const char* sop_uid, uint16_t size, const uint16_t* pixels,
                                unsigned long count)
{
    DcmFileFormat format;
    DcmDataset* ds = format.getDataset();
    ds->putAndInsertString(DCM_SOPClassUID, UID_CTImageStorage);
    ds->putAndInsertString(DCM_SOPInstanceUID, sop_uid);
    ds->putAndInsertString(DCM_Modality, "CT");
    ds->putAndInsertUint16(DCM_Rows, size);
    ds->putAndInsertUint16(DCM_Columns, size);
    ds->putAndInsertUint16(DCM_SamplesPerPixel, 1);
    ds->putAndInsertString(DCM_PhotometricInterpretation, "MONOCHROME2");
    ds->putAndInsertUint16(DCM_BitsAllocated, 16);
    ds->putAndInsertUint16(DCM_BitsStored, 16);
    ds->putAndInsertUint16(DCM_HighBit, 15);
    ds->putAndInsertUint16(DCM_PixelRepresentation, 1);
    ds->putAndInsertString(DCM_WindowCenter, "40");
    ds->putAndInsertString(DCM_WindowWidth, "400");
    ds->putAndInsertUint16Array(DCM_PixelData, pixels, count);
    format.saveFile(file.c_str(), EXS_LittleEndianExplicit);
}
