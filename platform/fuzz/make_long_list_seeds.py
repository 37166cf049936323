#!/usr/bin/python3
"""Adds a settings file whose one value is a list of digits and backslashes thousands of bytes
long, under full-width hashes. Named by its SHA-1.
    platform/fuzz/make_long_list_seeds.py"""
import hashlib
import os

here = os.path.dirname(os.path.abspath(__file__))
values = '\\'.join(str(k % 10) for k in range(1900))
seed = b'\x07' + ('[Settings]\r\nDetectors=' + values + '\r\nFrames=12\r\n').encode()
assert len(seed) <= 4096, len(seed)
name = hashlib.sha1(seed).hexdigest()
with open(os.path.join(here, 'corpus', name), 'wb') as f:
    f.write(seed)
print(name, len(seed))
