"""Writes a disc of one series whose frames claim more decoded memory than their bytes hold,
beside an intact 64 x 64 image (OK, a bright square):
  PROGDC   progressive JPEG, DC scan only, one Huffman bit a block (the reader takes
           progressive frames under the baseline transfer syntax)
  BASEBIT  baseline JPEG whose tables code every block's DC and AC in one bit each
  ONEBIT   native, 1 bit a sample, 8 KB of data
  BIG16    native, 16 bits a sample, the value a sparse hole (only with --large)
  BIG8     native, 8 bits a sample, the same (only with --large)
  write_budget_frames.py OUT [--large] [--size N] [--bigsize N]
The disc is OUT/disc. --size sets the side of PROGDC, BASEBIT and ONEBIT (default the
largest their shape allows: 32760, 65535, 65535); --bigsize the side of BIG16 (BIG8 gets the
side with as many bytes, at most 65535). Without --large only the first four are written.
"""
import argparse
import math
import os
import struct

import numpy as np
import pydicom
from pydicom.encaps import encapsulate

from kvfixtures import cut_after_pixel_header, image_record, mono_image, record, series_record, write_dicomdir

parser = argparse.ArgumentParser()
parser.add_argument('out')
parser.add_argument('--large', action='store_true')
parser.add_argument('--size', type=int, default=0)
parser.add_argument('--bigsize', type=int, default=32767)
args = parser.parse_args()

disc = os.path.join(args.out, 'disc')
os.makedirs(os.path.join(disc, 'IMG'))
PATIENT = ('Budget^Frames', 'H71')
STUDY, SERIES, ROOT = '1.2.71.1', '1.2.71.2', '1.2.71.9.'


def segment(marker, body):
    return struct.pack('>HH', marker, len(body) + 2) + body


def one_bit_table(table_class, symbol):
    """A Huffman table of one code, '0', for the symbol."""
    return bytes([table_class << 4]) + bytes([1] + [0] * 15) + bytes([symbol])


def jpeg(side, progressive):
    """One component of side x side over one zero bit a block, the least the reader takes: each
    block is DC category 0 (and at once EOB when baseline); what the bits do not cover is padded."""
    sof = 0xFFC2 if progressive else 0xFFC0
    blocks = math.ceil(side / 8) ** 2
    stream = b'\xff\xd8' + segment(0xFFDB, b'\x00' + bytes([1] * 64))
    stream += segment(sof, struct.pack('>BHHB', 8, side, side, 1) + b'\x01\x11\x00')
    tables = one_bit_table(0, 0) if progressive else one_bit_table(0, 0) + one_bit_table(1, 0)
    stream += segment(0xFFC4, tables)
    stream += segment(0xFFDA, b'\x01\x01\x00' + (b'\x00\x00\x00' if progressive else b'\x00\x3f\x00'))
    return stream + bytes(math.ceil(blocks / 8)) + b'\xff\xd9'


def write(name, rows, bits, pixels, syntax=None, declared=None):
    path = os.path.join(disc, 'IMG', name)
    mono_image(path, rows, rows, bits, None, pixels, PATIENT, STUDY, SERIES, ROOT + name)
    if syntax is not None:
        ds = pydicom.dcmread(path)
        ds.file_meta.TransferSyntaxUID = syntax
        ds.PixelData = encapsulate([pixels])
        ds['PixelData'].VR = 'OB'
        ds.save_as(path, write_like_original=False)
    if declared is not None:
        cut_after_pixel_header(path, declared)
        os.truncate(path, os.path.getsize(path) + declared)


square = np.zeros((64, 64), dtype=np.uint8)
square[16:48, 16:48] = 255
names = ['OK', 'PROGDC', 'BASEBIT', 'ONEBIT']
write('OK', 64, 8, square.tobytes())
write('PROGDC', args.size or 32760, 8, jpeg(args.size or 32760, True), '1.2.840.10008.1.2.4.50')
write('BASEBIT', args.size or 65535, 8, jpeg(args.size or 65535, False), '1.2.840.10008.1.2.4.50')
write('ONEBIT', args.size or 65535, 1, bytes(8192))
if args.large:
    side = args.bigsize
    write('BIG16', side, 16, b'', declared=side * side * 2)
    side8 = min(65535, math.isqrt(side * side * 2))
    write('BIG8', side8, 8, b'', declared=side8 * side8 + (side8 * side8) % 2)
    names += ['BIG16', 'BIG8']

images = [image_record('IMG\\' + name, k + 1, ROOT) for k, name in enumerate(names)]
for k, name in enumerate(names):
    images[k]['fields'][2] = (0x0004, 0x1511, 'UI', ROOT + name)
study = record('STUDY', [(0x0008, 0x0020, 'DA', '20260101'), (0x0020, 0x000D, 'UI', STUDY)],
               [series_record(SERIES, 1, *images)])
patients = [record('PATIENT', [(0x0010, 0x0010, 'PN', PATIENT[0]), (0x0010, 0x0020, 'LO', PATIENT[1])], [study])]
write_dicomdir(os.path.join(disc, 'DICOMDIR'), patients, '1.2.71.7')
