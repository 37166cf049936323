#!/usr/bin/env bash
# Makes the one-bit frame fixtures and the frame whose count runs past its data with pydicom,
# and writes what pydicom and dcmj2pnm read from them into onebit_expected.txt as
# "<file> <frame> <hex of each row packed first pixel in bit 7>". The big-endian pair is the
# same array converted by dcmconv: onebit_be_ow.dcm through implicit VR (OW, each 16-bit word
# byte-swapped), onebit_be_ob.dcm directly (OB, bytes as written); dcm2pnm reads both as the
# array, which is what their lines hold.
#   vek/tests/data/make_onebit_fixtures.sh
set -euo pipefail
cd "$(dirname "$0")"
py=/usr/bin/python3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

"$py" - "$tmp" <<'PY'
import sys, subprocess, numpy as np, pydicom
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.uid import ExplicitVRLittleEndian
from pydicom.pixel_data_handlers.numpy_handler import pack_bits
tmp = sys.argv[1]

def base(name, rows, cols, bits, frames):
    ds = Dataset()
    ds.file_meta = FileMetaDataset()
    ds.file_meta.MediaStorageSOPClassUID = '1.2.840.10008.5.1.4.1.1.7'
    ds.file_meta.MediaStorageSOPInstanceUID = '1.2.826.0.1.3680043.2.1125.57.' + str(sum(map(ord, name)))
    ds.file_meta.TransferSyntaxUID = ExplicitVRLittleEndian
    ds.is_little_endian = True
    ds.is_implicit_VR = False
    ds.SOPClassUID = ds.file_meta.MediaStorageSOPClassUID
    ds.SOPInstanceUID = ds.file_meta.MediaStorageSOPInstanceUID
    ds.PatientName = 'ONE^BIT'
    ds.PatientID = 'OB1'
    ds.StudyInstanceUID = '1.2.826.0.1.3680043.2.1125.57.1'
    ds.SeriesInstanceUID = '1.2.826.0.1.3680043.2.1125.57.2'
    ds.Modality = 'OT'
    ds.SeriesNumber, ds.InstanceNumber = 1, 1
    ds.SamplesPerPixel = 1
    ds.PhotometricInterpretation = 'MONOCHROME2'
    if frames is not None:
        ds.NumberOfFrames = frames
    ds.Rows, ds.Columns = rows, cols
    ds.BitsAllocated = ds.BitsStored = bits
    ds.HighBit = bits - 1
    ds.PixelRepresentation = 0
    return ds

lines = []
rng = np.random.default_rng(54)
# Widths that are no multiple of 8 and frames that start inside a byte.
for name, rows, cols, frames in (('onebit_13x7.dcm', 7, 13, None), ('onebit_512.dcm', 512, 512, None),
                                 ('onebit_3f.dcm', 10, 10, 3)):
    n = frames or 1
    pixels = rng.integers(0, 2, size=(n, rows, cols), dtype=np.uint8)
    if name == 'onebit_512.dcm':
        pixels[:, :, :] = (np.add.outer(np.arange(rows), np.arange(cols)) // 37 % 2).astype(np.uint8)
        pixels[:, 100:140, 200:300] ^= 1
    ds = base(name, rows, cols, 1, frames)
    ds.PixelData = pack_bits(pixels.ravel())
    ds.save_as(f'{tmp}/{name}', write_like_original=False)
    read = pydicom.dcmread(f'{tmp}/{name}').pixel_array.reshape(n, rows, cols)
    assert (read == pixels).all()
    for k in range(n):
        lines.append(f'{name} {k} ' + np.packbits(read[k], axis=1).tobytes().hex())

# Three 5 x 37 frames in big endian: rows cross word ends, frames 1 and 2 start at bits 9
# and 2 of a 16-bit word.
pixels = np.random.default_rng(61).integers(0, 2, size=(3, 5, 37), dtype=np.uint8)
ds = base('onebit_be.dcm', 5, 37, 1, 3)
ds.PixelData = pack_bits(pixels.ravel())
ds.save_as(f'{tmp}/onebit_le.dcm', write_like_original=False)
subprocess.run(['dcmconv', '+ti', f'{tmp}/onebit_le.dcm', f'{tmp}/onebit_li.dcm'], check=True)
subprocess.run(['dcmconv', '+tb', f'{tmp}/onebit_li.dcm', f'{tmp}/onebit_be_ow.dcm'], check=True)
subprocess.run(['dcmconv', '+tb', f'{tmp}/onebit_le.dcm', f'{tmp}/onebit_be_ob.dcm'], check=True)
for name, vr in (('onebit_be_ow.dcm', 'OW'), ('onebit_be_ob.dcm', 'OB')):
    data = open(f'{tmp}/{name}', 'rb').read()
    assert b'\x7f\xe0\x00\x10' + vr.encode() in data, name
    subprocess.run(['dcm2pnm', '--all-frames', '--write-raw-pnm', f'{tmp}/{name}', f'{tmp}/be'], check=True)
    for k in range(3):
        pgm = open(f'{tmp}/be.{k}.pgm', 'rb').read()
        shown = np.frombuffer(pgm[-5 * 37:], dtype=np.uint8).reshape(5, 37)
        assert ((shown != 0) == (pixels[k] != 0)).all(), (name, k)
        lines.append(f'{name} {k} ' + np.packbits(pixels[k], axis=1).tobytes().hex())

# 2^31 - 1 frames claimed, one 64 x 64 frame of data.
ds = base('frames_past_data.dcm', 64, 64, 8, 2**31 - 1)
frame = (np.add.outer(np.arange(64) * 3, np.arange(64) * 2) % 256).astype(np.uint8)
ds.PixelData = frame.tobytes()
ds.save_as(f'{tmp}/frames_past_data.dcm', write_like_original=False)
subprocess.run(['dcmj2pnm', '--write-raw-pnm', f'{tmp}/frames_past_data.dcm', f'{tmp}/f.pgm'], check=True)
pgm = open(f'{tmp}/f.pgm', 'rb').read()
shown = np.frombuffer(pgm[-64 * 64:], dtype=np.uint8)
assert (shown == frame.ravel()).all()
lines.append('frames_past_data.dcm 0 ' + shown.tobytes().hex())
open(f'{tmp}/onebit_expected.txt', 'w').write('\n'.join(lines) + '\n')
PY

cp "$tmp"/onebit_13x7.dcm "$tmp"/onebit_512.dcm "$tmp"/onebit_3f.dcm "$tmp"/frames_past_data.dcm \
   "$tmp"/onebit_be_ow.dcm "$tmp"/onebit_be_ob.dcm "$tmp"/onebit_expected.txt .
