#!/usr/bin/env bash
# Makes the smooth-paint fixtures with pydicom: a signed 16-bit CT of 32 x 16 whose upper half
# jumps from -1000-ish to 500-ish at its middle column and whose lower half ramps from -320 to
# 920, the same pixels as MONOCHROME1, and an RGB frame of 16 x 8.
#   app/viewer/cell/tests/data/make_paint.sh
set -euo pipefail
cd "$(dirname "$0")"
/usr/bin/python3 -W ignore - <<'PY'
import numpy as np
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.uid import ExplicitVRLittleEndian

CT, SC = '1.2.840.10008.5.1.4.1.1.2', '1.2.840.10008.5.1.4.1.1.7'
count = [0]

def save(name, pixels, photometric, sop=CT, **kw):
    count[0] += 1
    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = sop
    meta.MediaStorageSOPInstanceUID = '1.2.3.38.55.%d' % count[0]
    meta.TransferSyntaxUID = ExplicitVRLittleEndian
    ds = Dataset()
    ds.file_meta = meta
    ds.SOPClassUID, ds.SOPInstanceUID = sop, meta.MediaStorageSOPInstanceUID
    ds.Modality = 'CT' if sop == CT else 'OT'
    ds.Rows, ds.Columns = pixels.shape[:2]
    ds.BitsAllocated = ds.BitsStored = pixels.dtype.itemsize * 8
    ds.HighBit = ds.BitsStored - 1
    ds.SamplesPerPixel = 3 if pixels.ndim == 3 else 1
    ds.PixelRepresentation = 1 if pixels.dtype.kind == 'i' else 0
    ds.PhotometricInterpretation = photometric
    if pixels.ndim == 3:
        ds.PlanarConfiguration = 0
    for k, v in kw.items():
        setattr(ds, k, v)
    ds.PixelData = pixels.tobytes()
    ds.is_little_endian, ds.is_implicit_VR = True, False
    ds.save_as(name, write_like_original=False)

y, x = np.mgrid[0:16, 0:32]
edge = np.where(x < 16, -1000 + 9 * y + 3 * x, 500 + 9 * y - 5 * x)
edge = np.where(y < 8, edge, -320 + 40 * x).astype('<i2')
for name, photometric in (('edge_ct.dcm', 'MONOCHROME2'), ('edge_ct_mono1.dcm', 'MONOCHROME1')):
    save(name, edge, photometric, WindowCenter='0', WindowWidth='400', RescaleIntercept='0', RescaleSlope='1')

y, x = np.mgrid[0:8, 0:16]
rgb = np.stack([x * 16 + 3, y * 30 + 5, np.where((x + y) % 4 < 2, 240, 10)], axis=-1).astype(np.uint8)
save('rgb_small.dcm', rgb, 'RGB', sop=SC)
PY
