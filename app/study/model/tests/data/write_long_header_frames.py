"""A multi-frame file behind a long header: a private sequence of ITEMS items of 1 KB each
before frames of 16-bit samples (k, y, x) = (1000 k + y) mod 65536, or with `rgb` of 8-bit RGB
samples (k + y, x, k) mod 256; with `rescaled` a slope below 0.01, an intercept and a window.
Written by pydicom; then the values a load takes from the header,
as pydicom reads them back, one `name value` a line on stdout.
    write_long_header_frames.py OUT FRAMES ROWS COLS ITEMS [rgb|rescaled]
"""
import sys

import numpy as np
import pydicom
from pydicom.dataset import Dataset
from pydicom.sequence import Sequence

import kvfixtures

out, frames, rows, cols, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
kind = sys.argv[6] if len(sys.argv) > 6 else ''
rgb = kind == 'rgb'
k = np.arange(frames, dtype=np.uint32).reshape(frames, 1, 1)
y = np.arange(rows, dtype=np.uint32).reshape(1, rows, 1)
x = np.arange(cols, dtype=np.uint32).reshape(1, 1, cols)
if rgb:
    planes = [(k + y) % 256 + 0 * x, (x + 0 * k + 0 * y) % 256, k % 256 + 0 * x + 0 * y]
    pixels = np.stack(planes, axis=-1).astype(np.uint8)
else:
    pixels = np.broadcast_to((1000 * k + y) % 65536, (frames, rows, cols)).astype(np.uint16)
kvfixtures.mono_image(out, rows, cols, 8 if rgb else 16, frames, pixels.tobytes(), ('LONG^HEADER', 'LH1'),
                      '1.2.3.67.1', '1.2.3.67.1.1', '1.2.3.67.1.1.1')
ds = pydicom.dcmread(out)
if rgb:
    ds.SamplesPerPixel, ds.PhotometricInterpretation, ds.PlanarConfiguration = 3, 'RGB', 0
elif kind == 'rescaled':
    # A slope below 0.01: memory keeps two decimals of the real value.
    ds.RescaleSlope, ds.RescaleIntercept, ds.RescaleType = '0.005', '-100', 'HU'
    ds.WindowCenter, ds.WindowWidth = '40', '400'
ds.ImageOrientationPatient = [0, 1, 0, 0, 0, -1]
ds.add_new(0x00090010, 'LO', 'KESTRO LONG HEADER')
items = []
for i in range(count):
    item = Dataset()
    item.add_new(0x00090010, 'LO', 'KESTRO LONG HEADER')
    item.add_new(0x00091001, 'OB', bytes([i % 256]) * 1000)
    items.append(item)
ds.add_new(0x00091010, 'SQ', Sequence(items))
ds.save_as(out, write_like_original=False)

back = pydicom.dcmread(out, stop_before_pixels=True)
print('frames', int(back.NumberOfFrames))
print('pixelOffset', len(open(out, 'rb').read()) - len(pydicom.dcmread(out).PixelData))
if kind == 'rescaled':
    print('slope', float(back.RescaleSlope))
    print('intercept', float(back.RescaleIntercept))
    print('centre', float(back.WindowCenter))
    print('width', float(back.WindowWidth))
print('colour', 1 if back.PhotometricInterpretation == 'RGB' else 0)
