"""Writes a disc of one series of two 64 x 64 baseline JPEG frames by dcmcjpeg (a ramp with a
bright square) under an empty offset table: PADDED, whose one fragment carries PAD zero bytes
after the JPEG data (a sparse tail), and EMPTY, whose fragment is followed by COUNT empty
fragments. PADDED.expected holds the frame as PIL decodes the JPEG data, 4,096 bytes.
  write_padded_fragment_disc.py OUT PAD COUNT     (the disc is OUT/disc)
"""
import io
import os
import struct
import subprocess
import sys
import tempfile

import numpy as np
import pydicom
from PIL import Image

from kvfixtures import image_record, mono_image, record, series_record, write_dicomdir

out, pad, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
assert pad % 2 == 0
disc = os.path.join(out, 'disc')
os.makedirs(os.path.join(disc, 'IMG'))
pixels = np.add.outer(np.arange(64), np.arange(64)).astype(np.uint8)
pixels[16:48, 16:48] = 250
names = ('PADDED', 'EMPTY')
DELIMITER = b'\xfe\xff\xdd\xe0\x00\x00\x00\x00'
EMPTY_ITEM = b'\xfe\xff\x00\xe0\x00\x00\x00\x00'

with tempfile.TemporaryDirectory(dir=out) as work:
    source = os.path.join(work, 'src.dcm')
    mono_image(source, 64, 64, 8, None, pixels.tobytes(), ('Padded^Fragment', 'H72'), '1.2.72.1', '1.2.72.2',
               '1.2.72.3')
    for name in names:
        path = os.path.join(disc, 'IMG', name)
        subprocess.run(['dcmcjpeg', '+eb', '+un', source, path], check=True)
        ds = pydicom.dcmread(path)
        ds.SOPInstanceUID = ds.file_meta.MediaStorageSOPInstanceUID = '1.2.72.9.' + name
        if 'NumberOfFrames' in ds:
            del ds.NumberOfFrames
        ds.save_as(path, write_like_original=False)
        with open(path, 'rb') as f:
            data = f.read()
        # Pixel Data is the last element: its one fragment, then the sequence delimiter.
        assert data.endswith(DELIMITER)
        jpeg = pydicom.encaps.generate_pixel_data_frame(ds.PixelData).__next__()
        item = data.rindex(b'\xfe\xff\x00\xe0')
        length = struct.unpack_from('<I', data, item + 4)[0]
        assert item + 8 + length + 8 == len(data) and data[item + 8:item + 8 + len(jpeg)] == jpeg
        with open(path, 'r+b') as f:
            if name == 'PADDED':
                f.seek(item + 4)
                f.write(struct.pack('<I', length + pad))
                f.seek(item + 8 + length + pad)
                f.write(DELIMITER)
                decoded = np.asarray(Image.open(io.BytesIO(jpeg)))
                assert decoded.shape == (64, 64)
                with open(path + '.expected', 'wb') as e:
                    e.write(decoded.astype(np.uint8).tobytes())
            else:
                f.seek(item + 8 + length)
                chunk = EMPTY_ITEM * (1 << 20)
                left = count
                while left > 0:
                    n = min(left, 1 << 20)
                    f.write(chunk[:8 * n])
                    left -= n
                f.write(DELIMITER)

images = [image_record('IMG\\' + name, k + 1, '1.2.72.9.') for k, name in enumerate(names)]
for k, name in enumerate(names):
    images[k]['fields'][2] = (0x0004, 0x1511, 'UI', '1.2.72.9.' + name)
study = record('STUDY', [(0x0008, 0x0020, 'DA', '20260101'), (0x0020, 0x000D, 'UI', '1.2.72.1')],
               [series_record('1.2.72.2', 1, *images)])
patients = [record('PATIENT', [(0x0010, 0x0010, 'PN', 'Padded^Fragment'), (0x0010, 0x0020, 'LO', 'H72')], [study])]
write_dicomdir(os.path.join(disc, 'DICOMDIR'), patients, '1.2.72.7')
