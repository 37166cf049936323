"""Writes a disc of one study: series 1 holds one 8-frame 1024 x 1024 16-bit file whose frame
k is flat at 500 k (16 MiB, each frame 2 MiB), series 2 four single 64 x 64 files of 4000.
Window 2000 / 4000. The DICOMDIR is written by dcmmkdir.
  write_medium_disc.py OUT     (the disc is OUT/disc, the large file OUT/disc/MF)
"""
import os
import subprocess
import sys

import numpy as np
from pydicom.dataset import Dataset

from kvfixtures import save, set_pixels

out = sys.argv[1]
disc = os.path.join(out, 'disc')
os.makedirs(disc)


def image(name, pixels, series, number, sop_class):
    ds = Dataset()
    ds.PatientName, ds.PatientID = 'MEDIUM^SLOW', 'M8'
    ds.StudyInstanceUID, ds.StudyID, ds.StudyDate, ds.StudyTime = '1.2.3.66.2', '1', '20260401', '090000'
    ds.SeriesInstanceUID, ds.SeriesNumber, ds.InstanceNumber = '1.2.3.66.2.%d' % series, series, number
    ds.Modality = 'OT'
    set_pixels(ds, pixels)
    ds.WindowCenter, ds.WindowWidth = '2000', '4000'
    save(ds, os.path.join(disc, name), sop_class, '1.2.3.66.2.9.%d.%d' % (series, number))


image('MF', np.stack([np.full((1024, 1024), 500 * k, np.uint16) for k in range(8)]), 1, 1,
      '1.2.840.10008.5.1.4.1.1.7.3')
for number in range(1, 5):
    image('S%d' % number, np.full((64, 64), 4000, np.uint16), 2, number, '1.2.840.10008.5.1.4.1.1.7')
names = sorted(n for n in os.listdir(disc))
subprocess.run(['dcmmkdir', '-q', '+r', '-Pgp', '+I', '+D', 'DICOMDIR'] + names, check=True, cwd=disc)
