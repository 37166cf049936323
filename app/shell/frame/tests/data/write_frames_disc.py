"""Writes a disc of one study with a 10-frame 16-bit file, flat frames 0, 1000, ... 9000 under
window 4500 / 9000: series 2 holds the file alone, series 3 the same frames as one entry
between single-frame files of 500, 1500 (before) and 7500 (after). The DICOMDIR is written by
dcmmkdir or by pydicom's FileSet; neither gives its image records a Number of Frames.
  write_frames_disc.py OUT dcmmkdir|fileset     (the disc is OUT/disc)
"""
import os
import shutil
import subprocess
import sys

import numpy as np
import pydicom
from pydicom.dataset import Dataset

from kvfixtures import save, set_pixels

out, writer = sys.argv[1], sys.argv[2]
files = os.path.join(out, 'files')
os.makedirs(files)
MULTI_FRAME, SINGLE = '1.2.840.10008.5.1.4.1.1.7.3', '1.2.840.10008.5.1.4.1.1.7'


def image(name, pixels, series, number, sop_class):
    ds = Dataset()
    ds.PatientName, ds.PatientID = 'FRAMES^TEN', 'F10'
    ds.StudyInstanceUID, ds.StudyID, ds.StudyDate, ds.StudyTime = '1.2.3.61.1', '1', '20260401', '090000'
    ds.SeriesInstanceUID, ds.SeriesNumber, ds.InstanceNumber = '1.2.3.61.%d' % series, series, number
    ds.Modality = 'OT'
    set_pixels(ds, pixels)
    ds.WindowCenter, ds.WindowWidth = '4500', '9000'
    save(ds, os.path.join(files, name), sop_class, '1.2.3.61.9.%d.%d' % (series, number))


frames = np.stack([np.full((32, 32), 1000 * k, np.uint16) for k in range(10)])
image('MF', frames, 2, 1, MULTI_FRAME)
for number, value in ((1, 500), (2, 1500), (4, 7500)):
    image('S%d' % number, np.full((32, 32), value, np.uint16), 3, number, SINGLE)
image('MFB', frames, 3, 3, MULTI_FRAME)

disc = os.path.join(out, 'disc')
if writer == 'dcmmkdir':
    names = sorted(os.listdir(files))
    subprocess.run(['dcmmkdir', '-q', '+r', '-Pgp', '+I', '+D', 'DICOMDIR'] + names, check=True, cwd=files)
    os.rename(files, disc)
else:
    from pydicom.fileset import FileSet
    fs = FileSet()
    for name in sorted(os.listdir(files)):
        fs.add(pydicom.dcmread(os.path.join(files, name)))
    fs.write(disc)
    shutil.rmtree(files)
