#!/usr/bin/env python3
"""Writes the zip fuzzer's seed corpus: small archives, stored and deflated, with nested,
hostile and long names, a symlink, a zip64 one, truncated and corrupted copies, one file name
in several folders beside a DICOMDIR, names differing only in case below a DICOMDIR in a folder, a DICOM-like member with a long zero tail, a lying
member past the head reader's small limits, a deflate stream damaged inside, and central-directory
entries naming one local header, entries named longer than any path, and an archive with the
format's largest comment (its end record past minizip's own search), and a member and a comment
that are lists of thousands of numbers.

Usage: make_corpus.py CORPUS_FOLDER
"""
import hashlib
import io
import os
import stat
import sys
import zipfile


def archive(members, compression=zipfile.ZIP_DEFLATED, zip64=False):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", compression, allowZip64=True) as z:
        for name, data, mode in members:
            info = zipfile.ZipInfo(name)
            info.compress_type = compression
            info.create_system = 3
            info.external_attr = mode << 16
            if zip64:
                with z.open(info, "w", force_zip64=True) as f:
                    f.write(data)
            else:
                z.writestr(info, data)
    return out.getvalue()


def lying(data, declared, compression):
    """One member whose declared size and CRC are those of its first declared bytes."""
    import struct, zlib
    raw = bytearray(archive([("IMG/I1", data, REG)], compression))
    crc = zlib.crc32(data[:declared])
    local = raw.index(b"PK\x03\x04")
    struct.pack_into("<I", raw, local + 14, crc)
    struct.pack_into("<I", raw, local + 22, declared)
    central = raw.index(b"PK\x01\x02")
    struct.pack_into("<I", raw, central + 16, crc)
    struct.pack_into("<I", raw, central + 24, declared)
    return bytes(raw)


def commented(raw, comment):
    """The archive with its comment set, however long."""
    import struct
    end = raw.rindex(b"PK\x05\x06")
    return raw[:end + 20] + struct.pack("<H", len(comment)) + comment


def aliased(raw, name, aliases):
    """More central-directory entries for member name, each naming its one local header; minizip
    wants a local header's name as long as its entry's, so the aliases are too."""
    import struct
    raw = bytearray(raw)
    end = raw.rindex(b"PK\x05\x06")
    count, size, start = struct.unpack_from("<HII", raw, end + 10)
    added = b""
    at = start
    while at < start + size:
        length, extra, comment = struct.unpack_from("<HHH", raw, at + 28)
        record = bytes(raw[at:at + 46 + length + extra + comment])
        if record[46:46 + length] == name.encode():
            for alias in aliases:
                added += record[:46] + alias.encode() + record[46 + length:]
        at += len(record)
    tail = bytearray(raw[end:])
    struct.pack_into("<HHI", tail, 8, count + len(aliases), count + len(aliases), size + len(added))
    return bytes(raw[:end]) + added + bytes(tail)


REG = stat.S_IFREG | 0o644
LNK = stat.S_IFLNK | 0o777


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    seeds = [
        archive([("DICOMDIR", b"dir", REG), ("IMG/I1", b"image" * 50, REG)]),
        archive([("CD/DICOMDIR", b"d", REG), ("CD\\IMG\\I1", b"x" * 300, REG)], zipfile.ZIP_STORED),
        archive([("../x", b"evil", REG), ("/x", b"evil", REG), ("C:\\x", b"evil", REG), ("x", b"/etc", LNK)]),
        archive([("N/" + "n" * 300, b"long", REG), ("a", b"", REG)]),
        archive([("big", bytes(range(256)) * 64, REG)], zip64=True),
        lying(bytes(65536), 1024, zipfile.ZIP_DEFLATED),
        lying(b"long" * 100, 40, zipfile.ZIP_STORED),
    ]
    seeds += [
        archive([("P1/IM1", b"one", REG), ("CD/DICOMDIR", b"d", REG), ("CD\\P2\\IM1", b"two", REG),
                 ("CD/P1/IM1", b"cd-one", REG), ("CD/P3/", b"", REG)]),
        archive([("DICOMDIR", b"d", REG),
                 ("IMG/I1", bytes(128) + b"DICM" + b"\x02\x00\x10\x00UI\x14\x00" + b"1.2.840.10008.1.2.1\0"
                  + bytes(30000), REG)]),
        lying(bytes(200000), 150000, zipfile.ZIP_DEFLATED),
        archive([("Disc/Dicom/P2/IM0", b"bob", REG), ("Disc/DICOMDIR", b"d", REG), ("Disc/DICOM/P1/IM0", b"alice", REG),
                 ("Disc/dicom/p1/im0", b"lower", REG), ("Disc/A/x", b"A", REG), ("Disc/a/X", b"a", REG),
                 ("Elsewhere/IM0", b"other", REG)]),
    ]
    seeds.append(aliased(archive([("DICOMDIR", b"d", REG), ("IMG/I1", b"image" * 500, REG)]), "IMG/I1",
                         ["IMG/I2", "ALT/I1", "IMG/I3"]))
    seeds.append(archive([("DICOMDIR", b"d", REG), ("IMG/" + "n" * 5000, b"past a path", REG),
                          ("IMG/" + "k" * 4091, b"at the limit", REG), ("IMG/I1", b"image", REG)],
                         zipfile.ZIP_STORED))
    seeds.append(commented(archive([("DICOMDIR", b"d", REG), ("IMG/I1", b"image" * 20, REG)]),
                           b"c" * 65535))
    values = "\\".join(str(k % 10) for k in range(6000)).encode()
    listed = b"\x54\x00\x20\x00IS" + len(values).to_bytes(2, "little") + values
    seeds.append(commented(archive([("DICOMDIR", b"d", REG),
                                    ("IMG/I1", bytes(128) + b"DICM" + b"\x02\x00\x10\x00UI\x14\x00"
                                     + b"1.2.840.10008.1.2.1\0" + listed, REG)], zipfile.ZIP_STORED), values))
    cut = bytearray(archive([("DICOMDIR", b"d", REG), ("IMG/I1", bytes(range(256)) * 40, REG)]))
    local = cut.index(b"PK\x03\x04", 4)
    cut[local + 60:local + 80] = bytes(20)
    seeds.append(bytes(cut))
    whole = seeds[0]
    seeds.append(whole[: len(whole) // 2])
    seeds.append(whole[:-10])
    corrupt = bytearray(seeds[1])
    corrupt[40] ^= 0xFF
    seeds.append(bytes(corrupt))
    for data in seeds:
        with open(os.path.join(out, hashlib.sha1(data).hexdigest()), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
