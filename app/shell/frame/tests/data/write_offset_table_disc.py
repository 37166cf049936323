"""Writes a disc of four lossless JPEG images of four 64 x 64 frames each (dcmcjpeg), one a
series, whose offset tables pydicom then rewrites: TRAIL with one entry past the frames at the
end of the last item, FALL with two entries swapped, OFF with an entry two bytes into an item,
FEW with two entries for the four frames. Beside each, NAME.raw holds dcmdjpeg's decode of the
same file, frame after frame, 8 bits a sample; and GDCM.raw that of GDCM's example 00191113.dcm
when the gdcm package ships it.
  write_offset_table_disc.py OUT     (the disc is OUT/disc)
"""
import os
import struct
import subprocess
import sys
import tempfile

import numpy as np
import pydicom

from kvfixtures import image_record, mono_image, record, series_record, write_dicomdir

GDCM_EXAMPLE = '/usr/share/doc/libgdcm3.0/examples/00191113.dcm'

out = sys.argv[1]
disc = os.path.join(out, 'disc')
os.makedirs(os.path.join(disc, 'IMG'))
rng = np.random.default_rng(91)
# Each frame its own texture, so a frame shown for another is seen.
frames = np.stack([(rng.integers(0, 64, (64, 64)) + 60 * k).astype(np.uint8) for k in range(4)])


def items(data):
    """The Basic Offset Table's entries and the fragments' values of encapsulated Pixel Data."""
    at, found = 0, []
    while at < len(data):
        tag, length = struct.unpack('<II', data[at:at + 8])
        if tag != 0xE000FFFE:
            break
        found.append(data[at + 8:at + 8 + length])
        at += 8 + length
    return found[0], found[1:]


def encapsulate(table, fragments):
    out = struct.pack('<II', 0xE000FFFE, 4 * len(table)) + b''.join(struct.pack('<I', t) for t in table)
    for f in fragments:
        out += struct.pack('<II', 0xE000FFFE, len(f)) + f
    return out


def decoded(path, raw):
    with tempfile.TemporaryDirectory(dir=out) as work:
        plain = os.path.join(work, 'plain.dcm')
        subprocess.run(['dcmdjpeg', path, plain], check=True)
        with open(raw, 'wb') as f:
            f.write(pydicom.dcmread(plain).PixelData)


names = ('TRAIL', 'FALL', 'OFF', 'FEW')
with tempfile.TemporaryDirectory(dir=out) as work:
    source = os.path.join(work, 'src.dcm')
    mono_image(source, 64, 64, 8, 4, frames.tobytes(), ('Offset^Tables', 'H91'), '1.2.91.1', '1.2.91.2', '1.2.91.3')
    lossless = os.path.join(work, 'lossless.dcm')
    subprocess.run(['dcmcjpeg', '+e1', source, lossless], check=True)
    ds = pydicom.dcmread(lossless)
    table, fragments = items(ds.PixelData)
    starts = [0]
    for f in fragments[:-1]:
        starts.append(starts[-1] + 8 + len(f))
    end = starts[-1] + 8 + len(fragments[-1])
    assert len(fragments) == 4
    tables = {'TRAIL': starts + [end], 'FALL': [starts[0], starts[2], starts[1], starts[3]],
              'OFF': [starts[0], starts[1] + 2, starts[2], starts[3]], 'FEW': starts[:2]}
    for k, name in enumerate(names):
        path = os.path.join(disc, 'IMG', name)
        ds.SOPInstanceUID = ds.file_meta.MediaStorageSOPInstanceUID = '1.2.91.9.' + name
        ds.SeriesInstanceUID = '1.2.91.2.' + str(k + 1)
        ds.PixelData = encapsulate(tables[name], fragments)
        ds.save_as(path, write_like_original=False)
        decoded(path, os.path.join(out, name + '.raw'))

if os.path.exists(GDCM_EXAMPLE):
    decoded(GDCM_EXAMPLE, os.path.join(out, 'GDCM.raw'))

series = []
for k, name in enumerate(names):
    image = image_record('IMG\\' + name, 1, '1.2.91.9.', frames=4)
    image['fields'][2] = (0x0004, 0x1511, 'UI', '1.2.91.9.' + name)
    series.append(series_record('1.2.91.2.' + str(k + 1), k + 1, image))
study = record('STUDY', [(0x0008, 0x0020, 'DA', '20260101'), (0x0020, 0x000D, 'UI', '1.2.91.1')], series)
patients = [record('PATIENT', [(0x0010, 0x0010, 'PN', 'Offset^Tables'), (0x0010, 0x0020, 'LO', 'H91')], [study])]
write_dicomdir(os.path.join(disc, 'DICOMDIR'), patients, '1.2.91.7')
