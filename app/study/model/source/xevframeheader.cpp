// The frames an image file's own header can hold.
#include "study/xevframeheader.h"

#include <QString>

#include <algorithm>
#include <string>

#include "study/xevsourcehead.h"
#include "vek_dicominfo.h"
#include "vek_fileinputstorage.h"
#include "vek_managerimpl.h"

XEVFrameHeader XEVFrameHeaderOf(const VEK_DICOMInfo& info, uint64_t fileSize)
{
    XEVFrameHeader header;
    header.hasPixelData = info.has_pixel_data() != 0;
    if (!header.hasPixelData) {
        return header;
    }
    header.native = info.compression_kind() == 0;
    header.framesLaidOut = info.frame_count();
    const VEK_Vector<unsigned int> first = info.get_frame_positions(0);
    const VEK_Vector<unsigned int> firstLength = info.get_frame_lengths(0);
    if (!header.native || first.size() == 0 || firstLength.size() == 0) {
        return header;
    }
    // Positions hold the low 32 bits; a native value's length fits 32 bits, so the difference
    // does too.
    const uint32_t valueStart = first[0];
    header.pixelBytes = uint32_t(info.pixel_data_position() + info.pixel_data_size() - valueStart);
    if (fileSize <= UINT32_MAX) {
        header.pixelBytes = std::min<uint64_t>(header.pixelBytes, fileSize > valueStart ? fileSize - valueStart : 0);
    }
    if (info.bits() != 1) {
        header.frameBytes = firstLength[0];
    }
    return header;
}

std::optional<XEVFrameHeader> XEVReadFrameHeader(const QString& path)
{
    uint64_t size = 0;
    if (!XEVSourceSize(path, size)) {
        return std::nullopt;
    }
    VEK_DefaultManager fileManager;
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
    if (!header.hasPixelData) {
        return 0;
    }
    const uint64_t holds = std::min(claimed, header.framesLaidOut);
    if (header.native && header.frameBytes != 0) {
        return std::min(holds, header.pixelBytes / header.frameBytes);
    }
    return holds;
}
