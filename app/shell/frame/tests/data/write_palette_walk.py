"""Run by the hostile-values test at test time: writes to the path given an 8-bit PALETTE COLOR
image of 64 x 64 whose red Segmented Palette Color Lookup Table Data holds 65,535 discrete
segments of no entries and then 330,000 indirect segments that each replay all of them (about
3 MB); green and blue are plain ramps.
    write_palette_walk.py <path>
"""
import os
import sys

import numpy as np
from pydicom.dataset import Dataset

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '../../../../testsupport/python'))
import kvfixtures as kv  # noqa: E402

uid = '1.2.826.0.1.3680043.8.498.62.'
ds = Dataset()
ds.PatientName, ds.PatientID, ds.Modality = 'Palette^Walk', 'PW1', 'OT'
ds.StudyInstanceUID, ds.SeriesInstanceUID = uid + '1', uid + '2'
kv.set_pixels(ds, (np.arange(64 * 64) % 256).astype(np.uint8).reshape(64, 64), photometric='PALETTE COLOR')
walk = np.asarray([0, 0] * 65535 + [2, 65535, 0, 0] * 330000, dtype='<u2').tobytes()
ramp = np.asarray([0, 1, 0, 1, 255, 65535], dtype='<u2').tobytes()
for c, data in enumerate((walk, ramp, ramp)):
    ds.add_new(0x00281101 + c, 'US', [256, 0, 16])
    ds.add_new(0x00281221 + c, 'OW', data)
kv.save(ds, sys.argv[1], '1.2.840.10008.5.1.4.1.1.7', uid + '3')
