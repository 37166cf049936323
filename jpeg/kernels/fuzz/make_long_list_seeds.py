#!/usr/bin/python3
"""Adds a seed whose entropy-coded data is a list of digits and backslashes, thousands of bytes
long, under tables of one code of each length from 2 to 9 bits. Named by its SHA-1.
    jpeg/kernels/fuzz/make_long_list_seeds.py"""
import hashlib
import os

here = os.path.dirname(os.path.abspath(__file__))
counts = bytes([0, 1, 1, 1, 1, 1, 1, 1, 1] + [0] * 7)
table = counts + bytes(range(8))
data = '\\'.join(str(k % 10) for k in range(1900)).encode()
seed = bytes([0, 63]) + table + table + data
assert len(seed) <= 4096, len(seed)
name = hashlib.sha1(seed).hexdigest()
with open(os.path.join(here, 'corpus', name), 'wb') as f:
    f.write(seed)
print(name, len(seed))
