"""Run by the large-disc tests at test time: a disc of one MR series of COUNT images, 64 x 64
12-bit, written by pydicom, whose DICOMDIR dcmmkdir writes with a SIZE x SIZE icon in every
image record (1,700 images with 128 x 128 icons make a DICOMDIR of 28.4 MB).
  write_icon_disc.py OUT COUNT SIZE    (the disc is OUT, its images OUT/MR/IM00000 ...)
"""
import os
import subprocess
import sys

import numpy as np
from pydicom.dataset import Dataset

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '../../../../testsupport/python'))
import kvfixtures as kv  # noqa: E402

out, count, size = sys.argv[1], int(sys.argv[2]), sys.argv[3]
root = '1.2.826.0.1.3680043.8.498.67'
ramp = np.add.outer(np.arange(64), np.arange(64)).astype(np.uint16) * 32
for k in range(count):
    ds = Dataset()
    ds.PatientName, ds.PatientID, ds.PatientSex = 'ICON^DISC', 'ICON1', 'O'
    ds.StudyInstanceUID, ds.StudyID, ds.StudyDate, ds.StudyTime = root + '.1', '1', '20260101', '120000'
    ds.SeriesInstanceUID, ds.SeriesNumber, ds.InstanceNumber = root + '.2', 1, k + 1
    ds.Modality = 'MR'
    kv.set_pixels(ds, (ramp + k) % 4096, bits_stored=12)
    kv.save(ds, os.path.join(out, 'MR', 'IM%05d' % k), '1.2.840.10008.5.1.4.1.1.4', '%s.3.%d' % (root, k))
subprocess.run(['dcmmkdir', '-q', '+r', '+X', '-Xs', size, 'MR'], check=True, cwd=out)
