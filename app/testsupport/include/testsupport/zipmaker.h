#pragma once

// Test archives written with minizip's own zip API.

#include <sys/stat.h>
#include <zip.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

struct ZipMakerMember {
    std::string name;
    std::string data;
    bool symlink = false;
    // Above zero: data written raw with this uncompressed size declared, whatever the data holds.
    uint64_t declaredSize = 0;
    // With declaredSize: the method the raw data is in (0 stored, Z_DEFLATED already deflated)
    // and the CRC to declare (that of data when not given).
    int rawMethod = 0;
    uint64_t crc = UINT64_MAX;
};

inline bool MakeZip(const std::string& path, const std::vector<ZipMakerMember>& members)
{
    zipFile zip = zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
    if (zip == nullptr) {
        return false;
    }
    bool ok = true;
    for (const ZipMakerMember& m : members) {
        zip_fileinfo info{};
        const uLong madeBy = (3u << 8) | 20u;
        info.external_fa = (m.symlink ? (S_IFLNK | 0777u) : (S_IFREG | 0644u)) << 16;
        const bool raw = m.declaredSize > 0;
        ok = ok &&
             zipOpenNewFileInZip4_64(zip, m.name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                     raw ? m.rawMethod : Z_DEFLATED, raw ? 0 : Z_DEFAULT_COMPRESSION, raw ? 1 : 0,
                                     -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0, madeBy, 0, 0) == ZIP_OK;
        ok = ok && zipWriteInFileInZip(zip, m.data.data(), static_cast<unsigned>(m.data.size())) == ZIP_OK;
        if (raw) {
            const uLong crc = m.crc != UINT64_MAX ? uLong(m.crc)
                                                  : crc32(0, reinterpret_cast<const Bytef*>(m.data.data()),
                                                          static_cast<uInt>(m.data.size()));
            ok = ok && zipCloseFileInZipRaw64(zip, m.declaredSize, crc) == ZIP_OK;
        } else {
            ok = ok && zipCloseFileInZip(zip) == ZIP_OK;
        }
    }
    return zipClose(zip, nullptr) == ZIP_OK && ok;
}

// A raw deflate stream of count MiB of zeros, about 1 KiB a MiB: one fully flushed block
// repeated (each stands alone), then an empty final block.
inline std::string ZipMakerDeflatedZeros(uint32_t mebibytes)
{
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, -MAX_WBITS, 9, Z_DEFAULT_STRATEGY);
    std::string zeros(1u << 20, '\0');
    std::string block(1u << 16, '\0');
    z.next_in = reinterpret_cast<Bytef*>(zeros.data());
    z.avail_in = static_cast<uInt>(zeros.size());
    z.next_out = reinterpret_cast<Bytef*>(block.data());
    z.avail_out = static_cast<uInt>(block.size());
    deflate(&z, Z_FULL_FLUSH);
    block.resize(block.size() - z.avail_out);
    std::string tail(64, '\0');
    z.next_out = reinterpret_cast<Bytef*>(tail.data());
    z.avail_out = static_cast<uInt>(tail.size());
    deflate(&z, Z_FINISH);
    tail.resize(tail.size() - z.avail_out);
    deflateEnd(&z);
    std::string out;
    out.reserve(block.size() * mebibytes + tail.size());
    for (uint32_t i = 0; i < mebibytes; ++i) {
        out += block;
    }
    return out + tail;
}

inline uLong ZipMakerZerosCrc(uint64_t size)
{
    const std::string zeros(1u << 20, '\0');
    uLong crc = crc32(0, nullptr, 0);
    for (uint64_t done = 0; done < size; done += zeros.size()) {
        crc = crc32(crc, reinterpret_cast<const Bytef*>(zeros.data()),
                    static_cast<uInt>(std::min<uint64_t>(zeros.size(), size - done)));
    }
    return crc;
}

// The archive at path given more central-directory entries for its member original, named
// aliases, each pointing at that member's one local header, as a hostile archive lays them out.
// minizip checks that a local header's name is as long as its entry's: the aliases are too.
// An archive without zip64 records and without a comment, as MakeZip writes it.
inline bool ZipMakerAddAliases(const std::string& path, const std::string& original,
                               const std::vector<std::string>& aliases)
{
    std::string bytes;
    {
        std::ifstream in(path, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    const auto get = [&](size_t at, int size) {
        uint32_t value = 0;
        for (int i = size - 1; i >= 0; --i) {
            value = (value << 8) | uint8_t(bytes[at + size_t(i)]);
        }
        return value;
    };
    const auto put = [&](std::string& out, size_t at, uint32_t value, int size) {
        for (int i = 0; i < size; ++i) {
            out[at + size_t(i)] = char((value >> (8 * i)) & 0xFF);
        }
    };
    if (bytes.size() < 22 || get(bytes.size() - 22, 4) != 0x06054b50) {
        return false;
    }
    const size_t end = bytes.size() - 22;
    const size_t directory = get(end + 16, 4);
    const size_t directorySize = get(end + 12, 4);
    const uint32_t entries = get(end + 10, 2);
    std::string added;
    for (size_t at = directory, n = 0; n < entries && at + 46 <= end; ++n) {
        const size_t nameLength = get(at + 28, 2);
        const size_t recordSize = 46 + nameLength + get(at + 30, 2) + get(at + 32, 2);
        if (bytes.compare(at + 46, nameLength, original) == 0 && nameLength == original.size()) {
            for (const std::string& alias : aliases) {
                if (alias.size() != nameLength) {
                    return false;
                }
                std::string record = bytes.substr(at, recordSize);
                std::memcpy(&record[46], alias.data(), nameLength);
                added += record;
            }
        }
        at += recordSize;
    }
    if (added.empty() || directory + directorySize != end) {
        return false;
    }
    std::string tail = bytes.substr(end);
    put(tail, 8, uint32_t(entries + aliases.size()), 2);
    put(tail, 10, uint32_t(entries + aliases.size()), 2);
    put(tail, 12, uint32_t(directorySize + added.size()), 4);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes.substr(0, end) << added << tail;
    return bool(out);
}
