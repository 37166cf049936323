"""Run by the long-value tests at test time: a 64 x 64 ramp of 12 bits in implicit VR little
endian whose chosen elements hold values of about the given length, written byte by byte (an
explicit VR text value cannot pass 64 KiB, and pydicom would split a long one into a list):
    write_long_values.py <folder> <bytes> <kind>... [--dicomdir]
kinds: window (Window Center 40\\2\\2... and Width 400\\2\\2...), name (Patient Name),
description (Series Description). The image is <folder>/IMG/LONG; with --dicomdir a DICOMDIR
in <folder> lists it with short texts of its own, with --dicomdir-long with the image's long name
and description (as UN where a PN or LO length cannot hold them).
"""
import os
import struct
import sys

import numpy as np
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.uid import ImplicitVRLittleEndian

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '../../../../testsupport/python'))
import kvfixtures as kv  # noqa: E402

folder, size = sys.argv[1], int(sys.argv[2])
kinds = [k for k in sys.argv[3:] if not k.startswith('--')]
uid = '1.2.826.0.1.3680043.8.498.63.'
ds = Dataset()
ds.PatientName, ds.PatientID, ds.Modality = 'Long^Values', 'LV1', 'OT'
ds.StudyInstanceUID, ds.SeriesInstanceUID, ds.StudyDate = uid + '1', uid + '2', '20240101'
ds.SeriesNumber, ds.InstanceNumber, ds.SeriesDescription = 1, 1, 'SHORT'
kv.set_pixels(ds, (np.arange(64 * 64) % 4096).astype(np.uint16).reshape(64, 64), bits_stored=12)
# Placeholders of their own lengths, replaced below by the long values.
long_values = {}
if 'window' in kinds:
    ds.WindowCenter, ds.WindowWidth = '1234567890', '1234567891'
    count = max(1, (size - 4) // 2)
    long_values[(0x0028, 0x1050, b'1234567890')] = b'40' + b'\\2' * count
    long_values[(0x0028, 0x1051, b'1234567891')] = b'400' + b'\\2' * count + b' '
if 'name' in kinds:
    ds.PatientName = 'KVLONGNAME00'
    long_values[(0x0010, 0x0010, b'KVLONGNAME00')] = (b'Long^Name' + b'x' * size)[:size // 2 * 2]
if 'description' in kinds:
    ds.SeriesDescription = 'KVLONGDESC00'
    long_values[(0x0008, 0x103E, b'KVLONGDESC00')] = (b'Long description ' + b'y' * size)[:size // 2 * 2]

meta = FileMetaDataset()
meta.MediaStorageSOPClassUID = ds.SOPClassUID = '1.2.840.10008.5.1.4.1.1.7'
meta.MediaStorageSOPInstanceUID = ds.SOPInstanceUID = uid + '3'
meta.TransferSyntaxUID = ImplicitVRLittleEndian
ds.file_meta = meta
ds.is_little_endian, ds.is_implicit_VR = True, True
path = os.path.join(folder, 'IMG', 'LONG')
os.makedirs(os.path.dirname(path), exist_ok=True)
ds.save_as(path, write_like_original=False)

with open(path, 'rb') as f:
    data = f.read()
for (group, element, placeholder), value in long_values.items():
    old = struct.pack('<HHI', group, element, len(placeholder)) + placeholder
    assert data.count(old) == 1, (group, element)
    data = data.replace(old, struct.pack('<HHI', group, element, len(value)) + value)
with open(path, 'wb') as f:
    f.write(data)


def text_field(tag, vr, key, short):
    if '--dicomdir-long' not in sys.argv[3:] or key not in long_values:
        return tag + (vr, short)
    value = long_values[key]
    return tag + (vr if len(value) <= 0xFFFE else 'UN', value)


if '--dicomdir' in sys.argv[3:] or '--dicomdir-long' in sys.argv[3:]:
    image = kv.image_record('IMG\\LONG', 1, uid + '3', geometry=(64, 64, 16))
    image['fields'] = [f if f[1] != 0x1511 else (0x0004, 0x1511, 'UI', uid + '3') for f in image['fields']]
    series = kv.series_record(uid + '2', 1, image)
    series['fields'].append(text_field((0x0008, 0x103E), 'LO', (0x0008, 0x103E, b'KVLONGDESC00'), 'SERIES OF LONG'))
    study = kv.record('STUDY', [(0x0008, 0x0020, 'DA', '20240101'), (0x0020, 0x000D, 'UI', uid + '1')], [series])
    patient = kv.record('PATIENT', [text_field((0x0010, 0x0010), 'PN', (0x0010, 0x0010, b'KVLONGNAME00'), 'Dir^Name'),
                                    (0x0010, 0x0020, 'LO', 'LV1')], [study])
    kv.write_dicomdir(os.path.join(folder, 'DICOMDIR'), [patient], uid + '9')
