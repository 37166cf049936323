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
import os, struct
import numpy as np
from pydicom.dataset import Dataset
from pydicom.pixel_data_handlers.numpy_handler import pack_bits
from kvfixtures import record as rec, save, us, write_dicomdir

root = 'hostile'
os.makedirs(root + '/IMG', exist_ok=True)

def image(name, rows, cols, bits, frames, pixels, uid):
    ds = Dataset()
    ds.PatientName, ds.PatientID = 'Hostile^Disc', 'H1'
    ds.StudyInstanceUID, ds.SeriesInstanceUID = '1.2.57.1', '1.2.57.2.' + name
    ds.Modality, ds.InstanceNumber = 'OT', 1
    ds.SamplesPerPixel, ds.PhotometricInterpretation = 1, 'MONOCHROME2'
    if frames is not None:
        ds.NumberOfFrames = frames
    ds.Rows, ds.Columns = rows, cols
    ds.BitsAllocated = ds.BitsStored = bits
    ds.HighBit, ds.PixelRepresentation = bits - 1, 0
    ds.PixelData = pixels
    save(ds, f'{root}/IMG/{name}', '1.2.840.10008.5.1.4.1.1.7', uid)

ramp = (np.add.outer(np.arange(64) * 3, np.arange(64) * 2) % 256).astype(np.uint8)
image('OK1', 64, 64, 8, None, ramp.tobytes(), '1.2.57.3.1')
bits = np.zeros((3, 10, 10), dtype=np.uint8)
for k in range(3):
    bits[k, k:k + 4 + k, 2:8] = 1
image('BIT1', 10, 10, 1, 3, pack_bits(bits.ravel()), '1.2.57.3.2')
image('PAST', 64, 64, 8, 2**31 - 1, ramp.tobytes(), '1.2.57.3.3')
# 100 MB declared; the file stops after the element's header.
image('HUGE', 512, 512, 16, 100000000, b'\0\0', '1.2.57.3.4')
with open(f'{root}/IMG/HUGE', 'r+b') as f:
    data = f.read()
    at = data.rindex(b'\xe0\x7f\x10\x00OW\x00\x00')
    f.seek(at + 8)
    f.write(struct.pack('<I', 100000000))
    f.truncate(at + 12)

def I(fid, inst, frames=None, geometry=None):
    f = [(0x0004, 0x1500, 'CS', fid), (0x0004, 0x1510, 'UI', '1.2.840.10008.5.1.4.1.1.7'),
         (0x0004, 0x1511, 'UI', '1.2.57.9.' + str(inst)), (0x0020, 0x0013, 'IS', str(inst))]
    if frames is not None: f.append((0x0028, 0x0008, 'IS', str(frames)))
    if geometry:
        rows, cols, bits = geometry
        f += [(0x0028, 0x0010, 'US', us(rows)), (0x0028, 0x0011, 'US', us(cols)), (0x0028, 0x0100, 'US', us(bits))]
    return rec('IMAGE', f)
def E(uid, num, *kids):
    return rec('SERIES', [(0x0008, 0x0060, 'CS', 'OT'), (0x0020, 0x000E, 'UI', uid), (0x0020, 0x0011, 'IS', str(num))], kids)
study = rec('STUDY', [(0x0008, 0x0020, 'DA', '20260101'), (0x0020, 0x000D, 'UI', '1.2.57.1')], [
    E('1.2.57.2.1', 1, I('IMG\\OK1', 1), I('IMG\\LINK', 2), I('OUT\\X', 3)),
    E('1.2.57.2.2', 2, I('IMG\\BIT1', 1, frames=3)),
    E('1.2.57.2.3', 3, I('IMG\\PAST', 1, frames=2**31 - 1)),
    E('1.2.57.2.4', 4, I('IMG\\HUGE', 1, frames=100000000, geometry=(512, 512, 16)))])
patients = [rec('PATIENT', [(0x0010, 0x0010, 'PN', 'Hostile^Disc'), (0x0010, 0x0020, 'LO', 'H1')], [study])]

write_dicomdir(root + '/DICOMDIR', patients, '1.2.57.7')
PY
dcmdump +E hostile/DICOMDIR | grep -c "Directory Record" 
