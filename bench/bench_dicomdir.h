#pragma once
// What the DICOMDIR benchmarks share: the file around its records, and the file on disc.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "vek_test_dicom.h"

inline std::vector<uint8_t> bench_le32(uint32_t v)
{
    return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}

// A DICOMDIR of records in stream order. body(k, next_offset, lower_offset) is record k's item
// body with the offsets of records next[k] and lower[k] (0 for -1); offsets are fixed-size, so a
// body's size does not depend on them. The root's last-record offset names record last, or
// stays 0 for -1. Two passes: sizes, then offsets.
template <class Body>
std::vector<uint8_t> bench_dicomdir_bytes(const std::vector<int>& next, const std::vector<int>& lower, int last,
                                          Body body)
{
    DicomBytes head, meta;
    meta.text(0x0002, 0x0002, "UI", "1.2.840.10008.1.3.10");
    meta.text(0x0002, 0x0010, "UI", "1.2.840.10008.1.2.1");
    head.bytes.assign(128, 0);
    for (char c : std::string("DICM"))
        head.bytes.push_back(uint8_t(c));
    head.element(0x0002, 0x0000, "UL", bench_le32(uint32_t(meta.size())));
    head.raw(meta.bytes);
    head.text(0x0004, 0x1130, "CS", "BENCH");
    const size_t first_at = head.element(0x0004, 0x1200, "UL", bench_le32(0));
    const size_t last_at = head.element(0x0004, 0x1202, "UL", bench_le32(0));
    head.us(0x0004, 0x1212, {0});
    head.head(0x0004, 0x1220, "SQ", 0xFFFFFFFF);
    std::vector<uint32_t> at(next.size());
    uint32_t pos = uint32_t(head.size());
    for (size_t k = 0; k < next.size(); ++k) {
        at[k] = pos;
        pos += 8 + uint32_t(body(k, 0, 0).size());
    }
    const uint32_t first_offset = at[0], last_offset = last < 0 ? 0 : at[size_t(last)];
    for (int b = 0; b < 4; ++b) {
        head.bytes[first_at + b] = uint8_t(first_offset >> (8 * b));
        head.bytes[last_at + b] = uint8_t(last_offset >> (8 * b));
    }
    for (size_t k = 0; k < next.size(); ++k) {
        const std::vector<uint8_t> item =
            body(k, next[k] < 0 ? 0 : at[size_t(next[k])], lower[k] < 0 ? 0 : at[size_t(lower[k])]);
        head.u16(0xFFFE);
        head.u16(0xE000);
        head.u32(uint32_t(item.size()));
        head.raw(item);
    }
    head.u16(0xFFFE);
    head.u16(0xE0DD);
    head.u32(0);
    return head.bytes;
}

// The bytes as <fresh folder under /tmp>/DICOMDIR, both removed when done.
struct BenchDicomDirFile {
    std::string folder, path;
    BenchDicomDirFile(const char* prefix, const std::vector<uint8_t>& bytes)
    {
        std::string name = std::string("/tmp/") + prefix + "_XXXXXX";
        if (::mkdtemp(name.data()) == nullptr)
            std::abort();
        folder = name;
        path = folder + "/DICOMDIR";
        FILE* f = std::fopen(path.c_str(), "wb");
        if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size())
            std::abort();
        std::fclose(f);
    }
    ~BenchDicomDirFile()
    {
        ::unlink(path.c_str());
        ::rmdir(folder.c_str());
    }
};
