"""Writes two 64 x 64 ramps of 32-bit samples without a window, 100,000 apart from pixel to
pixel in reading order: RAMPU unsigned (0 .. 409,500,000) and RAMPS signed (-204,800,000 ..
204,700,000), each a secondary capture of its own patient.
  write_wide_ramp.py OUT
"""
import os
import sys

import numpy as np
from pydicom.dataset import Dataset

from kvfixtures import save, set_pixels

out = sys.argv[1]
steps = np.arange(64 * 64, dtype=np.int64).reshape(64, 64) * 100000
ramps = (('RAMPU', 1, steps.astype(np.uint32)), ('RAMPS', 2, (steps - 204800000).astype(np.int32)))
for name, number, pixels in ramps:
    ds = Dataset()
    ds.PatientName, ds.PatientID = name + '^WIDE', name
    ds.StudyInstanceUID, ds.StudyID = '1.2.3.65.%d' % number, '1'
    ds.SeriesInstanceUID, ds.SeriesNumber, ds.InstanceNumber = '1.2.3.65.%d.1' % number, 1, 1
    ds.Modality = 'OT'
    set_pixels(ds, pixels)
    save(ds, os.path.join(out, name), '1.2.840.10008.5.1.4.1.1.7', uid='1.2.3.65.%d.1.1' % number)
