"""Writes one of the discs the slow-medium tests and benchmarks read: files by pydicom (explicit
VR little endian, 16-bit MONOCHROME2 CT), the DICOMDIR by `dcmmkdir +r -Pgp +I`.
  make_slow_disc.py OUT sample                          the sample disc, copied
  make_slow_disc.py OUT samplezip                       the sample disc zipped: OUT/disc.zip
  make_slow_disc.py OUT ct [SERIES FILES SIZE]          one study (3 x 100 of 512 x 512)
  make_slow_disc.py OUT multiframe [FRAMES SIZE]        one FRAMES-frame file (200 of 512 x 512)
                                                        and two series of 4 single images
  make_slow_disc.py OUT multiframezip [FRAMES SIZE]     that disc zipped, stored, its multi-frame
                                                        file the first member: OUT/disc.zip
  make_slow_disc.py OUT mr [SERIES FILES SIZE]          one study (20 x 20 of 256 x 256)
  make_slow_disc.py OUT mrzip [SERIES FILES SIZE]       that disc zipped, stored, in path order:
                                                        OUT/disc.zip
  make_slow_disc.py OUT studies [FILES SIZE]            two studies: 2 images of 64 x 64, then
                                                        FILES of SIZE x SIZE (4 of 512 x 512)
The disc is OUT (DICOMDIR and DICOM/...); OUT must not exist.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile

import numpy as np
from pydicom.dataset import Dataset

from kvfixtures import save, set_pixels

CT, MULTI_FRAME = '1.2.840.10008.5.1.4.1.1.2', '1.2.840.10008.5.1.4.1.1.7.3'
STUDY = '1.2.826.0.1.3680043.9.7466.1'


def ramp(size, shift):
    """A diagonal ramp of 0 .. 4095 moved by shift, so that neighbouring images differ."""
    y, x = np.mgrid[0:size, 0:size]
    return ((x + y + shift * 7) * 4095 // (2 * size)).astype(np.uint16) % 4096


def image(out, series, number, pixels, sop_class=CT, study=1):
    uid = STUDY if study == 1 else '%s.%d' % (STUDY, 1000 + study)
    ds = Dataset()
    ds.PatientName, ds.PatientID = 'SLOW^DISC', 'SLOW1'
    ds.StudyInstanceUID, ds.StudyID, ds.StudyDate, ds.StudyTime = uid, str(study), '20260401', '090000'
    ds.SeriesInstanceUID = '%s.%d' % (uid, series)
    ds.SeriesNumber, ds.InstanceNumber = series, number
    ds.Modality = 'CT'
    set_pixels(ds, pixels, bits_stored=12)
    ds.WindowCenter, ds.WindowWidth = '2048', '4096'
    ds.RescaleIntercept, ds.RescaleSlope = '0', '1'
    name = os.path.join(out, 'DICOM', 'S%03d' % series, 'I%04d' % number)
    save(ds, name, sop_class, '%s.%d.%d' % (uid, series, number))


def single_series(out, series, files, size):
    for number in range(1, files + 1):
        image(out, series, number, ramp(size, series * 1000 + number))


def main():
    out, kind, numbers = sys.argv[1], sys.argv[2], [int(a) for a in sys.argv[3:]]
    sample = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', '..', 'sample')
    if kind == 'sample':
        shutil.copytree(sample, out)
        return
    if kind == 'samplezip':
        os.makedirs(out)
        shutil.make_archive(os.path.join(out, 'disc'), 'zip', sample)
        return
    if kind == 'multiframezip':
        os.makedirs(out)
        with tempfile.TemporaryDirectory() as work:
            disc = os.path.join(work, 'disc')
            subprocess.run([sys.executable, '-W', 'ignore', os.path.abspath(__file__), disc, 'multiframe'] +
                           [str(n) for n in numbers], check=True)
            names = sorted(os.path.relpath(os.path.join(folder, f), disc)
                           for folder, _, files in os.walk(disc) for f in files)
            first = os.path.join('DICOM', 'S001', 'I0001')
            with zipfile.ZipFile(os.path.join(out, 'disc.zip'), 'w', zipfile.ZIP_STORED) as z:
                for name in [first] + [n for n in names if n != first]:
                    z.write(os.path.join(disc, name), name)
        return
    if kind == 'mrzip':
        os.makedirs(out)
        with tempfile.TemporaryDirectory() as work:
            disc = os.path.join(work, 'disc')
            subprocess.run([sys.executable, '-W', 'ignore', os.path.abspath(__file__), disc, 'mr'] +
                           [str(n) for n in numbers], check=True)
            names = sorted(os.path.relpath(os.path.join(folder, f), disc)
                           for folder, _, files in os.walk(disc) for f in files)
            with zipfile.ZipFile(os.path.join(out, 'disc.zip'), 'w', zipfile.ZIP_STORED) as z:
                for name in names:
                    z.write(os.path.join(disc, name), name)
        return
    os.makedirs(out)
    if kind in ('ct', 'mr'):
        series, files, size = numbers or ((3, 100, 512) if kind == 'ct' else (20, 20, 256))
        for s in range(1, series + 1):
            single_series(out, s, files, size)
    elif kind == 'multiframe':
        frames, size = numbers or (200, 512)
        image(out, 1, 1, np.stack([ramp(size, k) for k in range(frames)]), MULTI_FRAME)
        single_series(out, 2, 4, size)
        single_series(out, 3, 4, size)
    elif kind == 'studies':
        files, size = numbers or (4, 512)
        single_series(out, 1, 2, 64)
        for number in range(1, files + 1):
            image(out, 2, number, ramp(size, number), study=2)
    else:
        sys.exit('unknown disc ' + kind)
    subprocess.run(['dcmmkdir', '-q', '+r', '-Pgp', '+I', '+D', 'DICOMDIR', 'DICOM'], check=True, cwd=out)


main()
