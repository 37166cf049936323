#!/usr/bin/python3
"""Adds to the dataset corpora of pyr and vek a file that fits the fuzzers' input limit whose
numbers are written as some writers write them: leading zeros past the VR's length, digits
past a double's precision, an exponent last, values that are not finite and integers past 32
bits, in an 8 x 8 image; and one whose integers are written as decimals ("3.0", "3e0", a
fraction), in three frames. Each named by its SHA-1.
    pyr/fuzz/make_number_seeds.py"""
import hashlib
import os
import struct
import sys

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, '..', '..', 'vek', 'fuzz'))
from make_frame_seeds import el, part10  # noqa: E402


body = (el(0x0018, 0x0050, 'DS', '0.5' + '0' * 62 + 'e1') + el(0x0018, 0x0088, 'DS', '1.' + '3' * 400) +
        el(0x0020, 0x0013, 'IS', '0' * 60 + '3\\99999999999') + el(0x0020, 0x1041, 'DS', '-0.' + '0' * 300 + '1e301') +
        el(0x0028, 0x0002, 'US', struct.pack('<H', 1)) + el(0x0028, 0x0004, 'CS', 'MONOCHROME2') +
        el(0x0028, 0x0008, 'IS', '0' * 60 + '1') + el(0x0028, 0x0010, 'US', struct.pack('<H', 8)) +
        el(0x0028, 0x0011, 'US', struct.pack('<H', 8)) + el(0x0028, 0x0100, 'US', struct.pack('<H', 8)) +
        el(0x0028, 0x0101, 'US', struct.pack('<H', 8)) + el(0x0028, 0x0102, 'US', struct.pack('<H', 7)) +
        el(0x0028, 0x0103, 'US', struct.pack('<H', 0)) + el(0x0028, 0x1050, 'DS', 'nan\\ 40\\1e400') +
        el(0x0028, 0x1051, 'DS', 'inf\\400') + el(0x0028, 0x1052, 'DS', ' -00000000000000000000001024.000e0') +
        el(0x0028, 0x1053, 'DS', '1e400') + el(0x7FE0, 0x0010, 'OB', bytes(range(64))))
decimals = (el(0x0020, 0x0013, 'IS', '1.0\\2.5\\3e0') + el(0x0028, 0x0002, 'US', struct.pack('<H', 1)) +
            el(0x0028, 0x0004, 'CS', 'MONOCHROME2') + el(0x0028, 0x0008, 'IS', '+30e-1') +
            el(0x0028, 0x0010, 'US', struct.pack('<H', 8)) + el(0x0028, 0x0011, 'US', struct.pack('<H', 8)) +
            el(0x0028, 0x0100, 'US', struct.pack('<H', 8)) + el(0x0028, 0x0101, 'US', struct.pack('<H', 8)) +
            el(0x0028, 0x0102, 'US', struct.pack('<H', 7)) + el(0x0028, 0x0103, 'US', struct.pack('<H', 0)) +
            el(0x0028, 0x3002, 'IS', '4.0\\0\\8e0') + el(0x0028, 0x3006, 'US', struct.pack('<4H', 0, 9, 99, 255)) +
            el(0x0054, 0x0020, 'IS', '1.\\2.0\\3.000') + el(0x7FE0, 0x0010, 'OB', bytes(range(192))))
for part in (body, decimals):
    seed = part10('1.2.840.10008.1.2.1', part)
    assert len(seed) <= 8192, len(seed)
    name = hashlib.sha1(seed).hexdigest()
    for corpus in (os.path.join(here, 'corpus'), os.path.join(here, '..', '..', 'vek', 'fuzz', 'corpus')):
        with open(os.path.join(corpus, name), 'wb') as f:
            f.write(seed)
    print(name, len(seed))
