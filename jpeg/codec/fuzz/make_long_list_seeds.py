#!/usr/bin/python3
"""Adds to the header corpus a greyscale JPEG whose comment is a list of digits and backslashes
as long as the fuzzer's input limit allows, the stream otherwise whole. Named by its SHA-1.
    jpeg/codec/fuzz/make_long_list_seeds.py"""
import hashlib
import os
import struct

here = os.path.dirname(os.path.abspath(__file__))
with open(os.path.join(here, '..', 'tests', 'data', 'cjpeg_grey.jpg'), 'rb') as f:
    jpeg = f.read()
comment = '\\'.join(str(k % 10) for k in range(1700)).encode()
seed = jpeg[:2] + b'\xff\xfe' + struct.pack('>H', len(comment) + 2) + comment + jpeg[2:]
assert len(seed) <= 4096, len(seed)
name = hashlib.sha1(seed).hexdigest()
with open(os.path.join(here, 'corpus', name), 'wb') as f:
    f.write(seed)
print(name, len(seed))
