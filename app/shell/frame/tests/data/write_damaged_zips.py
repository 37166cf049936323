"""Zips of a disc, written by Python's zipfile, each damaged in one way.
  write_damaged_zips.py DISC OUT
OUT/nodicomdir.zip: every file but the DICOMDIR. OUT/truncated.zip: the whole disc, cut in
half (no central directory). OUT/brokendir.zip and OUT/brokenmember.zip: the whole disc under
CD/, deflated, with bytes in the middle of the compressed data of CD/DICOMDIR, or of
CD/DICOM/CT0001, inverted, so that the member fails its inflate or its CRC.
OUT/notdicomdir.zip: the whole disc with a DICOMDIR member that reads whole but is plain text.
OUT/linkmember.zip: the whole disc under CD/, but CD/DICOM/CT0001 stored as a symbolic link (as
zip -y stores one) to /etc/hostname.
"""
import os
import stat
import sys
import zipfile
import zlib

disc, out = sys.argv[1], sys.argv[2]
files = sorted(os.path.relpath(os.path.join(root, name), disc)
               for root, _, names in os.walk(disc) for name in names)


def write(path, prefix, skip=()):
    with zipfile.ZipFile(path, 'w', zipfile.ZIP_DEFLATED) as z:
        for name in files:
            if name not in skip:
                z.write(os.path.join(disc, name), prefix + name)


def damage(path, member):
    with zipfile.ZipFile(path) as z:
        info = z.getinfo(member)
    with open(path, 'r+b') as f:
        f.seek(info.header_offset + 26)
        name_length = int.from_bytes(f.read(2), 'little')
        extra_length = int.from_bytes(f.read(2), 'little')
        start = info.header_offset + 30 + name_length + extra_length
        middle = start + info.compress_size // 2
        f.seek(middle)
        span = f.read(16)
        f.seek(middle)
        f.write(bytes(b ^ 0xFF for b in span))


write(os.path.join(out, 'nodicomdir.zip'), '', skip=('DICOMDIR',))
text = os.path.join(out, 'notdicomdir.zip')
write(text, '', skip=('DICOMDIR',))
with zipfile.ZipFile(text, 'a', zipfile.ZIP_DEFLATED) as z:
    z.writestr('DICOMDIR', 'plain text, no DICOMDIR\n' * 20)
whole = os.path.join(out, 'truncated.zip')
write(whole, '')
with open(whole, 'r+b') as f:
    f.truncate(os.path.getsize(whole) // 2)
for name, member in (('brokendir.zip', 'CD/DICOMDIR'), ('brokenmember.zip', 'CD/DICOM/CT0001')):
    path = os.path.join(out, name)
    write(path, 'CD/')
    damage(path, member)
    # zipfile itself refuses the member (a bad CRC or a broken deflate stream).
    with zipfile.ZipFile(path) as z:
        try:
            broken = z.testzip()
        except (zipfile.BadZipFile, zlib.error):
            broken = member
        assert broken == member, name

link = os.path.join(out, 'linkmember.zip')
write(link, 'CD/', skip=('DICOM/CT0001',))
with zipfile.ZipFile(link, 'a', zipfile.ZIP_DEFLATED) as z:
    info = zipfile.ZipInfo('CD/DICOM/CT0001')
    info.create_system = 3
    info.external_attr = (stat.S_IFLNK | 0o777) << 16
    z.writestr(info, '/etc/hostname')
