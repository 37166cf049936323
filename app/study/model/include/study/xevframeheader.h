#pragma once

// What an image file's own header says of its frames, and how many frames of a claim (a
// DICOMDIR record's Number of Frames) the file holds. A record is not the file: its count is
// bounded by the file's header and data, never by the record alone.

#include <cstdint>
#include <optional>

class QString;
class VEK_DICOMInfo;

struct XEVFrameHeader {
    bool hasPixelData = false;
    // Uncompressed pixel data, as opposed to encapsulated frames.
    bool native = true;
    // Frames the pixel data lays out, as the single-file load finds them: whole frames of the
    // file's rows, columns, samples and bits in its value for native data (never more than its
    // Number of Frames), the fragments or offset-table groups for encapsulated data.
    uint64_t framesLaidOut = 0;
    // Native data: the bytes of one frame (0 where frames share bytes, as one-bit frames do)
    // and the bytes of the value that the file really holds from the value's start.
    uint64_t frameBytes = 0;
    uint64_t pixelBytes = 0;
};

// The header of a loaded DICOM information; fileSize bounds a value that claims to run past
// the file's end.
XEVFrameHeader XEVFrameHeaderOf(const VEK_DICOMInfo& info, uint64_t fileSize);

// The header of the file at path; none when it does not open or load as a DICOM file.
std::optional<XEVFrameHeader> XEVReadFrameHeader(const QString& path);

// The frames of claimed that the header holds; 0 when it holds none.
uint64_t XEVFramesTheHeaderHolds(const XEVFrameHeader& header, uint64_t claimed);
