#pragma once

// DICOM files whose parse costs many times their bytes, written at test time in explicit VR
// little endian: a few identifying elements, then count copies of one small shape. Each shape
// is legal DICOM; only its number is hostile.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

enum class CrowdedShape {
    EmptyElements,   // zero-length private LO elements, 8 bytes each
    EmptyItems,      // empty items of one private sequence, 8 bytes each
    PerFrameItems,   // Per-frame Functional Groups items of two short elements, 42 bytes each
};

namespace crowded {

inline void Put16(std::string& out, uint32_t v)
{
    out.push_back(char(v & 0xFF));
    out.push_back(char((v >> 8) & 0xFF));
}
inline void Put32(std::string& out, uint32_t v)
{
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}
inline void Element(std::string& out, uint16_t group, uint16_t element, const char* vr, const std::string& value)
{
    Put16(out, group);
    Put16(out, element);
    out.append(vr, 2);
    const std::string v(vr, 2);
    if (v == "OB" || v == "SQ" || v == "UN" || v == "OW") {
        Put16(out, 0);
        Put32(out, uint32_t(value.size()));
    } else {
        Put16(out, uint32_t(value.size()));
    }
    out += value;
}

// An item of that length, and a sequence's header whose items take that many bytes.
inline void ItemHeader(std::string& out, uint32_t length)
{
    Put16(out, 0xFFFE);
    Put16(out, 0xE000);
    Put32(out, length);
}
inline void SequenceHeader(std::string& out, uint16_t group, uint16_t element, uint32_t length)
{
    Put16(out, group);
    Put16(out, element);
    out += "SQ";
    Put16(out, 0);
    Put32(out, length);
}

}   // namespace crowded

// Writes the file; false when it cannot be written. sopClass names what the file is (an SR
// document's class makes it a report).
inline bool WriteCrowdedFile(const std::string& path, CrowdedShape shape, uint64_t count,
                             const std::string& sopClass = "1.2.840.10008.5.1.4.1.1.7")
{
    using crowded::Element;
    std::string meta;
    Element(meta, 0x0002, 0x0001, "OB", std::string("\0\1", 2));
    Element(meta, 0x0002, 0x0002, "UI", sopClass + (sopClass.size() % 2 != 0 ? std::string(1, '\0') : ""));
    Element(meta, 0x0002, 0x0003, "UI", "1.2.826.0.1.3680043.2.1125.7");
    Element(meta, 0x0002, 0x0010, "UI", std::string("1.2.840.10008.1.2.1\0", 20));
    std::string data(128, '\0');
    data += "DICM";
    std::string length;
    crowded::Put32(length, uint32_t(meta.size()));
    Element(data, 0x0002, 0x0000, "UL", length);
    data += meta;
    Element(data, 0x0008, 0x0016, "UI", sopClass + (sopClass.size() % 2 != 0 ? std::string(1, '\0') : ""));
    Element(data, 0x0008, 0x0018, "UI", "1.2.826.0.1.3680043.2.1125.9");
    Element(data, 0x0008, 0x0060, "CS", "OT");
    Element(data, 0x0010, 0x0010, "PN", "CROWDED^FILE");
    Element(data, 0x0010, 0x0020, "LO", "PID1");
    std::string unit;
    switch (shape) {
    case CrowdedShape::EmptyElements: break;
    case CrowdedShape::EmptyItems:
        crowded::ItemHeader(unit, 0);
        Element(data, 0x0011, 0x0010, "LO", "CROWDED ");
        crowded::SequenceHeader(data, 0x0011, 0x1010, uint32_t(count * unit.size()));
        break;
    case CrowdedShape::PerFrameItems: {
        std::string body;
        std::string one;
        crowded::Put32(one, 1);
        Element(body, 0x0018, 0x9074, "DT", "20200101000000");
        Element(body, 0x0020, 0x9157, "UL", one);
        crowded::ItemHeader(unit, uint32_t(body.size()));
        unit += body;
        Element(data, 0x0028, 0x0008, "IS", "1 ");
        crowded::SequenceHeader(data, 0x5200, 0x9230, uint32_t(count * unit.size()));
        break;
    }
    }
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    bool written = std::fwrite(data.data(), 1, data.size(), file) == data.size();
    // The copies go out 4 MiB at a time, each byte set once: a build without optimisation
    // takes a second per million calls of the helpers above, and these files hold tens of
    // millions of copies.
    constexpr size_t kChunkBytes = size_t(4) << 20;
    std::string chunk;
    if (shape != CrowdedShape::EmptyElements) {
        for (size_t copies = kChunkBytes / unit.size(); copies > 0; --copies) {
            chunk += unit;
        }
    }
    for (uint64_t k = 0; k < count && written;) {
        size_t bytes = 0;
        if (shape == CrowdedShape::EmptyElements) {
            const uint64_t n = std::min<uint64_t>(count - k, kChunkBytes / 8);
            chunk.resize(size_t(n) * 8);
            char* out = chunk.data();
            // Private groups in order after the patient's, 65,536 elements each.
            for (const uint64_t end = k + n; k < end; ++k, out += 8) {
                const uint32_t group = 0x0011 + 2 * uint32_t(k >> 16);
                const char element[8] = {
                    char(group & 0xFF), char(group >> 8), char(k & 0xFF), char((k >> 8) & 0xFF), 'L', 'O', 0, 0};
                std::memcpy(out, element, 8);
            }
            bytes = chunk.size();
        } else {
            const uint64_t n = std::min<uint64_t>(count - k, chunk.size() / unit.size());
            bytes = size_t(n) * unit.size();
            k += n;
        }
        written = std::fwrite(chunk.data(), 1, bytes, file) == bytes;
    }
    return std::fclose(file) == 0 && written;
}
