"""Run by the frame's failure tests at test time: one patient, one study of SERIES series of
IMAGES images each, written by pydicom, with the DICOMDIR laid out record by record.
  write_series_disc.py OUT SERIES IMAGES [MISSING ...] [--unreadable K ...] [--patients P]
Series k (from 1) is the folder OUT/S<k> holding I1 .. I<IMAGES>: 8 x 8 16-bit samples of
1000 under window 500 / 1000, so every image paints white. The series named in MISSING (from
1) are listed in the DICOMDIR but their files are not written; those named after --unreadable
have files of 1000 bytes that are no DICOM file. With --patients P (last), P patients each
have such a study, patient p (from 2) in OUT/P<p>/S<k>.
"""
import os
import sys

import numpy as np
from pydicom.dataset import Dataset

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '../../../../testsupport/python'))
import kvfixtures as kv  # noqa: E402

out, count, images = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
rest = sys.argv[4:]
patients = 1
if '--patients' in rest:
    patients = int(rest[rest.index('--patients') + 1])
    rest = rest[:rest.index('--patients')]
cut = rest.index('--unreadable') if '--unreadable' in rest else len(rest)
missing = {int(k) for k in rest[:cut]}
unreadable = {int(k) for k in rest[cut + 1:]}
ct = '1.2.840.10008.5.1.4.1.1.2'
root = '1.2.826.0.1.3680043.8.498.65'


def patient_record(p):
    """Patient p's record, its files written; patient 1 is as the disc always had it."""
    folder = '' if p == 1 else 'P%d' % p
    uid_root = root if p == 1 else '%s.%d' % (root, p)
    study_uid = uid_root + '.1'
    patient_id = 'MS1' if p == 1 else 'MS%d' % p

    series_records = []
    for k in range(1, count + 1):
        series_uid = '%s.2.%d' % (uid_root, k)
        image_records = []
        for n in range(1, images + 1):
            uid = '%s.3.%d.%d' % (uid_root, k, n)
            fid = ('%s\\' % folder if folder else '') + 'S%d\\I%d' % (k, n)
            image_records.append(kv.record('IMAGE', [(0x0004, 0x1500, 'CS', fid), (0x0004, 0x1510, 'UI', ct),
                                                     (0x0004, 0x1511, 'UI', uid), (0x0020, 0x0013, 'IS', str(n))]))
            if k in missing:
                continue
            if k in unreadable:
                os.makedirs(os.path.join(out, folder, 'S%d' % k), exist_ok=True)
                with open(os.path.join(out, folder, 'S%d' % k, 'I%d' % n), 'wb') as f:
                    f.write(bytes(range(256)) * 3 + b'\xff' * 232)
                continue
            ds = Dataset()
            ds.PatientName, ds.PatientID = 'Many^Series', patient_id
            ds.StudyInstanceUID, ds.SeriesInstanceUID, ds.SOPInstanceUID = study_uid, series_uid, uid
            ds.Modality, ds.SeriesNumber, ds.InstanceNumber = 'CT', k, n
            kv.set_pixels(ds, np.full((8, 8), 1000, np.uint16))
            ds.WindowCenter, ds.WindowWidth = '500', '1000'
            kv.save(ds, os.path.join(out, folder, 'S%d' % k, 'I%d' % n), ct)
        series_records.append(kv.record('SERIES', [(0x0008, 0x0060, 'CS', 'CT'), (0x0020, 0x000E, 'UI', series_uid),
                                                   (0x0020, 0x0011, 'IS', str(k))], image_records))

    study = kv.record('STUDY', [(0x0008, 0x0020, 'DA', '20260101'), (0x0008, 0x0030, 'TM', '120000'),
                                (0x0020, 0x000D, 'UI', study_uid), (0x0020, 0x0010, 'SH', '1')], series_records)
    return kv.record('PATIENT', [(0x0010, 0x0010, 'PN', 'Many^Series'), (0x0010, 0x0020, 'LO', patient_id)], [study])


os.makedirs(out, exist_ok=True)
kv.write_dicomdir(os.path.join(out, 'DICOMDIR'), [patient_record(p) for p in range(1, patients + 1)], root + '.4')
