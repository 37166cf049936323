"""Run by the frame's tiling tests at test time: one patient, one study of three positioned CT
series written by pydicom, all on one Frame of Reference, axial:
  write_positioned_disc.py OUT
  S1: 12 images 1 mm apart (z = 0 .. 11), instance numbers 1 .. 12;
  S2: 4 unevenly spaced slices (z = 0, 2.5, 7, 11), instance numbers 18, 180, 181, 182;
  S3: 23 images 1 mm apart (z = 0 .. 22), instance numbers 1 .. 23.
Each image is 16 x 16 samples of one value, 40 x its place in its series plus 40 x (series - 1)
x 25 (so no two images of the disc share a value), under window 2000 / 4000. File names and the
DICOMDIR's image records come in a shuffled order.
"""
import os
import random
import sys

import numpy as np
from pydicom.dataset import Dataset

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '../../../../testsupport/python'))
import kvfixtures as kv  # noqa: E402

out = sys.argv[1]
ct = '1.2.840.10008.5.1.4.1.1.2'
root = '1.2.826.0.1.3680043.8.498.91'
study_uid, frame_of_reference = root + '.1', root + '.5'
SERIES = {1: [(n, float(n - 1)) for n in range(1, 13)],
          2: [(18, 0.0), (180, 2.5), (181, 7.0), (182, 11.0)],
          3: [(n, float(n - 1)) for n in range(1, 24)]}
rng = random.Random(91)

series_records = []
for k, slices in SERIES.items():
    series_uid = '%s.2.%d' % (root, k)
    names = ['F%02d' % i for i in range(len(slices))]
    rng.shuffle(names)
    image_records = []
    for place, ((number, z), name) in enumerate(zip(slices, names)):
        uid = '%s.3.%d.%d' % (root, k, number)
        ds = Dataset()
        ds.PatientName, ds.PatientID = 'Tiled^Series', 'TS1'
        ds.StudyInstanceUID, ds.SeriesInstanceUID, ds.SOPInstanceUID = study_uid, series_uid, uid
        ds.FrameOfReferenceUID = frame_of_reference
        ds.Modality, ds.SeriesNumber, ds.InstanceNumber = 'CT', k, number
        ds.ImagePositionPatient = [-8.0, -8.0, z]
        ds.ImageOrientationPatient = [1, 0, 0, 0, 1, 0]
        ds.PixelSpacing, ds.SliceThickness, ds.SliceLocation = [1, 1], 1, z
        kv.set_pixels(ds, np.full((16, 16), 40 * (place + 1 + 25 * (k - 1)), np.uint16))
        ds.WindowCenter, ds.WindowWidth = '2000', '4000'
        kv.save(ds, os.path.join(out, 'S%d' % k, name), ct)
        image_records.append(kv.image_record('S%d\\%s' % (k, name), number, '%s.3.%d.' % (root, k), sop_class=ct))
    rng.shuffle(image_records)
    series_records.append(kv.series_record(series_uid, k, *image_records, modality='CT'))

study = kv.record('STUDY', [(0x0008, 0x0020, 'DA', '20260101'), (0x0008, 0x0030, 'TM', '120000'),
                            (0x0020, 0x000D, 'UI', study_uid), (0x0020, 0x0010, 'SH', '1')], series_records)
patient = kv.record('PATIENT', [(0x0010, 0x0010, 'PN', 'Tiled^Series'), (0x0010, 0x0020, 'LO', 'TS1')], [study])
kv.write_dicomdir(os.path.join(out, 'DICOMDIR'), [patient], root + '.4')
