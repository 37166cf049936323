#!/usr/bin/env bash
# Makes the mouse-tool fixtures with pydicom: a flat frame of 0.5 mm pixels for measuring, and
# a series of four flat frames for paging.
#   app/viewer/cell/tests/data/make_tools.sh
set -euo pipefail
cd "$(dirname "$0")"
/usr/bin/python3 -W ignore - <<'PY'
import numpy as np
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.uid import ExplicitVRLittleEndian

def save(name, pixels, uid, **kw):
    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = '1.2.840.10008.5.1.4.1.1.2'
    meta.MediaStorageSOPInstanceUID = uid
    meta.TransferSyntaxUID = ExplicitVRLittleEndian
    ds = Dataset()
    ds.file_meta = meta
    ds.SOPClassUID, ds.SOPInstanceUID = meta.MediaStorageSOPClassUID, uid
    ds.Modality = 'CT'
    ds.Rows, ds.Columns = pixels.shape
    ds.BitsAllocated = ds.BitsStored = 8
    ds.HighBit = 7
    ds.SamplesPerPixel, ds.PixelRepresentation = 1, 0
    ds.PhotometricInterpretation = 'MONOCHROME2'
    ds.WindowCenter, ds.WindowWidth = '128', '256'
    for k, v in kw.items():
        setattr(ds, k, v)
    ds.PixelData = pixels.tobytes()
    ds.is_little_endian, ds.is_implicit_VR = True, False
    ds.save_as(name, write_like_original=False)

save('spacing05.dcm', np.full((128, 128), 100, np.uint8), '1.2.3.40.1', PixelSpacing=['0.5', '0.5'])
PY
