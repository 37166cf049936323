#!/usr/bin/python3
"""Adds to each of the four corpora here an input that fits the fuzzers' input limit and holds a
list of thousands of IS values, or digits and backslashes where the harness reads bytes:
an NM image whose detector vector and LUT descriptors hold thousands of values, a DICOMDIR
whose image record holds them, an RLE frame and a JPEG comment made of them. Each file is
named by its SHA-1.
    vek/fuzz/make_long_list_seeds.py"""
import hashlib
import os
import struct

from make_frame_seeds import el, item

here = os.path.dirname(os.path.abspath(__file__))
LIMIT = 16384


def us(*values):
    return struct.pack('<%dH' % len(values), *values)


def listed(count):
    return '\\'.join(str(k % 10) for k in range(count))


def part10(body, sop_class='1.2.840.10008.5.1.4.1.1.20'):
    meta = el(0x0002, 0x0002, 'UI', sop_class) + el(0x0002, 0x0010, 'UI', '1.2.840.10008.1.2.1')
    return b'\0' * 128 + b'DICM' + el(0x0002, 0x0000, 'UL', struct.pack('<I', len(meta))) + meta + body


def write(folder, seed):
    assert len(seed) <= LIMIT, len(seed)
    name = hashlib.sha1(seed).hexdigest()
    with open(os.path.join(here, folder, name), 'wb') as f:
        f.write(seed)
    print(folder, name, len(seed))


# Two 1 x 1 frames of a nuclear-medicine image.
lut = el(0x0028, 0x3002, 'IS', listed(1000)) + el(0x0028, 0x3006, 'US', us(*range(16)))
image = (el(0x0008, 0x0016, 'UI', '1.2.840.10008.5.1.4.1.1.20') + el(0x0008, 0x0060, 'CS', 'NM') +
         el(0x0020, 0x0013, 'IS', '1' * 900) + el(0x0028, 0x0002, 'US', us(1)) +
         el(0x0028, 0x0004, 'CS', 'MONOCHROME2') + el(0x0028, 0x0008, 'IS', '2') + el(0x0028, 0x0010, 'US', us(1)) +
         el(0x0028, 0x0011, 'US', us(1)) + el(0x0028, 0x0100, 'US', us(8)) + el(0x0028, 0x0101, 'US', us(8)) +
         el(0x0028, 0x0102, 'US', us(7)) + el(0x0028, 0x0103, 'US', us(0)) +
         el(0x0028, 0x3002, 'IS', listed(600)) + el(0x0028, 0x3010, 'SQ', item(lut)) +
         el(0x0054, 0x0020, 'IS', listed(3000)) + el(0x0054, 0x0021, 'US', us(2)) +
         el(0x0054, 0x0022, 'SQ', item(el(0x0020, 0x0032, 'DS', '1\\2\\3'))) + el(0x7FE0, 0x0010, 'OB', b'\x10\x20'))
write('corpus', part10(image))


# A DICOMDIR of one patient, study, series and image, each record linked to the next level.
def records(offsets):
    kinds = [('PATIENT', el(0x0010, 0x0010, 'PN', 'A^B') + el(0x0010, 0x0020, 'LO', 'P1')),
             ('STUDY', el(0x0020, 0x000D, 'UI', '1.2.3')),
             ('SERIES', el(0x0008, 0x0060, 'CS', 'NM') + el(0x0020, 0x000E, 'UI', '1.2.3.4') +
              el(0x0020, 0x0011, 'IS', '1')),
             ('IMAGE', el(0x0004, 0x1500, 'CS', 'IMG\\I1') + el(0x0004, 0x1510, 'UI', '1.2.840.10008.5.1.4.1.1.20') +
              el(0x0004, 0x1511, 'UI', '1.2.3.4.5') + el(0x0020, 0x0013, 'IS', listed(2000)) +
              el(0x0028, 0x0008, 'IS', '9' * 3000) + el(0x0054, 0x0020, 'IS', listed(2000)))]
    out = b''
    for k, (kind, fields) in enumerate(kinds):
        lower = offsets[k + 1] if k + 1 < len(kinds) else 0
        body = (el(0x0004, 0x1400, 'UL', struct.pack('<I', 0)) + el(0x0004, 0x1410, 'US', us(0xFFFF)) +
                el(0x0004, 0x1420, 'UL', struct.pack('<I', lower)) + el(0x0004, 0x1430, 'CS', kind) + fields)
        out += item(body)
    return out


def dicomdir():
    offsets = [0] * 4
    for _ in range(2):
        meta = (el(0x0002, 0x0002, 'UI', '1.2.840.10008.1.3.10') + el(0x0002, 0x0003, 'UI', '1.2.3.9') +
                el(0x0002, 0x0010, 'UI', '1.2.840.10008.1.2.1'))
        head = b'\0' * 128 + b'DICM' + el(0x0002, 0x0000, 'UL', struct.pack('<I', len(meta))) + meta
        head += (el(0x0004, 0x1130, 'CS', '') + el(0x0004, 0x1200, 'UL', struct.pack('<I', offsets[0])) +
                 el(0x0004, 0x1202, 'UL', struct.pack('<I', 0)) + el(0x0004, 0x1212, 'US', us(0)))
        sequence = records(offsets)
        at = len(head) + 12
        starts, k = [], 0
        while k < len(sequence):
            starts.append(at + k)
            k += 8 + struct.unpack_from('<I', sequence, k + 4)[0]
        offsets = starts
    return head + struct.pack('<HH2sHI', 0x0004, 0x1220, b'SQ', 0, len(sequence)) + sequence


write('corpus_dicomdir', dicomdir())

# A 64 x 64 frame of one segment: literal runs of digits and backslashes.
text = listed(2100).encode()[:4096]
segment = b''.join(bytes([len(text[k:k + 128]) - 1]) + text[k:k + 128] for k in range(0, len(text), 128))
write('corpus_rle', bytes([63, 63, 0]) + struct.pack('<16I', 1, 64, *([0] * 14)) + segment)

# A JPEG whose comment is such a list, read through the JPEG reader.
with open(os.path.join(here, '..', '..', 'jpeg', 'codec', 'tests', 'data', 'cjpeg_grey.jpg'), 'rb') as f:
    jpeg = f.read()
comment = listed(6000).encode()
write('corpus_jpeg', b'\x10' + jpeg[:2] + b'\xff\xfe' + struct.pack('>H', len(comment) + 2) + comment + jpeg[2:])
