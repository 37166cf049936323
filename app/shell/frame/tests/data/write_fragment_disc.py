"""Writes a disc of one series: JPGOK, a 64 x 64 bright square in baseline JPEG by dcmcjpeg,
and the same frame followed by empty fragments under an empty offset table: FEW with 1,000 of
them, FRAGS with COUNT (a million by default, 8 MB of items).
  write_fragment_disc.py OUT [COUNT]     (the disc is OUT/disc)
"""
import os
import subprocess
import sys
import tempfile

import numpy as np
import pydicom

from kvfixtures import image_record, mono_image, record, series_record, write_dicomdir

out = sys.argv[1]
count = int(sys.argv[2]) if len(sys.argv) > 2 else 1000000
disc = os.path.join(out, 'disc')
os.makedirs(os.path.join(disc, 'IMG'))
square = np.zeros((64, 64), dtype=np.uint8)
square[16:48, 16:48] = 255
names = ('JPGOK', 'FEW', 'FRAGS')

with tempfile.TemporaryDirectory(dir=out) as work:
    source = os.path.join(work, 'src.dcm')
    mono_image(source, 64, 64, 8, None, square.tobytes(), ('Empty^Fragments', 'H71'), '1.2.71.1', '1.2.71.2',
               '1.2.71.3')
    for name, empty in zip(names, (0, 1000, count)):
        path = os.path.join(disc, 'IMG', name)
        subprocess.run(['dcmcjpeg', '+eb', '+un', source, path], check=True)
        ds = pydicom.dcmread(path)
        ds.SOPInstanceUID = ds.file_meta.MediaStorageSOPInstanceUID = '1.2.71.9.' + name
        if 'NumberOfFrames' in ds:
            del ds.NumberOfFrames
        ds.PixelData = ds.PixelData + b'\xfe\xff\x00\xe0\x00\x00\x00\x00' * empty
        ds.save_as(path, write_like_original=False)

images = [image_record('IMG\\' + name, k + 1, '1.2.71.9.') for k, name in enumerate(names)]
for k, name in enumerate(names):
    images[k]['fields'][2] = (0x0004, 0x1511, 'UI', '1.2.71.9.' + name)
study = record('STUDY', [(0x0008, 0x0020, 'DA', '20260101'), (0x0020, 0x000D, 'UI', '1.2.71.1')],
               [series_record('1.2.71.2', 1, *images)])
patients = [record('PATIENT', [(0x0010, 0x0010, 'PN', 'Empty^Fragments'), (0x0010, 0x0020, 'LO', 'H71')], [study])]
write_dicomdir(os.path.join(disc, 'DICOMDIR'), patients, '1.2.71.7')
