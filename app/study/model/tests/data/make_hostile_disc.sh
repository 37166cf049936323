#!/usr/bin/env bash
# Makes the damaged disc of the hostile-disc tests with pydicom: an intact image, a 3-frame
# one-bit image, a file claiming 2^31 - 1 frames with the data of one, and a file whose record
# claims 10^8 frames of 512 x 512 x 16 bits and whose pixel data declares 100 MB that the
# test supplies (a sparse tail). The DICOMDIR also lists IMG\LINK and OUT\X, which the test
# makes as symbolic links to files outside the disc.
#   app/study/model/tests/data/make_hostile_disc.sh
set -euo pipefail
cd "$(dirname "$0")"
PYTHONPATH=../../../../testsupport/python /usr/bin/python3 -W ignore - <<'PY'
import os
import numpy as np
from pydicom.pixel_data_handlers.numpy_handler import pack_bits
from kvfixtures import (cut_after_pixel_header, image_record, mono_image, record as rec, series_record as E,
                        write_dicomdir)

root = 'hostile'
os.makedirs(root + '/IMG', exist_ok=True)

def image(name, rows, cols, bits, frames, pixels, uid):
    mono_image(f'{root}/IMG/{name}', rows, cols, bits, frames, pixels, ('Hostile^Disc', 'H1'), '1.2.57.1',
               '1.2.57.2.' + name, uid)

ramp = (np.add.outer(np.arange(64) * 3, np.arange(64) * 2) % 256).astype(np.uint8)
image('OK1', 64, 64, 8, None, ramp.tobytes(), '1.2.57.3.1')
bits = np.zeros((3, 10, 10), dtype=np.uint8)
for k in range(3):
    bits[k, k:k + 4 + k, 2:8] = 1
image('BIT1', 10, 10, 1, 3, pack_bits(bits.ravel()), '1.2.57.3.2')
image('PAST', 64, 64, 8, 2**31 - 1, ramp.tobytes(), '1.2.57.3.3')
# 100 MB declared; the file stops after the element's header.
image('HUGE', 512, 512, 16, 100000000, b'\0\0', '1.2.57.3.4')
cut_after_pixel_header(f'{root}/IMG/HUGE', 100000000)

def I(fid, inst, frames=None, geometry=None):
    return image_record(fid, inst, '1.2.57.9.', frames, geometry)
study = rec('STUDY', [(0x0008, 0x0020, 'DA', '20260101'), (0x0020, 0x000D, 'UI', '1.2.57.1')], [
    E('1.2.57.2.1', 1, I('IMG\\OK1', 1), I('IMG\\LINK', 2), I('OUT\\X', 3)),
    E('1.2.57.2.2', 2, I('IMG\\BIT1', 1, frames=3)),
    E('1.2.57.2.3', 3, I('IMG\\PAST', 1, frames=2**31 - 1)),
    E('1.2.57.2.4', 4, I('IMG\\HUGE', 1, frames=100000000, geometry=(512, 512, 16)))])
patients = [rec('PATIENT', [(0x0010, 0x0010, 'PN', 'Hostile^Disc'), (0x0010, 0x0020, 'LO', 'H1')], [study])]

write_dicomdir(root + '/DICOMDIR', patients, '1.2.57.7')
PY
dcmdump +E hostile/DICOMDIR | grep -c "Directory Record" 
