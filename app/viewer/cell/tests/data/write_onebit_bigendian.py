"""Run by the cell tests at test time: three 5 x 37 one-bit frames written little-endian by
pydicom, then by dcmconv through implicit VR into explicit VR big endian, where the pixel data
is OW with each 16-bit word byte-swapped. Writes into the folder given
    onebit_be.dcm   the big-endian file
    onebit.raw      the frames as the array holds them, one byte a pixel, frame by frame
"""
import os
import subprocess
import sys

import numpy as np
from pydicom.dataset import Dataset
from pydicom.pixel_data_handlers.numpy_handler import pack_bits

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '../../../../testsupport/python'))
import kvfixtures as kv  # noqa: E402

out = sys.argv[1]
pixels = np.random.default_rng(61).integers(0, 2, size=(3, 5, 37), dtype=np.uint8)
ds = Dataset()
ds.Modality = 'OT'
kv.set_pixels(ds, pixels)
ds.BitsAllocated = ds.BitsStored = 1
ds.HighBit = 0
ds.PixelData = pack_bits(pixels.ravel())
kv.save(ds, f'{out}/onebit_le.dcm', '1.2.840.10008.5.1.4.1.1.7', '1.2.826.0.1.3680043.8.498.61.7')
subprocess.run(['dcmconv', '+ti', f'{out}/onebit_le.dcm', f'{out}/onebit_li.dcm'], check=True)
subprocess.run(['dcmconv', '+tb', f'{out}/onebit_li.dcm', f'{out}/onebit_be.dcm'], check=True)
os.remove(f'{out}/onebit_le.dcm')
os.remove(f'{out}/onebit_li.dcm')
open(f'{out}/onebit.raw', 'wb').write(pixels.tobytes())
