#pragma once

// Test archives written with minizip's own zip API.

#include <sys/stat.h>
#include <zip.h>
#include <zlib.h>

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
        ok = ok && zipOpenNewFileInZip4_64(zip, m.name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                           raw ? m.rawMethod : Z_DEFLATED, raw ? 0 : Z_DEFAULT_COMPRESSION, raw ? 1 : 0,
                                           -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0, madeBy, 0,
                                           0) == ZIP_OK;
        ok = ok && zipWriteInFileInZip(zip, m.data.data(), static_cast<unsigned>(m.data.size())) == ZIP_OK;
        if (raw) {
            const uLong crc = m.crc != UINT64_MAX
                                  ? uLong(m.crc)
                                  : crc32(0, reinterpret_cast<const Bytef*>(m.data.data()), static_cast<uInt>(m.data.size()));
            ok = ok && zipCloseFileInZipRaw64(zip, m.declaredSize, crc) == ZIP_OK;
        } else {
            ok = ok && zipCloseFileInZip(zip) == ZIP_OK;
        }
    }
    return zipClose(zip, nullptr) == ZIP_OK && ok;
}
