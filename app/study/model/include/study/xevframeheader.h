#pragma once

// How many frames an image file has: the one rule every reader of a file's frames uses (the
// image loader, the single-file and DICOMDIR lists, the scan), and how many frames of a claim
// (a DICOMDIR record's Number of Frames) the file holds. A record is not the file: its count is
// bounded by the file's header and data, never by the record alone.

#include <cstdint>
#include <optional>

class QString;
class VEK_DICOMInfo;

// A file listed with more frames than this stays one entry, stepped frame by frame, instead
// of an entry per frame: entries cost memory and work for every frame listed.
constexpr int32_t kXEVFrameEntryLimit = 1000;

struct XEVFrameHeader {
    bool hasPixelData = false;
    // The frames of the file, as XEVFileFrameCount counts them; 0 without pixel data.
    uint64_t frames = 0;
};

// The frames of a loaded file: its Number of Frames (1 when absent or below 1), never more than
// its pixel data lays out, nor, for native data, more whole frames than the file's bytes hold
// from the value's start (fileSize bounds a value that claims to run past the file's end).
// A file without pixel data has none to lay out. At least 1, so that a file without readable
// frames still has its first frame tried (and its failure said).
int32_t XEVFileFrameCount(const VEK_DICOMInfo& info, uint64_t fileSize);

// The header of a loaded DICOM information.
XEVFrameHeader XEVFrameHeaderOf(const VEK_DICOMInfo& info, uint64_t fileSize);

// The header of the file at path; none when it does not open or load as a DICOM file.
std::optional<XEVFrameHeader> XEVReadFrameHeader(const QString& path);

// The frames of claimed that the header holds; 0 when it holds none.
uint64_t XEVFramesTheHeaderHolds(const XEVFrameHeader& header, uint64_t claimed);
