#!/usr/bin/env bash
# Makes the frame-claim discs of the hostile-frame tests with pydicom and dcmtk's dcmcjpeg:
#   DIRJPEG   a 64 x 64 baseline JPEG image beside two copies whose frame header claims
#             65535 x 65535 (BOMB1, BOMB2);
#   DIRMANY   a record claiming 10^7 frames of 1 x 1 pixel at 1 bit for MANY, whose header
#             says 320 frames of 64 x 64 x 8 bits; the test writes its 1.3 MB of pixels;
#   DIRSPARSE a record claiming 2^31 - 1 frames of 1 x 1 pixel at 1 bit for SPARSE, whose
#             header says as many frames of 512 x 512 x 16 bits in a value of 300,000,000
#             bytes that the test supplies as a sparse tail.
# MANY and SPARSE stop after their Pixel Data element's header.
#   app/study/model/tests/data/make_hostile_frames.sh
set -euo pipefail
cd "$(dirname "$0")"
root=hostile_frames
rm -rf "$root"
mkdir -p "$root/IMG"
PYTHONPATH=../../../../testsupport/python /usr/bin/python3 -W ignore - <<'PY'
import numpy as np
from kvfixtures import (cut_after_pixel_header, image_record, mono_image, record as rec, series_record as E,
                        write_dicomdir)

root = 'hostile_frames'

def image(path, rows, cols, bits, frames, pixels, uid):
    mono_image(path, rows, cols, bits, frames, pixels, ('Hostile^Frames', 'H62'), '1.2.62.1', '1.2.62.2.' + uid,
               '1.2.62.3.' + uid)

# A bright square on black, so that a painted cell shows bright pixels.
square = np.zeros((64, 64), dtype=np.uint8)
square[16:48, 16:48] = 255
image(root + '/src.dcm', 64, 64, 8, None, square.tobytes(), '1')

def header_only(name, rows, cols, bits, frames, declared, uid):
    image(f'{root}/IMG/{name}', rows, cols, bits, frames, b'\0\0', uid)
    cut_after_pixel_header(f'{root}/IMG/{name}', declared)

header_only('MANY', 64, 64, 8, 320, 64 * 64 * 320, '4')
header_only('SPARSE', 512, 512, 16, 2**31 - 1, 300000000, '5')

def I(fid, inst, frames=None, geometry=None):
    return image_record(fid, inst, '1.2.62.9.', frames, geometry)
def disc(name, *series):
    study = rec('STUDY', [(0x0008, 0x0020, 'DA', '20260101'), (0x0020, 0x000D, 'UI', '1.2.62.1')], list(series))
    patients = [rec('PATIENT', [(0x0010, 0x0010, 'PN', 'Hostile^Frames'), (0x0010, 0x0020, 'LO', 'H62')], [study])]
    write_dicomdir(f'{root}/{name}', patients, '1.2.62.7.' + name)

disc('DIRJPEG', E('1.2.62.2.1', 1, I('IMG\\JPGOK', 1), I('IMG\\BOMB1', 2), I('IMG\\BOMB2', 3)))
disc('DIRMANY', E('1.2.62.2.2', 1, I('IMG\\MANY', 1, frames=10**7, geometry=(1, 1, 1))))
disc('DIRSPARSE', E('1.2.62.2.3', 1, I('IMG\\SPARSE', 1, frames=2**31 - 1, geometry=(1, 1, 1))))
PY
dcmcjpeg +eb +un "$root/src.dcm" "$root/IMG/JPGOK"
rm "$root/src.dcm"
# The frame header's height and width (after SOF0's length and precision) set to 65535.
/usr/bin/python3 - "$root" <<'PY'
import sys
root = sys.argv[1]
data = bytearray(open(root + '/IMG/JPGOK', 'rb').read())
sof = data.index(b'\xff\xc0')
data[sof + 5:sof + 9] = b'\xff\xff\xff\xff'
for name in ('BOMB1', 'BOMB2'):
    open(f'{root}/IMG/{name}', 'wb').write(data)
PY
ls -l "$root/IMG"
