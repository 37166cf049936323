#!/usr/bin/env bash
# Makes the mouse-tool fixtures with pydicom: a flat frame of 0.5 mm pixels for measuring, and
# a series of four flat frames for paging.
#   app/viewer/cell/tests/data/make_tools.sh
set -euo pipefail
cd "$(dirname "$0")"
PYTHONPATH=../../../../testsupport/python /usr/bin/python3 -W ignore - <<'PY'
import numpy as np
from pydicom.dataset import Dataset
import kvfixtures

def save(name, pixels, uid, **kw):
    ds = Dataset()
    ds.Modality = 'CT'
    kvfixtures.set_pixels(ds, pixels)
    ds.WindowCenter, ds.WindowWidth = '128', '256'
    for k, v in kw.items():
        setattr(ds, k, v)
    kvfixtures.save(ds, name, '1.2.840.10008.5.1.4.1.1.2', uid)

save('spacing05.dcm', np.full((128, 128), 100, np.uint8), '1.2.3.40.1', PixelSpacing=['0.5', '0.5'])
PY
