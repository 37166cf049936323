#!/usr/bin/python3
"""Adds to the dataset corpus files that fit the fuzzer's input limit with a fragment a frame
(an empty offset table and one with an entry a fragment) and many values at one level. Each
file is named by its SHA-1.
    pyr/fuzz/make_fragment_seeds.py"""
import hashlib
import os
import struct

here = os.path.dirname(os.path.abspath(__file__))


def item(value):
    return struct.pack('<HHI', 0xFFFE, 0xE000, len(value)) + value


def part10(syntax, body):
    uid = syntax.encode() + (b'\0' if len(syntax) % 2 else b'')
    meta = struct.pack('<HH2sH', 0x0002, 0x0010, b'UI', len(uid)) + uid
    return b'\0' * 128 + b'DICM' + struct.pack('<HH2sHI', 0x0002, 0x0000, b'UL', 4, len(meta)) + meta + body


def pixel(table, fragments):
    body = item(b''.join(struct.pack('<I', t) for t in table)) + b''.join(item(f) for f in fragments)
    return struct.pack('<HH2sHI', 0x7FE0, 0x0010, b'OB', 0, 0xFFFFFFFF) + body + struct.pack('<HHI', 0xFFFE, 0xE0DD, 0)


values = b''.join(struct.pack('<HH2sH', 0x0009, 0x1000 + k, b'LO', 2) + b'AB' for k in range(600))
seeds = [
    part10('1.2.840.10008.1.2.5', pixel([], [b''] * 990)),
    part10('1.2.840.10008.1.2.5', pixel([k * 10 for k in range(400)], [b'\0\0'] * 400)),
    part10('1.2.840.10008.1.2.1', values + pixel([], [b'\0\0'] * 100)),
]
for seed in seeds:
    assert len(seed) <= 8192, len(seed)
    name = hashlib.sha1(seed).hexdigest()
    with open(os.path.join(here, 'corpus', name), 'wb') as f:
        f.write(seed)
    print(name, len(seed))
