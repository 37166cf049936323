#!/usr/bin/env bash
# Makes the fixtures of the values a cell shows, with pydicom: a CT (unsigned, rescaled to
# HU), an RGB, a signed MR and a CT of rescale slope 0.005, with the real values of three
# points each from pydicom's modality LUT in probe_expected.txt; and ten 8-bit frames of flat
# greys 0, 25, ..., 225 under window 128 / 256.
#   app/viewer/view/tests/data/make_values.sh
set -euo pipefail
cd "$(dirname "$0")"
/usr/bin/python3 -W ignore - <<'PY'
import numpy as np
import pydicom
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.uid import ExplicitVRLittleEndian
from pydicom.pixel_data_handlers.util import apply_modality_lut

CT, MR, SC = '1.2.840.10008.5.1.4.1.1.2', '1.2.840.10008.5.1.4.1.1.4', '1.2.840.10008.5.1.4.1.1.7'
rng = np.random.default_rng(55)
count = [0]

def save(name, pixels, sop, modality, signed=False, bits_stored=None, samples=1, photometric='MONOCHROME2', **kw):
    count[0] += 1
    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = sop
    meta.MediaStorageSOPInstanceUID = '1.2.3.55.%d' % count[0]
    meta.TransferSyntaxUID = ExplicitVRLittleEndian
    ds = Dataset()
    ds.file_meta = meta
    ds.SOPClassUID, ds.SOPInstanceUID = sop, meta.MediaStorageSOPInstanceUID
    ds.Modality = modality
    frames = pixels.shape[0] if (pixels.ndim == 3 and samples == 1) else 1
    rows, cols = (pixels.shape[-2:] if samples == 1 else pixels.shape[:2])
    ds.Rows, ds.Columns = rows, cols
    ds.BitsAllocated = pixels.dtype.itemsize * 8
    ds.BitsStored = bits_stored or ds.BitsAllocated
    ds.HighBit = ds.BitsStored - 1
    ds.SamplesPerPixel, ds.PixelRepresentation = samples, int(signed)
    ds.PhotometricInterpretation = photometric
    if samples > 1:
        ds.PlanarConfiguration = 0
    if frames > 1:
        ds.NumberOfFrames = frames
    for k, v in kw.items():
        setattr(ds, k, v)
    ds.PixelData = pixels.tobytes()
    ds.is_little_endian, ds.is_implicit_VR = True, False
    ds.save_as(name, write_like_original=False)
    return pydicom.dcmread(name)

points = [(0, 0), (7, 9), (15, 15)]
lines = []

def expect(name, ds):
    real = apply_modality_lut(ds.pixel_array, ds)
    for x, y in points:
        v = real[y, x]
        text = ' '.join('%.4f' % c for c in np.atleast_1d(v))
        lines.append('%s %d %d %s' % (name, x, y, text))

ct = rng.integers(0, 4096, (16, 16), dtype=np.uint16)
ct[0, 0] = 24   # air: -1000 HU
ds = save('probe_ct.dcm', ct, CT, 'CT', bits_stored=12,
          RescaleIntercept='-1024', RescaleSlope='1')
expect('probe_ct.dcm', ds)
ds = save('probe_rgb.dcm', rng.integers(0, 256, (16, 16, 3), dtype=np.uint8), SC, 'OT', samples=3,
          photometric='RGB')
expect('probe_rgb.dcm', ds)
ds = save('probe_mr.dcm', rng.integers(-3000, 3000, (16, 16), dtype=np.int16), MR, 'MR', signed=True)
expect('probe_mr.dcm', ds)
slope = rng.integers(0, 20000, (16, 16), dtype=np.uint16)
slope[9, 7] = 1001   # odd: half a step of the memory's two decimals
ds = save('probe_slope.dcm', slope, CT, 'CT',
          RescaleIntercept='-20', RescaleSlope='0.005', RescaleType='US')
expect('probe_slope.dcm', ds)
with open('probe_expected.txt', 'w') as f:
    f.write('\n'.join(lines) + '\n')

greys = np.repeat((np.arange(10) * 25).astype(np.uint8)[:, None, None], 16 * 16, axis=1).reshape(10, 16, 16)
save('grey10.dcm', greys, SC, 'OT', WindowCenter='128', WindowWidth='256')
PY
