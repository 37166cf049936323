"""Writes images whose headers hold millions of empty private elements (some 18 times their
bytes once parsed) before RLE frames of SIDE x SIDE x 16 bits (8000 unless given), each row one
value (y x 7 mod 65521, high byte then low byte in two segments of replicate runs), FRAMES of
them (1 unless given, a fragment each), and DICOMDIRs over them:
  write_kept_headers.py OUT ELEMENTS PADDED SERIES IMAGES [SIDE [FRAMES]]
OUT/pad/IMG/ONE  one image whose frame's fragment is padded with zeros to PADDED bytes of file,
                 under OUT/pad/DICOMDIR
OUT/disc/...     SERIES series of IMAGES images each (unpadded frames) in one study, under
                 OUT/disc/DICOMDIR
ELEMENTS empty elements of private groups (2,000,000: a 16 MB header) precede Pixel Data.
"""
import os
import struct
import sys

import numpy as np
from pydicom.dataset import Dataset

import kvfixtures as kv

out, elements, padded, series, images = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), int(
    sys.argv[5])
SIDE = int(sys.argv[6]) if len(sys.argv) > 6 else 8000
FRAMES = int(sys.argv[7]) if len(sys.argv) > 7 else 1
os.makedirs(out, exist_ok=True)
ROOT = '1.2.826.0.1.3680043.2.1125.75.'
STUDY = ROOT + '1'


def private_elements(count):
    """count empty LO elements of the odd groups from 0x0029 on, 0xFFFF elements a group from 0x0001."""
    tags = np.arange(count, dtype=np.uint64)
    groups = (0x0029 + 2 * (tags // 0xFFFF)).astype('<u2')
    numbers = (1 + tags % 0xFFFF).astype('<u2')
    rows = np.zeros(count, dtype=[('g', '<u2'), ('e', '<u2'), ('vr', 'S2'), ('n', '<u2')])
    rows['g'], rows['e'], rows['vr'] = groups, numbers, b'LO'
    assert groups.max() < 0x7FE0
    return rows.tobytes()


def rle_frame():
    values = (np.arange(SIDE, dtype=np.uint64) * 7 % 65521).astype(np.uint16)
    segments = []
    for byte in (values >> 8, values & 0xFF):
        runs = SIDE // 128
        tail = SIDE - runs * 128
        segments.append(b''.join((bytes([0x81, int(v)]) * runs) + (bytes([257 - tail, int(v)]) if tail else b'')
                                 for v in byte))
    header = struct.pack('<16I', 2, 64, 64 + len(segments[0]), *([0] * 13))
    return header + segments[0] + segments[1]


FRAME = rle_frame()
PRIVATE = private_elements(elements)


def write(path, series_uid, number, pad_to):
    ds = Dataset()
    ds.PatientName, ds.PatientID = 'Kept^Headers', 'K75'
    ds.StudyInstanceUID, ds.SeriesInstanceUID = STUDY, series_uid
    ds.SOPInstanceUID = series_uid + '.' + str(number)
    ds.Modality, ds.InstanceNumber = 'OT', number
    ds.Rows = ds.Columns = SIDE
    ds.BitsAllocated = ds.BitsStored = 16
    ds.HighBit, ds.PixelRepresentation = 15, 0
    ds.SamplesPerPixel, ds.PhotometricInterpretation = 1, 'MONOCHROME2'
    if FRAMES > 1:
        ds.NumberOfFrames = FRAMES
    kv.save(ds, path, '1.2.840.10008.5.1.4.1.1.7')
    with open(path, 'rb') as f:
        data = f.read()
    # The meta group says RLE; the private groups and Pixel Data go after the image module.
    data = data.replace(b'1.2.840.10008.1.2.1\0', b'1.2.840.10008.1.2.5\0', 1)
    assert len(b'1.2.840.10008.1.2.1\0') == len(b'1.2.840.10008.1.2.5\0')
    head = data + PRIVATE + struct.pack('<HH2sHI', 0x7FE0, 0x0010, b'OB', 0, 0xFFFFFFFF)
    head += struct.pack('<HHI', 0xFFFE, 0xE000, 0)
    tail = struct.pack('<HHI', 0xFFFE, 0xE0DD, 0)
    frame = FRAME + b'\0' * (len(FRAME) % 2)
    items = [struct.pack('<HHI', 0xFFFE, 0xE000, len(frame)) + frame for _ in range(FRAMES - 1)]
    pad = 0
    if pad_to:
        pad = max(0, pad_to - len(head) - sum(map(len, items)) - 8 - len(FRAME) - len(tail))
    pad += (len(FRAME) + pad) % 2
    # The padding is written a block at a time, so that the writer holds no copy of it.
    with open(path, 'wb') as f:
        f.write(head + b''.join(items) + struct.pack('<HHI', 0xFFFE, 0xE000, len(FRAME) + pad) + FRAME)
        block = b'\0' * (1 << 20)
        while pad > 0:
            f.write(block[:min(pad, len(block))])
            pad -= min(pad, len(block))
        f.write(tail)


def disc(folder, series_records):
    study = kv.record('STUDY', [(0x0020, 0x000D, 'UI', STUDY), (0x0008, 0x0020, 'DA', '20260101')], series_records)
    patient = kv.record('PATIENT', [(0x0010, 0x0010, 'PN', 'Kept^Headers'), (0x0010, 0x0020, 'LO', 'K75')], [study])
    kv.write_dicomdir(os.path.join(out, folder, 'DICOMDIR'), [patient], ROOT + '8')


if padded:
    write(os.path.join(out, 'pad', 'IMG', 'ONE'), ROOT + '9', 1, padded)
    disc('pad', [kv.series_record(ROOT + '9', 1, kv.image_record('IMG\\ONE', 1, ROOT + '9.'))])
if series and images:
    series_records = []
    for s in range(series):
        uid = ROOT + '2.' + str(s + 1)
        kids = []
        for i in range(images):
            name = 'S%dI%d' % (s + 1, i + 1)
            write(os.path.join(out, 'disc', 'IMG', name), uid, i + 1, 0)
            kids.append(kv.image_record('IMG\\' + name, i + 1, uid + '.'))
        series_records.append(kv.series_record(uid, s + 1, *kids))
    disc('disc', series_records)
