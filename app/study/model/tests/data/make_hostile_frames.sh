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
import struct
import numpy as np
from pydicom.dataset import Dataset
from kvfixtures import record as rec, save, us, write_dicomdir

root = 'hostile_frames'

def image(path, rows, cols, bits, frames, pixels, uid):
    ds = Dataset()
    ds.PatientName, ds.PatientID = 'Hostile^Frames', 'H62'
    ds.StudyInstanceUID, ds.SeriesInstanceUID = '1.2.62.1', '1.2.62.2.' + uid
    ds.Modality, ds.InstanceNumber = 'OT', 1
    ds.SamplesPerPixel, ds.PhotometricInterpretation = 1, 'MONOCHROME2'
    if frames is not None:
        ds.NumberOfFrames = frames
    ds.Rows, ds.Columns = rows, cols
    ds.BitsAllocated = ds.BitsStored = bits
    ds.HighBit, ds.PixelRepresentation = bits - 1, 0
    ds.PixelData = pixels
    save(ds, path, '1.2.840.10008.5.1.4.1.1.7', '1.2.62.3.' + uid)

# A bright square on black, so that a painted cell shows bright pixels.
square = np.zeros((64, 64), dtype=np.uint8)
square[16:48, 16:48] = 255
image(root + '/src.dcm', 64, 64, 8, None, square.tobytes(), '1')

def header_only(name, rows, cols, bits, frames, declared, uid):
    path = f'{root}/IMG/{name}'
    image(path, rows, cols, bits, frames, b'\0\0', uid)
    with open(path, 'r+b') as f:
        data = f.read()
        at = data.rindex(b'\xe0\x7f\x10\x00O')
        f.seek(at + 8)
        f.write(struct.pack('<I', declared))
        f.truncate(at + 12)

header_only('MANY', 64, 64, 8, 320, 64 * 64 * 320, '4')
header_only('SPARSE', 512, 512, 16, 2**31 - 1, 300000000, '5')

def I(fid, inst, frames=None, geometry=None):
    f = [(0x0004, 0x1500, 'CS', fid), (0x0004, 0x1510, 'UI', '1.2.840.10008.5.1.4.1.1.7'),
         (0x0004, 0x1511, 'UI', '1.2.62.9.' + str(inst)), (0x0020, 0x0013, 'IS', str(inst))]
    if frames is not None: f.append((0x0028, 0x0008, 'IS', str(frames)))
    if geometry:
        rows, cols, bits = geometry
        f += [(0x0028, 0x0010, 'US', us(rows)), (0x0028, 0x0011, 'US', us(cols)), (0x0028, 0x0100, 'US', us(bits))]
    return rec('IMAGE', f)
def E(uid, num, *kids):
    return rec('SERIES', [(0x0008, 0x0060, 'CS', 'OT'), (0x0020, 0x000E, 'UI', uid), (0x0020, 0x0011, 'IS', str(num))], kids)
def disc(name, *series):
    study = rec('STUDY', [(0x0008, 0x0020, 'DA', '20260101'), (0x0020, 0x000D, 'UI', '1.2.62.1')], list(series))
    patients = [rec('PATIENT', [(0x0010, 0x0010, 'PN', 'Hostile^Frames'), (0x0010, 0x0020, 'LO', 'H62')], [study])]
    write_dicomdir(f'{root}/{name}', patients, '1.2.62.7.' + name)

disc('DIRJPEG', E('1.2.62.2.1', 1, I('IMG\\JPGOK', 1), I('IMG\\BOMB1', 2), I('IMG\\BOMB2', 3)))
disc('DIRMANY', E('1.2.62.2.2', 1, I('IMG\\MANY', 1, frames=10**7, geometry=(1, 1, 1))))
disc('DIRSPARSE', E('1.2.62.2.3', 1, I('IMG\\SPARSE', 1, frames=2**31 - 1, geometry=(1, 1, 1))))
PY
dcmcjpeg +eb "$root/src.dcm" "$root/IMG/JPGOK"
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
