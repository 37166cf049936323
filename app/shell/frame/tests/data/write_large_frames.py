"""Writes single frames of a hundred megabytes and more, each alone in its file, with samples of
a closed form per row y:
  N16   native, 8000 x 8000 x 16 bits (122 MiB): y x 7 mod 65521
  N8    native, 10240 x 10240 x 8 bits (100 MiB): y mod 85 x 3 + 1
  RLE   RLE of the same size and samples as N8, each row runs of 128
  B1    native, 16384 rows of 16383 at 1 bit (32 MiB): 1 where y mod 3 is 0, else 0; rows
        run on across their ends, so each starts on another bit of a byte
  JPEG  baseline JPEG of the same size, one flat grey; JPEG.value holds that grey as
        Pillow's decoder gives it back
  write_large_frames.py OUT NAME...   (only the frames named)
"""
import io
import os
import struct
import sys

import numpy as np
import pydicom
from PIL import Image
from pydicom.dataset import Dataset
from pydicom.encaps import encapsulate
from pydicom.uid import JPEGBaseline8Bit, RLELossless

import kvfixtures as kv

out, names = sys.argv[1], set(sys.argv[2:])
os.makedirs(out, exist_ok=True)
ROOT = '1.2.826.0.1.3680043.2.1125.71.'
SIDE16, SIDE8 = 8000, 10240
GREY = 200


def rows8(side):
    return (np.arange(side, dtype=np.uint32) % 85 * 3 + 1).astype(np.uint8)


def dataset(name, rows, cols, bits):
    ds = Dataset()
    ds.Modality, ds.PatientName, ds.PatientID = 'OT', 'Large^Frames', 'L71'
    ds.StudyInstanceUID, ds.SeriesInstanceUID = ROOT + '1', ROOT + '2'
    ds.SOPInstanceUID = ROOT + '3.' + str(len(name))
    ds.Rows, ds.Columns = rows, cols
    ds.BitsAllocated = ds.BitsStored = bits
    ds.HighBit = bits - 1
    ds.SamplesPerPixel, ds.PixelRepresentation = 1, 0
    ds.PhotometricInterpretation = 'MONOCHROME2'
    return ds


def save(ds, name, syntax=None):
    path = os.path.join(out, name)
    kv.save(ds, path, '1.2.840.10008.5.1.4.1.1.7')
    if syntax is None:
        return
    # kvfixtures writes explicit VR little endian; the encapsulated ones say what they hold.
    ds = pydicom.dcmread(path)
    ds.file_meta.TransferSyntaxUID = syntax
    ds['PixelData'].VR = 'OB'
    ds['PixelData'].is_undefined_length = True
    ds.save_as(path, write_like_original=False)


if 'N16' in names:
    ds = dataset('N16', SIDE16, SIDE16, 16)
    column = (np.arange(SIDE16, dtype=np.uint64) * 7 % 65521).astype('<u2')
    ds.PixelData = np.repeat(column[:, None], SIDE16, axis=1).tobytes()
    save(ds, 'N16')

if 'N8' in names:
    ds = dataset('N8', SIDE8, SIDE8, 8)
    ds.PixelData = np.repeat(rows8(SIDE8)[:, None], SIDE8, axis=1).tobytes()
    save(ds, 'N8')

if 'B1' in names:
    ds = dataset('B1', 16384, 16383, 1)
    rows = (np.arange(16384) % 3 == 0).astype(np.uint8)
    ds.PixelData = np.packbits(np.repeat(rows[:, None], 16383, axis=1), bitorder='little').tobytes()
    save(ds, 'B1')

if 'RLE' in names:
    # One segment of replicate runs: 0x81 repeats the next byte 128 times.
    segment = b''.join(bytes([0x81, int(v)]) * (SIDE8 // 128) for v in rows8(SIDE8))
    ds = dataset('RLE', SIDE8, SIDE8, 8)
    ds.PixelData = encapsulate([struct.pack('<16I', 1, 64, *([0] * 14)) + segment])
    save(ds, 'RLE', RLELossless)

if 'JPEG' in names:
    stream = io.BytesIO()
    Image.fromarray(np.full((SIDE8, SIDE8), GREY, np.uint8)).save(stream, 'JPEG', quality=90)
    decoded = np.asarray(Image.open(io.BytesIO(stream.getvalue())))
    assert decoded.min() == decoded.max(), 'a flat grey decodes flat'
    ds = dataset('JPEG', SIDE8, SIDE8, 8)
    ds.PixelData = encapsulate([stream.getvalue()])
    ds.LossyImageCompression = '01'
    save(ds, 'JPEG', JPEGBaseline8Bit)
    with open(os.path.join(out, 'JPEG.value'), 'w') as f:
        f.write('%d\n' % decoded.min())
