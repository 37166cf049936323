#!/usr/bin/python3
# Nearest-neighbour resizing by Pillow, the peer of the scaling tests. Each line of the job file:
# "in out width height bits channels new_width new_height"; samples are native-endian, pixel by
# pixel. 8-bit gray, RGB and RGBA go through Pillow whole; other layouts channel by channel
# (nearest neighbour picks the same source pixel in every channel).
import sys

import numpy as np
from PIL import Image

MODES = {1: "L", 3: "RGB", 4: "RGBA"}

for line in open(sys.argv[1]):
    words = line.split()
    if not words:
        continue
    src, dst = words[0], words[1]
    width, height, bits, channels, new_width, new_height = (int(w) for w in words[2:])
    dtype = np.uint8 if bits == 8 else np.dtype("<u2")
    pixels = np.fromfile(src, dtype=dtype).reshape(height, width, channels)
    if bits == 8 and channels in MODES:
        image = Image.fromarray(pixels[:, :, 0] if channels == 1 else pixels, MODES[channels])
        out = np.asarray(image.resize((new_width, new_height), Image.NEAREST)).reshape(new_height, new_width, channels)
    else:
        planes = []
        for c in range(channels):
            plane = np.ascontiguousarray(pixels[:, :, c])
            mode = "L" if bits == 8 else "I;16"
            image = Image.frombytes(mode, (width, height), plane.tobytes())
            resized = image.resize((new_width, new_height), Image.NEAREST)
            planes.append(np.frombuffer(resized.tobytes(), dtype=dtype).reshape(new_height, new_width))
        out = np.stack(planes, axis=2)
    out.astype(dtype).tofile(dst)
