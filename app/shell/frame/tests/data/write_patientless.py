"""Run by the File Open tests at test time: writes into the folder given
    nopatient/DICOMDIR   a study, its series and image, with no PATIENT record above them
    nopatient/IM1        the image the record names
    empty/DICOMDIR       an empty Directory Record Sequence
    onepatient/DICOMDIR  the same study under its PATIENT record (its image IM1 is nopatient's)
    reportonly/DICOMDIR  a patient whose one study holds one series: a Basic Text SR document
    reportonly/SR1       that document, which is also the report-only file alone
"""
import os
import sys

import numpy as np
from pydicom.dataset import Dataset

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '../../../../testsupport/python'))
import kvfixtures as kv  # noqa: E402

out = sys.argv[1]
ct = '1.2.840.10008.5.1.4.1.1.2'
uid = '1.2.826.0.1.3680043.8.498.61.4'

ds = Dataset()
ds.PatientName, ds.PatientID = 'Orphan^Study', 'OS1'
ds.StudyInstanceUID, ds.SeriesInstanceUID, ds.SOPInstanceUID = uid + '.1', uid + '.2', uid + '.3'
ds.Modality, ds.SeriesNumber, ds.InstanceNumber = 'CT', 1, 1
kv.set_pixels(ds, np.arange(64, dtype=np.uint16).reshape(8, 8))
kv.save(ds, f'{out}/nopatient/IM1', ct)

image = kv.record('IMAGE', [(0x0004, 0x1500, 'CS', 'IM1'), (0x0004, 0x1510, 'UI', ct),
                            (0x0004, 0x1511, 'UI', uid + '.3'), (0x0020, 0x0013, 'IS', '1')])
series = kv.record('SERIES', [(0x0008, 0x0060, 'CS', 'CT'), (0x0020, 0x000E, 'UI', uid + '.2'),
                              (0x0020, 0x0011, 'IS', '1')], [image])
study = kv.record('STUDY', [(0x0008, 0x0020, 'DA', '20260101'), (0x0008, 0x0030, 'TM', '120000'),
                            (0x0020, 0x000D, 'UI', uid + '.1')], [series])
kv.write_dicomdir(f'{out}/nopatient/DICOMDIR', [study], uid + '.4')
owner = kv.record('PATIENT', [(0x0010, 0x0010, 'PN', 'Orphan^Study'), (0x0010, 0x0020, 'LO', 'OS1')], [study])
os.makedirs(f'{out}/onepatient', exist_ok=True)
kv.write_dicomdir(f'{out}/onepatient/DICOMDIR', [owner], uid + '.6')
os.makedirs(f'{out}/empty', exist_ok=True)
kv.write_dicomdir(f'{out}/empty/DICOMDIR', [], uid + '.5')

# A report and nothing else: listed with reports supported or not, never an image.
basic_text = '1.2.840.10008.5.1.4.1.1.88.11'
sr = Dataset()
sr.PatientName, sr.PatientID = 'Report^Only', 'RO1'
sr.StudyInstanceUID, sr.SeriesInstanceUID = uid + '.11', uid + '.12'
sr.Modality, sr.SeriesNumber, sr.InstanceNumber = 'SR', 1, 1
sr.StudyDate, sr.StudyTime, sr.ContentDate, sr.ContentTime = '20260101', '120000', '20260101', '120000'
sr.ValueType, sr.CompletionFlag, sr.VerificationFlag = 'CONTAINER', 'COMPLETE', 'UNVERIFIED'
sr.ContinuityOfContent = 'SEPARATE'
kv.save(sr, f'{out}/reportonly/SR1', basic_text, uid + '.13')
document = kv.record('SR DOCUMENT', [(0x0004, 0x1500, 'CS', 'SR1'), (0x0004, 0x1510, 'UI', basic_text),
                                     (0x0004, 0x1511, 'UI', uid + '.13'), (0x0020, 0x0013, 'IS', '1')])
report_series = kv.record('SERIES', [(0x0008, 0x0060, 'CS', 'SR'), (0x0020, 0x000E, 'UI', uid + '.12'),
                                     (0x0020, 0x0011, 'IS', '1')], [document])
report_study = kv.record('STUDY', [(0x0008, 0x0020, 'DA', '20260101'), (0x0008, 0x0030, 'TM', '120000'),
                                   (0x0020, 0x000D, 'UI', uid + '.11')], [report_series])
patient = kv.record('PATIENT', [(0x0010, 0x0010, 'PN', 'Report^Only'), (0x0010, 0x0020, 'LO', 'RO1')],
                    [report_study])
kv.write_dicomdir(f'{out}/reportonly/DICOMDIR', [patient], uid + '.14')
