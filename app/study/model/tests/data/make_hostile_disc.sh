#!/usr/bin/env bash
# Makes the damaged disc of the hostile-disc tests with pydicom: an intact image, a 3-frame
# one-bit image, a file claiming 2^31 - 1 frames with the data of one, and a file whose record
# claims 10^8 frames of 512 x 512 x 16 bits and whose pixel data declares 100 MB that the
# test supplies (a sparse tail). The DICOMDIR also lists IMG\LINK and OUT\X, which the test
# makes as symbolic links to files outside the disc.
#   app/study/model/tests/data/make_hostile_disc.sh
set -euo pipefail
cd "$(dirname "$0")"
/usr/bin/python3 -W ignore - <<'PY'
import os, struct
import numpy as np
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.uid import ExplicitVRLittleEndian
from pydicom.pixel_data_handlers.numpy_handler import pack_bits

root = 'hostile'
os.makedirs(root + '/IMG', exist_ok=True)

def image(name, rows, cols, bits, frames, pixels, uid):
    ds = Dataset()
    ds.file_meta = FileMetaDataset()
    ds.file_meta.MediaStorageSOPClassUID = '1.2.840.10008.5.1.4.1.1.7'
    ds.file_meta.MediaStorageSOPInstanceUID = uid
    ds.file_meta.TransferSyntaxUID = ExplicitVRLittleEndian
    ds.is_little_endian, ds.is_implicit_VR = True, False
    ds.SOPClassUID, ds.SOPInstanceUID = ds.file_meta.MediaStorageSOPClassUID, uid
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
    ds.save_as(f'{root}/IMG/{name}', write_like_original=False)

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

LONG = {'OB', 'OW', 'SQ', 'UT', 'UN'}
def elem(g, e, vr, v):
    if isinstance(v, str):
        v = v.encode('latin1')
    if len(v) % 2:
        v += b'\0' if vr == 'UI' else b' '
    h = struct.pack('<HH2s', g, e, vr.encode())
    h += struct.pack('<HI', 0, len(v)) if vr in LONG else struct.pack('<H', len(v))
    return h + v
def us(v): return struct.pack('<H', v)

# Depth-first stream, each record's next and lower offsets computed.
def rec(kind, fields, kids=()):
    return dict(kind=kind, fields=fields, kids=list(kids))
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

order = []
def walk(r):
    order.append(r)
    for a, b in zip(r['kids'], r['kids'][1:]): a['next'] = b
    for c in r['kids']: walk(c)
for p in patients: walk(p)
pos = {}
def body(r):
    nxt, kids = r.get('next'), r['kids']
    b = elem(0x0004, 0x1400, 'UL', struct.pack('<I', pos.get(id(nxt), 0) if nxt else 0))
    b += elem(0x0004, 0x1410, 'US', us(0xFFFF))
    b += elem(0x0004, 0x1420, 'UL', struct.pack('<I', pos.get(id(kids[0]), 0) if kids else 0))
    b += elem(0x0004, 0x1430, 'CS', r['kind'])
    for f in sorted(r['fields'], key=lambda f: (f[0], f[1])):
        b += elem(*f)
    return b
meta = elem(0x0002, 0x0001, 'OB', b'\0\1') + elem(0x0002, 0x0002, 'UI', '1.2.840.10008.1.3.10') + \
    elem(0x0002, 0x0003, 'UI', '1.2.57.7') + elem(0x0002, 0x0010, 'UI', '1.2.840.10008.1.2.1')
head = b'\0' * 128 + b'DICM' + elem(0x0002, 0x0000, 'UL', struct.pack('<I', len(meta))) + meta
head += elem(0x0004, 0x1130, 'CS', '')
for _ in range(2):
    top = elem(0x0004, 0x1200, 'UL', struct.pack('<I', pos.get(id(patients[0]), 0))) + \
        elem(0x0004, 0x1202, 'UL', struct.pack('<I', 0)) + elem(0x0004, 0x1212, 'US', us(0))
    at, data = len(head) + len(top) + 12, b''
    for r in order:
        pos[id(r)] = at + len(data)
        b = body(r)
        data += struct.pack('<HHI', 0xFFFE, 0xE000, len(b)) + b
open(root + '/DICOMDIR', 'wb').write(head + top + struct.pack('<HH2sHI', 0x0004, 0x1220, b'SQ', 0, len(data)) + data)
PY
dcmdump +E hostile/DICOMDIR | grep -c "Directory Record" 
