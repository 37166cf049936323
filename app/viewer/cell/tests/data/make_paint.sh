#!/usr/bin/env bash
# Makes the smooth-paint fixtures with pydicom: a signed 16-bit CT of 32 x 16 whose upper half
# jumps from -1000-ish to 500-ish at its middle column and whose lower half ramps from -320 to
# 920, the same pixels as MONOCHROME1, and an RGB frame of 16 x 8.
#   app/viewer/cell/tests/data/make_paint.sh
set -euo pipefail
cd "$(dirname "$0")"
PYTHONPATH=../../../../testsupport/python /usr/bin/python3 -W ignore - <<'PY'
import numpy as np
from pydicom.dataset import Dataset
import kvfixtures

CT, SC = '1.2.840.10008.5.1.4.1.1.2', '1.2.840.10008.5.1.4.1.1.7'
count = [0]

def save(name, pixels, photometric, sop=CT, **kw):
    count[0] += 1
    ds = Dataset()
    ds.Modality = 'CT' if sop == CT else 'OT'
    kvfixtures.set_pixels(ds, pixels, photometric, samples=3 if pixels.ndim == 3 else 1)
    for k, v in kw.items():
        setattr(ds, k, v)
    kvfixtures.save(ds, name, sop, '1.2.3.38.55.%d' % count[0])

y, x = np.mgrid[0:16, 0:32]
edge = np.where(x < 16, -1000 + 9 * y + 3 * x, 500 + 9 * y - 5 * x)
edge = np.where(y < 8, edge, -320 + 40 * x).astype('<i2')
for name, photometric in (('edge_ct.dcm', 'MONOCHROME2'), ('edge_ct_mono1.dcm', 'MONOCHROME1')):
    save(name, edge, photometric, WindowCenter='0', WindowWidth='400', RescaleIntercept='0', RescaleSlope='1')

y, x = np.mgrid[0:8, 0:16]
rgb = np.stack([x * 16 + 3, y * 30 + 5, np.where((x + y) % 4 < 2, 240, 10)], axis=-1).astype(np.uint8)
save('rgb_small.dcm', rgb, 'RGB', sop=SC)
PY
