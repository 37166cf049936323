#!/usr/bin/python3
"""Adds to the DICOM-information corpus files of many frames that fit the fuzzer's input limit:
native 1 x 1 frames at 8 and at 1 bit, RLE with a fragment a frame, with and without an
offset table, and long private values before the image. Each file is named by its SHA-1.
    vek/fuzz/make_frame_seeds.py"""
import hashlib
import os
import struct

here = os.path.dirname(os.path.abspath(__file__))


def el(group, element, vr, value):
    if isinstance(value, str):
        value = value.encode('latin1')
    if len(value) % 2:
        value += b'\0' if vr == 'UI' else b' '
    if vr in ('OB', 'OW', 'SQ', 'UN', 'UT'):
        return struct.pack('<HH2sHI', group, element, vr.encode(), 0, len(value)) + value
    return struct.pack('<HH2sH', group, element, vr.encode(), len(value)) + value


def us(v):
    return struct.pack('<H', v)


def part10(syntax, body):
    meta = el(0x0002, 0x0010, 'UI', syntax)
    return b'\0' * 128 + b'DICM' + el(0x0002, 0x0000, 'UL', struct.pack('<I', len(meta))) + meta + body


def image(frames, bits, pixel, private=b''):
    return (private + el(0x0028, 0x0002, 'US', us(1)) + el(0x0028, 0x0004, 'CS', 'MONOCHROME2') +
            el(0x0028, 0x0008, 'IS', str(frames)) + el(0x0028, 0x0010, 'US', us(1)) +
            el(0x0028, 0x0011, 'US', us(1)) + el(0x0028, 0x0100, 'US', us(bits)) +
            el(0x0028, 0x0101, 'US', us(bits)) + el(0x0028, 0x0102, 'US', us(bits - 1)) +
            el(0x0028, 0x0103, 'US', us(0)) + pixel)


def item(value):
    return struct.pack('<HHI', 0xFFFE, 0xE000, len(value)) + value


def encapsulated(table, fragments):
    body = item(b''.join(struct.pack('<I', t) for t in table))
    body += b''.join(item(f) for f in fragments)
    return struct.pack('<HH2sHI', 0x7FE0, 0x0010, b'OB', 0, 0xFFFFFFFF) + body + struct.pack('<HHI', 0xFFFE, 0xE0DD, 0)


def main():
    rle = struct.pack('<II', 1, 64) + b'\0' * 56 + b'\0\xff'
    seeds = [
        part10('1.2.840.10008.1.2.1', image(10000, 8, el(0x7FE0, 0x0010, 'OB', b'\x80' * 10000))),
        part10('1.2.840.10008.1.2.1', image(100000, 1, el(0x7FE0, 0x0010, 'OB', b'\x55' * 12500))),
        part10('1.2.840.10008.1.2.5', image(1200, 8, encapsulated([], [rle] + [b'\0\0'] * 1198 + [rle]))),
        part10('1.2.840.10008.1.2.5', image(200, 8, encapsulated([k * 74 for k in range(200)], [rle] * 200))),
        # Private values claiming more than the file holds, then the image.
        part10('1.2.840.10008.1.2.1', image(2, 8, el(0x7FE0, 0x0010, 'OB', b'\x01\x02'),
                                            private=el(0x0009, 0x0010, 'LO', 'KESTRO') +
                                            b''.join(struct.pack('<HH2sHI', 0x0009, 0x1001 + k, b'OB', 0, 63 << 20)
                                                     for k in range(30)))),
    ]
    for seed in seeds:
        assert len(seed) <= 16384, len(seed)
        name = hashlib.sha1(seed).hexdigest()
        with open(os.path.join(here, 'corpus', name), 'wb') as f:
            f.write(seed)
        print(name, len(seed))


if __name__ == '__main__':
    main()
