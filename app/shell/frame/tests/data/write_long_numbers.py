"""Writes images whose numbers are longer than their VR allows, or not finite, as some writers
make them, a DICOMDIR over them and a zip of that disc, and what pydicom reads of each:
    write_long_numbers.py OUT
OUT/disc/IMG/<name>, OUT/disc/DICOMDIR (one series per line below, the records' Instance
Numbers and Numbers of Frames written as the files'), OUT/disc.zip, and OUT/pydicom.txt with
one line per file: name, Number of Frames, Instance Number, Slice Thickness, Rows, Rescale
Slope, as pydicom reads them (- when absent).
  F2              two frames (the second dark), Number of Frames "0" x 60 + "2"
  I1 I2 I3        instances 3, 1, 2 in file order, each written with 60 leading zeros
  THK EXP         CT, Slice Thickness "0" x 70 + "5" and "0.5" + "0" x 62 + "e1"
  ROWS            Rows as IS, "0" x 50 + "64"
  SINF SNAN SBIG  Rescale Slope "inf", "nan" and "1e400", beside an intercept of 0
"""
import os
import sys
import zipfile

import numpy as np
import pydicom
from pydicom.dataelem import DataElement
from pydicom.dataset import Dataset

import kvfixtures as kv

out = sys.argv[1]
ROOT = '1.2.826.0.1.3680043.2.1125.91.'
STUDY = ROOT + '1'
CT = '1.2.840.10008.5.1.4.1.1.2'
OT = '1.2.840.10008.5.1.4.1.1.7'
Z60 = '0' * 60

# Series by name: its modality, then its files with their long values (tag, VR, text).
SERIES = [
    ('OT', [('F2', [(0x00280008, 'IS', Z60 + '2')])]),
    ('OT', [('I1', [(0x00200013, 'IS', Z60 + '3')]), ('I2', [(0x00200013, 'IS', Z60 + '1')]),
            ('I3', [(0x00200013, 'IS', Z60 + '2')])]),
    ('CT', [('THK', [(0x00180050, 'DS', '0' * 70 + '5')])]),
    ('CT', [('EXP', [(0x00180050, 'DS', '0.5' + '0' * 62 + 'e1')])]),
    ('OT', [('ROWS', [(0x00280010, 'IS', '0' * 50 + '64')])]),
    ('OT', [('SINF', [(0x00281053, 'DS', 'inf')])]),
    ('OT', [('SNAN', [(0x00281053, 'DS', 'nan')])]),
    ('OT', [('SBIG', [(0x00281053, 'DS', '1e400')])]),
]


def image(path, series_uid, modality, uid, values):
    ds = Dataset()
    ds.PatientName, ds.PatientID = 'Long^Numbers', 'LN91'
    ds.StudyInstanceUID, ds.SeriesInstanceUID = STUDY, series_uid
    ds.Modality, ds.InstanceNumber = modality, 1
    tags = [tag for tag, _, _ in values]
    side = 64
    # Rows bright from the middle down; a second frame dark.
    ramp = np.repeat((np.arange(side, dtype=np.uint32) * 4000 // side).astype(np.uint16), side).reshape(side, side)
    pixels = np.stack([ramp, np.zeros_like(ramp)]) if 0x00280008 in tags else ramp
    kv.set_pixels(ds, pixels, bits_stored=12)
    if 0x00281053 in tags:
        ds.RescaleIntercept = 0
    for tag, vr, text in values:
        if tag in ds:
            del ds[tag]
        ds.add(DataElement(tag, vr, text))
    kv.save(ds, path, CT if modality == 'CT' else OT, uid)


def record(name, uid, values):
    fields = [(0x0004, 0x1500, 'CS', 'IMG\\' + name), (0x0004, 0x1510, 'UI', OT), (0x0004, 0x1511, 'UI', uid)]
    written = {tag: text for tag, _, text in values}
    fields.append((0x0020, 0x0013, 'IS', written.get(0x00200013, '1')))
    if 0x00280008 in written:
        fields.append((0x0028, 0x0008, 'IS', written[0x00280008]))
    return kv.record('IMAGE', fields)


def pydicom_line(name, path):
    ds = pydicom.dcmread(path)
    shown = [name]
    for keyword in ('NumberOfFrames', 'InstanceNumber', 'SliceThickness', 'Rows', 'RescaleSlope'):
        value = ds.get(keyword)
        shown.append('-' if value is None else repr(float(value)) if keyword in ('SliceThickness', 'RescaleSlope')
                     else str(int(value)))
    return ' '.join(shown)


disc = os.path.join(out, 'disc')
series_records, lines, members = [], [], []
for s, (modality, files) in enumerate(SERIES):
    series_uid = ROOT + '2.' + str(s + 1)
    images = []
    for n, (name, values) in enumerate(files):
        uid = series_uid + '.' + str(n + 1)
        path = os.path.join(disc, 'IMG', name)
        image(path, series_uid, modality, uid, values)
        images.append(record(name, uid, values))
        lines.append(pydicom_line(name, path))
        members.append(('IMG/' + name, path))
    series_records.append(kv.series_record(series_uid, s + 1, *images, modality=modality))
study = kv.record('STUDY', [(0x0020, 0x000D, 'UI', STUDY), (0x0008, 0x0020, 'DA', '20260101')], series_records)
patient = kv.record('PATIENT', [(0x0010, 0x0010, 'PN', 'Long^Numbers'), (0x0010, 0x0020, 'LO', 'LN91')], [study])
kv.write_dicomdir(os.path.join(disc, 'DICOMDIR'), [patient], ROOT + '9')
with zipfile.ZipFile(os.path.join(out, 'disc.zip'), 'w') as z:
    z.write(os.path.join(disc, 'DICOMDIR'), 'DICOMDIR')
    for member, path in members:
        z.write(path, member)
with open(os.path.join(out, 'pydicom.txt'), 'w') as f:
    f.write('\n'.join(lines) + '\n')
