#!/usr/bin/env bash
# Makes slowdisc/: one study of three series, a small uncompressed CT, a larger 2-frame RLE
# whose cell is the slower (pydicom for the files and the DICOMDIR, dcmcrle for the RLE), and
# a CT whose file is missing from the disc.
#   app/shell/main/tests/data/make_slowdisc.sh
set -euo pipefail
cd "$(dirname "$0")"
rm -rf slowdisc
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 -W ignore - "$work" <<'PY'
import sys
import numpy as np
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.uid import ExplicitVRLittleEndian

work = sys.argv[1]
CT, XA = '1.2.840.10008.5.1.4.1.1.2', '1.2.840.10008.5.1.4.1.1.12.1'

def save(name, pixels, sop, modality, series, number, **kw):
    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = sop
    meta.MediaStorageSOPInstanceUID = '1.2.3.55.9.%d' % number
    meta.TransferSyntaxUID = ExplicitVRLittleEndian
    ds = Dataset()
    ds.file_meta = meta
    ds.SOPClassUID, ds.SOPInstanceUID = sop, meta.MediaStorageSOPInstanceUID
    ds.PatientName, ds.PatientID = 'SLOW^DISC', 'S55'
    ds.StudyInstanceUID, ds.StudyID, ds.StudyDate, ds.StudyTime = '1.2.3.55.1', '1', '20260315', '101500'
    ds.SeriesInstanceUID, ds.SeriesNumber, ds.InstanceNumber = series, number, 1
    ds.Modality = modality
    frames = pixels.shape[0] if pixels.ndim == 3 else 1
    ds.Rows, ds.Columns = pixels.shape[-2:]
    ds.BitsAllocated = ds.BitsStored = pixels.dtype.itemsize * 8
    ds.HighBit = ds.BitsStored - 1
    ds.SamplesPerPixel, ds.PixelRepresentation, ds.PhotometricInterpretation = 1, 0, 'MONOCHROME2'
    if frames > 1:
        ds.NumberOfFrames = frames
    for k, v in kw.items():
        setattr(ds, k, v)
    ds.PixelData = pixels.tobytes()
    ds.is_little_endian, ds.is_implicit_VR = True, False
    ds.save_as('%s/%s' % (work, name), write_like_original=False)

ct = np.full((64, 64), 200, np.uint8)
save('ct.dcm', ct, CT, 'CT', '1.2.3.55.2', 1, WindowCenter='128', WindowWidth='256')
save('gone.dcm', ct, CT, 'CT', '1.2.3.55.4', 3, WindowCenter='128', WindowWidth='256')
# Bands of 64 rows, all well above black under the window; runs keep the file small.
y, x = np.mgrid[0:1024, 0:1024]
frame = (20000 + (y // 64) * 200).astype(np.uint16)
save('xa.dcm', np.stack([frame, frame[::-1]]), XA, 'XA', '1.2.3.55.3', 2, WindowCenter='20000',
     WindowWidth='4096')
PY
dcmcrle "$work/xa.dcm" "$work/xa_rle.dcm"
/usr/bin/python3 -W ignore - "$work" <<'PY'
import os, sys
import pydicom
from pydicom.fileset import FileSet
work = sys.argv[1]
fs = FileSet()
for name in ('ct.dcm', 'xa_rle.dcm', 'gone.dcm'):
    fs.add(pydicom.dcmread(os.path.join(work, name)))
fs.write(os.path.join(os.getcwd(), 'slowdisc'))
for instance in fs:
    if instance.SeriesInstanceUID == '1.2.3.55.4':
        os.remove(instance.path)
PY
find slowdisc -type f | sort
