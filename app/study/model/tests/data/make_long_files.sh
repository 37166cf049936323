#!/usr/bin/env bash
# Makes the long-file discs of the frame tests with pydicom; each file stops after its Pixel
# Data element's header and the test writes the value:
#   IMG/BYTES  10^7 frames of 1 x 1 pixel at 8 bits (a value of 10,000,000 bytes);
#   IMG/BITS   10^7 frames of 1 x 1 pixel at 1 bit (a value of 1,250,000 bytes);
#   IMG/RLE    10^6 frames of 1 x 1 pixel at 8 bits in RLE, a fragment each, without an offset
#              table (the test writes the items);
#   IMG/SQ1 .. SQ4  a 64 x 64 bright square, one frame each (the test adds long values);
#   DIRBYTES   a record claiming 10^7 frames for BYTES;
#   DIRFOUR    SQ1 .. SQ4 in four series;
#   DIRMIXED   BYTES with its 10^7 frames in one series and THREE, three frames of 2 x 2, with
#              its count beside SQ1 in another: THREE gets a series of an entry per frame.
# Each frame file has Window Center 128 and Width 256 (the one-bit one 0.5 and 1), so that a
# frame of one bright pixel paints bright.
#   app/study/model/tests/data/make_long_files.sh
set -euo pipefail
cd "$(dirname "$0")"
root=long_files
rm -rf "$root"
mkdir -p "$root/IMG"
PYTHONPATH=../../../../testsupport/python /usr/bin/python3 -W ignore - <<'PY'
import struct

import numpy as np
from pydicom.dataset import Dataset
from kvfixtures import (cut_after_pixel_header, image_record, mono_image, record as rec, save,
                        series_record as E, write_dicomdir)

root = 'long_files'

def frames_file(name, bits, frames, declared, uid, syntax=None, window=(128, 256)):
    ds = Dataset()
    ds.PatientName, ds.PatientID = 'Long^Files', 'L67'
    ds.StudyInstanceUID, ds.SeriesInstanceUID = '1.2.67.1', '1.2.67.2.' + uid
    ds.Modality, ds.InstanceNumber = 'OT', 1
    ds.SamplesPerPixel, ds.PhotometricInterpretation = 1, 'MONOCHROME2'
    ds.NumberOfFrames = frames
    ds.Rows = ds.Columns = 1
    ds.BitsAllocated = ds.BitsStored = bits
    ds.HighBit, ds.PixelRepresentation = bits - 1, 0
    ds.WindowCenter, ds.WindowWidth = window
    ds.PixelData = b'\0\0'
    path = f'{root}/IMG/{name}'
    save(ds, path, '1.2.840.10008.5.1.4.1.1.7', '1.2.67.3.' + uid)
    cut_after_pixel_header(path, declared)
    if syntax is not None:
        # The meta group names the syntax; the value's length is undefined (items follow).
        data = bytearray(open(path, 'rb').read())
        old = b'1.2.840.10008.1.2.1\0'
        at = data.index(old)
        data[at:at + len(old)] = syntax.ljust(len(old), b'\0')
        open(path, 'wb').write(bytes(data))

frames_file('BYTES', 8, 10**7, 10**7, '1')
frames_file('BITS', 1, 10**7, 10**7 // 8, '2', window=('0.5', 1))
# RLE's UID is one character shorter than explicit little endian's: the padding keeps lengths.
frames_file('RLE', 8, 10**6, 0xFFFFFFFF, '3', syntax=b'1.2.840.10008.1.2.5')

square = np.zeros((64, 64), dtype=np.uint8)
square[16:48, 16:48] = 255
for k in range(1, 5):
    mono_image(f'{root}/IMG/SQ{k}', 64, 64, 8, None, square.tobytes(), ('Long^Files', 'L67'), '1.2.67.1',
               f'1.2.67.4.{k}', f'1.2.67.5.{k}')

mono_image(f'{root}/IMG/THREE', 2, 2, 8, 3, bytes([40, 80, 120, 160] * 3), ('Long^Files', 'L67'), '1.2.67.1',
           '1.2.67.4.9', '1.2.67.5.9')

def I(fid, inst, frames=None):
    return image_record(fid, inst, '1.2.67.9.', frames)
def disc(name, *series):
    study = rec('STUDY', [(0x0008, 0x0020, 'DA', '20260101'), (0x0020, 0x000D, 'UI', '1.2.67.1')], list(series))
    patients = [rec('PATIENT', [(0x0010, 0x0010, 'PN', 'Long^Files'), (0x0010, 0x0020, 'LO', 'L67')], [study])]
    write_dicomdir(f'{root}/{name}', patients, '1.2.67.7.' + name)

disc('DIRBYTES', E('1.2.67.2.1', 1, I('IMG\\BYTES', 1, frames=10**7)))
disc('DIRFOUR', *[E(f'1.2.67.4.{k}', k, I(f'IMG\\SQ{k}', k)) for k in range(1, 5)])
disc('DIRMIXED', E('1.2.67.2.1', 1, I('IMG\\BYTES', 1, frames=10**7)), E('1.2.67.4.9', 2, I('IMG\\THREE', 2, frames=3), I('IMG\\SQ1', 3)))
PY
ls -l "$root" "$root/IMG"
