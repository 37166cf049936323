#pragma once

// Test archives written with minizip's own zip API.

#include <sys/stat.h>
#include <zip.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
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
