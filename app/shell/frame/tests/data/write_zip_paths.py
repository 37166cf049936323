"""Run by the zip member tests at test time: two patients whose discs repeat file names across
folders, each as a disc folder and as zips written by Python's zipfile. Writes into the folder
given:
    names/      DICOMDIR: BOB with series B\\OK and B\\IMG1, ALICE with A\\IMG1; the three files
    names.zip   DICOMDIR, B/OK and A/IMG1 only (Bob's B/IMG1 is missing)
    case/       DICOMDIR: BOB with DICOM\\P2\\IM0, ALICE with DICOM\\P1\\IM0; the files under a
                folder spelled "Dicom"
    case.zip    the same files as the case disc
    sub.zip     the case disc below the folder "CD/"
Bob's images are white (value 250), Alice's mid grey (128), each under window 128/256.
"""
import os
import sys
import zipfile

import numpy as np
from pydicom.dataset import Dataset

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '../../../../testsupport/python'))
import kvfixtures as kv  # noqa: E402

out = sys.argv[1]
sc = '1.2.840.10008.5.1.4.1.1.7'
root = '1.2.826.0.1.3680043.8.498.65.'
people = {'BOB': ('Bob^Brown', 250, '1'), 'ALICE': ('Alice^Grey', 128, '2')}


def image(path, patient, series, instance):
    name, value, number = people[patient]
    ds = Dataset()
    ds.PatientName, ds.PatientID = name, patient
    ds.StudyInstanceUID = root + number + '.1'
    ds.SeriesInstanceUID = root + number + '.2.' + str(series)
    ds.SOPInstanceUID = root + number + '.3.' + str(instance)
    ds.Modality, ds.SeriesNumber, ds.InstanceNumber = 'OT', series, 1
    ds.WindowCenter, ds.WindowWidth = 128, 256
    kv.set_pixels(ds, np.full((32, 32), value, dtype=np.uint8))
    kv.save(ds, path, sc)
    return ds.SOPInstanceUID


def dicomdir(path, files):
    """files: (patient, series number, file ID, instance UID), in order."""
    patients = []
    for patient, (name, _, number) in people.items():
        mine = [f for f in files if f[0] == patient]
        if not mine:
            continue
        series = [kv.series_record(root + number + '.2.' + str(num), num,
                                   kv.record('IMAGE', [(0x0004, 0x1500, 'CS', fid), (0x0004, 0x1510, 'UI', sc),
                                                       (0x0004, 0x1511, 'UI', uid), (0x0020, 0x0013, 'IS', '1')]))
                  for _, num, fid, uid in mine]
        study = kv.record('STUDY', [(0x0008, 0x0020, 'DA', '20260101'), (0x0008, 0x0030, 'TM', '120000'),
                                    (0x0020, 0x000D, 'UI', root + number + '.1')], series)
        patients.append(kv.record('PATIENT', [(0x0010, 0x0010, 'PN', name),
                                              (0x0010, 0x0020, 'LO', patient)], [study]))
    kv.write_dicomdir(path, patients, root + '9')


def zip_folder(zip_path, folder, names, prefix=''):
    with zipfile.ZipFile(zip_path, 'w', zipfile.ZIP_DEFLATED) as z:
        for name in names:
            z.write(os.path.join(folder, name), prefix + name)


names = f'{out}/names'
files = [('BOB', 1, 'B\\OK', image(f'{names}/B/OK', 'BOB', 1, 1)),
         ('BOB', 2, 'B\\IMG1', image(f'{names}/B/IMG1', 'BOB', 2, 2)),
         ('ALICE', 1, 'A\\IMG1', image(f'{names}/A/IMG1', 'ALICE', 1, 1))]
dicomdir(f'{names}/DICOMDIR', files)
zip_folder(f'{out}/names.zip', names, ['DICOMDIR', 'B/OK', 'A/IMG1'])

case = f'{out}/case'
files = [('BOB', 1, 'DICOM\\P2\\IM0', image(f'{case}/Dicom/P2/IM0', 'BOB', 1, 1)),
         ('ALICE', 1, 'DICOM\\P1\\IM0', image(f'{case}/Dicom/P1/IM0', 'ALICE', 1, 1))]
dicomdir(f'{case}/DICOMDIR', files)
members = ['DICOMDIR', 'Dicom/P1/IM0', 'Dicom/P2/IM0']
zip_folder(f'{out}/case.zip', case, members)
zip_folder(f'{out}/sub.zip', case, members, 'CD/')
