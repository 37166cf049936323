#!/usr/bin/env bash
# Makes the image-cell fixtures with pydicom: flat quadrants for window/level, a bright
# square for zoom, a wide frame for fitting, a small multi-frame file, slices in two
# orientations and frames of reference for linking, the values the pixel-value tool reads
# and ten frames of flat greys, and a file that is no DICOM.
#   app/viewer/cell/tests/data/make_cells.sh
set -euo pipefail
cd "$(dirname "$0")"
PYTHONPATH=../../../../testsupport/python /usr/bin/python3 -W ignore - <<'PY'
import numpy as np
import pydicom
from pydicom.dataset import Dataset
import kvfixtures
from pydicom.pixel_data_handlers.util import apply_modality_lut

CT, MR = '1.2.840.10008.5.1.4.1.1.2', '1.2.840.10008.5.1.4.1.1.4'
count = [0]

def save(name, pixels, photometric='MONOCHROME2', sop=CT, modality=None, signed=False, samples=1, bits_stored=None,
         **kw):
    count[0] += 1
    ds = Dataset()
    ds.Modality = modality or ('CT' if sop == CT else 'MR')
    kvfixtures.set_pixels(ds, pixels, photometric, bits_stored, signed, samples)
    for k, v in kw.items():
        setattr(ds, k, v)
    kvfixtures.save(ds, name, sop, '1.2.3.38.%d' % count[0])
    return pydicom.dcmread(name)

quad = np.zeros((256, 256), np.uint16)
quad[:128, 128:] = 1000
quad[128:, :128] = 2000
quad[128:, 128:] = 3000
save('quad16.dcm', quad, WindowCenter='1500', WindowWidth='2000')
save('quad16_mono1.dcm', quad, photometric='MONOCHROME1', WindowCenter='1500', WindowWidth='2000')

square = np.zeros((64, 64), np.uint8)
square[24:40, 24:40] = 255
save('square.dcm', square, WindowCenter='128', WindowWidth='256')

wide = np.full((256, 512), 200, np.uint8)
save('wide.dcm', wide, WindowCenter='128', WindowWidth='256')

small = np.full((16, 16), 100, np.uint8)
save('small.dcm', small, WindowCenter='128', WindowWidth='256')

frames = np.stack([np.full((16, 16), 40 * k, np.uint8) for k in range(4)])
save('multi4.dcm', frames, WindowCenter='128', WindowWidth='256')

# Axial slices 5 mm apart, sagittal slices through x = 20, 40 and 50 mm and an axial slice of
# another frame of reference. 64 x 64 pixels of 1 mm.
slice_pixels = np.full((64, 64), 120, np.uint8)
for k, z in enumerate((0.0, 5.0, 10.0, 15.0)):
    save('axial%d.dcm' % k, slice_pixels, sop=MR, WindowCenter='128', WindowWidth='256',
         FrameOfReferenceUID='1.2.3.38.100', ImageOrientationPatient=['1', '0', '0', '0', '1', '0'],
         ImagePositionPatient=['0', '0', '%g' % z], PixelSpacing=['1', '1'], InstanceNumber=str(k + 1))
save('axial_other.dcm', slice_pixels, sop=MR, WindowCenter='128', WindowWidth='256',
     FrameOfReferenceUID='1.2.3.38.200', ImageOrientationPatient=['1', '0', '0', '0', '1', '0'],
     ImagePositionPatient=['0', '0', '6'], PixelSpacing=['1', '1'], InstanceNumber='1')
for k, x in enumerate((20.0, 40.0, 50.0)):
    save('sagittal%d.dcm' % k, slice_pixels, sop=MR, WindowCenter='128', WindowWidth='256',
         FrameOfReferenceUID='1.2.3.38.100', ImageOrientationPatient=['0', '1', '0', '0', '0', '-1'],
         ImagePositionPatient=['%g' % x, '0', '32'], PixelSpacing=['1', '1'], InstanceNumber=str(k + 1))

# The values a cell shows: a CT (unsigned, rescaled to HU), an RGB, a signed MR and a CT of
# rescale slope 0.005, with the real values of three points each from pydicom's modality LUT
# in probe_expected.txt; and ten 8-bit frames of flat greys 0, 25, ..., 225 under 128 / 256.
SC = '1.2.840.10008.5.1.4.1.1.7'
rng = np.random.default_rng(55)
points = [(0, 0), (7, 9), (15, 15)]
lines = []

def expect(name, ds):
    real = apply_modality_lut(ds.pixel_array, ds)
    for x, y in points:
        text = ' '.join('%.4f' % c for c in np.atleast_1d(real[y, x]))
        lines.append('%s %d %d %s' % (name, x, y, text))

ct = rng.integers(0, 4096, (16, 16), dtype=np.uint16)
ct[0, 0] = 24   # air: -1000 HU
expect('probe_ct.dcm', save('probe_ct.dcm', ct, bits_stored=12, RescaleIntercept='-1024', RescaleSlope='1'))
rgb = rng.integers(0, 256, (16, 16, 3), dtype=np.uint8)
expect('probe_rgb.dcm', save('probe_rgb.dcm', rgb, 'RGB', SC, 'OT', samples=3))
mr = rng.integers(-3000, 3000, (16, 16), dtype=np.int16)
expect('probe_mr.dcm', save('probe_mr.dcm', mr, sop=MR, signed=True))
slope = rng.integers(0, 20000, (16, 16), dtype=np.uint16)
slope[9, 7] = 1001   # odd: half a step of the memory's two decimals
expect('probe_slope.dcm', save('probe_slope.dcm', slope, RescaleIntercept='-20', RescaleSlope='0.005',
                               RescaleType='US'))
with open('probe_expected.txt', 'w') as f:
    f.write('\n'.join(lines) + '\n')

greys = np.stack([np.full((16, 16), 25 * k, np.uint8) for k in range(10)])
save('grey10.dcm', greys, sop=SC, modality='OT', WindowCenter='128', WindowWidth='256')

with open('not_dicom.dcm', 'wb') as f:
    f.write(b'this is no DICOM file\n' * 8)
PY
