#!/usr/bin/python3
"""Adds to the dataset corpus a file that fits the fuzzer's input limit with values far longer
than their VRs allow: a detector vector and a LUT descriptor of thousands of IS values, a
number of a thousand digits, and code strings that run on past their length. Named by its
SHA-1.
    pyr/fuzz/make_long_list_seeds.py"""
import hashlib
import os
import struct

here = os.path.dirname(os.path.abspath(__file__))


def el(group, element, vr, value):
    if isinstance(value, str):
        value = value.encode('latin1')
    if len(value) % 2:
        value += b'\0' if vr == 'UI' else b' '
    return struct.pack('<HH2sH', group, element, vr.encode(), len(value)) + value


def listed(count, width=1):
    return '\\'.join(str(k % 10 ** width) for k in range(count))


meta = el(0x0002, 0x0010, 'UI', '1.2.840.10008.1.2.1')
body = (el(0x0008, 0x0005, 'CS', 'ISO_IR 192\\' + 'X' * 300) + el(0x0010, 0x0010, 'PN', 'A^B') +
        el(0x0028, 0x0004, 'CS', 'MONOCHROME2' + 'X' * 200) + el(0x0028, 0x0008, 'IS', '7' * 1000) +
        el(0x0028, 0x3002, 'IS', listed(600)) + el(0x0054, 0x0020, 'IS', listed(1500)))
seed = b'\0' * 128 + b'DICM' + el(0x0002, 0x0000, 'UL', struct.pack('<I', len(meta))) + meta + body
assert len(seed) <= 8192, len(seed)
name = hashlib.sha1(seed).hexdigest()
with open(os.path.join(here, 'corpus', name), 'wb') as f:
    f.write(seed)
print(name, len(seed))
