#!/usr/bin/env bash
# Makes the DICOMDIRs that File Open and the command line must refuse without taking them
# for an image: both load as plain DICOM files, neither as a DICOMDIR.
#   norecords/DICOMDIR   a DICOMDIR's file meta and header, with no Directory Record Sequence
#   badrecords/DICOMDIR  a record sequence whose IMAGE lacks its Referenced File ID, under a
#                        file meta that names a CT image class, so only the sequence tells
set -euo pipefail
cd "$(dirname "$0")"
PYTHONPATH=../../../../testsupport/python /usr/bin/python3 -W ignore - <<'PY'
from pydicom.dataset import Dataset
from pydicom.sequence import Sequence
import kvfixtures

def save(ds, path, sop_class):
    kvfixtures.save(ds, path, sop_class, '1.2.826.0.1.3680043.8.498.54.' + str(len(path)), name_instance=False)

def header():
    ds = Dataset()
    ds.FileSetID = 'KESTRO'
    ds.OffsetOfTheFirstDirectoryRecordOfTheRootDirectoryEntity = 0
    ds.OffsetOfTheLastDirectoryRecordOfTheRootDirectoryEntity = 0
    ds.FileSetConsistencyFlag = 0
    return ds

def record(kind, **values):
    r = Dataset()
    r.OffsetOfTheNextDirectoryRecord = 0
    r.RecordInUseFlag = 0xFFFF
    r.OffsetOfReferencedLowerLevelDirectoryEntity = 0
    r.DirectoryRecordType = kind
    for k, v in values.items():
        setattr(r, k, v)
    return r

save(header(), 'norecords/DICOMDIR', '1.2.840.10008.1.3.10')

ds = header()
ds.DirectoryRecordSequence = Sequence([
    record('PATIENT', PatientName='Unopenable^Disc', PatientID='U1'),
    record('STUDY', StudyInstanceUID='1.2.3.54', StudyDate='20260101', StudyTime='120000'),
    record('SERIES', SeriesInstanceUID='1.2.3.54.1', Modality='CT', SeriesNumber=1),
    record('IMAGE', ReferencedSOPClassUIDInFile='1.2.840.10008.5.1.4.1.1.2',
           ReferencedSOPInstanceUIDInFile='1.2.3.54.1.1', InstanceNumber=1),
])
save(ds, 'badrecords/DICOMDIR', '1.2.840.10008.5.1.4.1.1.2')

# The sequence's tag, explicit VR little endian, only where it is meant to be.
for name in ('norecords', 'badrecords'):
    with open(name + '/DICOMDIR', 'rb') as f:
        assert (b'\x04\x00\x20\x12SQ' in f.read()) == (name == 'badrecords'), name
PY
