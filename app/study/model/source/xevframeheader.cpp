// The frames an image file has.
#include "study/xevframeheader.h"

#include <QString>

#include <algorithm>
#include <string>

#include "study/xevreadmanager.h"
#include "study/xevsourcehead.h"
#include "vek_dicominfo.h"
#include "vek_fileinputstorage.h"

namespace {

// The frames the pixel data holds: those it lays out, and for native data no more whole frames
// than the file's bytes from the value's start.
uint64_t FramesHeld(const VEK_DICOMInfo& info, uint64_t fileSize)
{
    const uint64_t laidOut = info.frame_count();
    uint32_t valueStart = 0;
    uint32_t frameBytes = 0;
    if (info.compression_kind() != 0 || info.bits() == 1 || !info.frames().fragment(0, 0, valueStart, frameBytes) ||
        frameBytes == 0) {
        // One-bit frames share bytes; encapsulated frames are what their fragments are.
        return laidOut;
    }
    // Positions hold the low 32 bits; a native value's length fits 32 bits, so the difference
    // does too.
    uint64_t pixelBytes = uint32_t(info.pixel_data_position() + info.pixel_data_size() - valueStart);
    if (fileSize <= UINT32_MAX) {
        pixelBytes = std::min<uint64_t>(pixelBytes, fileSize > valueStart ? fileSize - valueStart : 0);
    }
    return std::min(laidOut, pixelBytes / frameBytes);
}

}   // namespace

int32_t XEVFileFrameCount(const VEK_DICOMInfo& info, uint64_t fileSize)
{
    uint32_t claimed = 0;
    // A count past uint32_t is past the frames held too: those held are served.
    if (!info.get_count(0x0028, 0x0008, claimed) || claimed == 0) {
        claimed = 1;
    }
    const uint64_t held = info.has_pixel_data() != 0 ? FramesHeld(info, fileSize) : 0;
    return int32_t(std::clamp<uint64_t>(std::min<uint64_t>(claimed, held), 1, INT32_MAX));
}

XEVFrameHeader XEVFrameHeaderOf(const VEK_DICOMInfo& info, uint64_t fileSize)
{
    XEVFrameHeader header;
    header.hasPixelData = info.has_pixel_data() != 0;
    if (header.hasPixelData) {
        const uint64_t held = FramesHeld(info, fileSize);
        header.frames = held == 0 ? 0 : uint64_t(XEVFileFrameCount(info, fileSize));
    }
    return header;
}

std::optional<XEVFrameHeader> XEVReadFrameHeader(const QString& path)
{
    uint64_t size = 0;
    if (!XEVSourceSize(path, size)) {
        return std::nullopt;
    }
    XEVReadManager fileManager(XEVLoadMemoryBudget());
    VEK_InputStorage* storage = XEVOpenSourceHeader(&fileManager, path);
    if (storage == nullptr) {
        return std::nullopt;
    }
    std::optional<XEVFrameHeader> header;
    {
        VEK_DICOMInfo info(&fileManager);
        if (info.load(storage)) {
            header = XEVFrameHeaderOf(info, size);
        }
    }
    vek_destroy(storage);
    return header;
}

uint64_t XEVFramesTheHeaderHolds(const XEVFrameHeader& header, uint64_t claimed)
{
    return header.hasPixelData ? std::min(claimed, header.frames) : 0;
}
