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
PYTHONPATH=../../../../testsupport/python /usr/bin/python3 -W ignore - "$work" <<'PY'
import sys
import numpy as np
from pydicom.dataset import Dataset
from kvfixtures import save as save_file, set_pixels

work = sys.argv[1]
CT, XA = '1.2.840.10008.5.1.4.1.1.2', '1.2.840.10008.5.1.4.1.1.12.1'

def save(name, pixels, sop, modality, series, number, **kw):
    ds = Dataset()
    ds.PatientName, ds.PatientID = 'SLOW^DISC', 'S55'
    ds.StudyInstanceUID, ds.StudyID, ds.StudyDate, ds.StudyTime = '1.2.3.55.1', '1', '20260315', '101500'
    ds.SeriesInstanceUID, ds.SeriesNumber, ds.InstanceNumber = series, number, 1
    ds.Modality = modality
    set_pixels(ds, pixels)
    for k, v in kw.items():
        setattr(ds, k, v)
    save_file(ds, '%s/%s' % (work, name), sop, '1.2.3.55.9.%d' % number)

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
