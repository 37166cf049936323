"""A 16-bit MONOCHROME2 file of `frames` frames of rows x cols, written by pydicom: sample
(k, y, x) = (1000 k + y) mod 65536, so each frame's memory is known in closed form. With
INTERCEPT, a rescale of slope 1 and that intercept.
    write_staged_frames.py OUT FRAMES ROWS COLS [INTERCEPT]
"""
import sys

import pydicom

import numpy as np
import kvfixtures

out, frames, rows, cols = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
k = np.arange(frames, dtype=np.uint32).reshape(frames, 1, 1)
y = np.arange(rows, dtype=np.uint32).reshape(1, rows, 1)
pixels = np.broadcast_to((1000 * k + y) % 65536, (frames, rows, cols)).astype(np.uint16)
kvfixtures.mono_image(out, rows, cols, 16, frames if frames > 1 else None, pixels.tobytes(),
                      ('STAGED^READ', 'SR1'), '1.2.3.66.1', '1.2.3.66.1.1', '1.2.3.66.1.1.1')
if len(sys.argv) > 5:
    ds = pydicom.dcmread(out)
    ds.RescaleSlope, ds.RescaleIntercept = 1, sys.argv[5]
    ds.save_as(out, write_like_original=False)
