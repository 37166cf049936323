"""Run by the frame's reference-line tests at test time: one study of an axial and a sagittal
series written by pydicom on one Frame of Reference, as series reformatted from one volume are:
  write_crossing_planes.py OUT SHIFT [SERIES]
  S1 axial:    3 slices at z = -10, 0, 10 mm, position (-X0, -179.036, z), rows along +y;
  S2 sagittal: 3 slices at x = -10, 0, 10 mm, position (x, -179.0 + SHIFT, X0), rows along -z;
  S3 coronal (SERIES 3; 2 when not given): 3 slices at y = -146, -136, -126 mm, position
               (-X0, y, X0), rows along -z.
Both are 128 x 128 samples of 2/3 mm (X0 = 128 x 2/3 / 2), so with SHIFT 0 their extents along
y agree to 0.036 mm: in each image the other plane ends a hair past one edge. Every sample is
100 under window 200 / 400, so a line drawn in white stands out.
"""
import os
import sys

import numpy as np
from pydicom.dataset import Dataset

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '../../../../testsupport/python'))
import kvfixtures as kv  # noqa: E402

out, shift = sys.argv[1], float(sys.argv[2])
series_count = int(sys.argv[3]) if len(sys.argv) > 3 else 2
ct = '1.2.840.10008.5.1.4.1.1.2'
root = '1.2.826.0.1.3680043.8.498.95'
study_uid, frame_of_reference = root + '.1', root + '.5'
# Decimal strings of at most 16 characters, as DS holds them.
spacing = '0.66666666666667'
half = '%.12f' % (64 * 2.0 / 3.0)
SERIES = {
    1: ([1, 0, 0, 0, 1, 0], [(n, ['-' + half, '-179.036', z]) for n, z in ((1, '-10'), (2, '0'), (3, '10'))]),
    2: ([0, 1, 0, 0, 0, -1], [(n, [x, '%.3f' % (-179.0 + shift), half]) for n, x in ((1, '-10'), (2, '0'), (3, '10'))]),
    3: ([1, 0, 0, 0, 0, -1], [(n, ['-' + half, y, half]) for n, y in ((1, '-146'), (2, '-136'), (3, '-126'))]),
}
SERIES = {k: v for k, v in SERIES.items() if k <= series_count}

series_records = []
for k, (orientation, slices) in SERIES.items():
    series_uid = '%s.2.%d' % (root, k)
    image_records = []
    for number, position in slices:
        uid = '%s.3.%d.%d' % (root, k, number)
        ds = Dataset()
        ds.PatientName, ds.PatientID = 'Crossing^Planes', 'CP1'
        ds.StudyInstanceUID, ds.SeriesInstanceUID, ds.SOPInstanceUID = study_uid, series_uid, uid
        ds.FrameOfReferenceUID = frame_of_reference
        ds.Modality, ds.SeriesNumber, ds.InstanceNumber = 'CT', k, number
        ds.ImagePositionPatient = position
        ds.ImageOrientationPatient = orientation
        ds.PixelSpacing, ds.SliceThickness = [spacing, spacing], 1
        kv.set_pixels(ds, np.full((128, 128), 100, np.uint16))
        ds.WindowCenter, ds.WindowWidth = '200', '400'
        name = 'S%d/I%d' % (k, number)
        kv.save(ds, os.path.join(out, name), ct)
        image_records.append(kv.image_record(name.replace('/', '\\'), number, '%s.3.%d.' % (root, k), sop_class=ct))
    series_records.append(kv.series_record(series_uid, k, *image_records, modality='CT'))

study = kv.record('STUDY', [(0x0008, 0x0020, 'DA', '20260101'), (0x0008, 0x0030, 'TM', '120000'),
                            (0x0020, 0x000D, 'UI', study_uid), (0x0020, 0x0010, 'SH', '1')], series_records)
patient = kv.record('PATIENT', [(0x0010, 0x0010, 'PN', 'Crossing^Planes'), (0x0010, 0x0020, 'LO', 'CP1')], [study])
kv.write_dicomdir(os.path.join(out, 'DICOMDIR'), [patient], root + '.4')
