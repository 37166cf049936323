#!/usr/bin/python3
"""Adds a JIS text that is a list of digits and backslashes as long as the fuzzer's input limit
allows, with one shift into JIS X 0208 and back at its middle. Named by its SHA-1.
    app/base/messages/fuzz/make_long_list_seeds.py"""
import hashlib
import os

here = os.path.dirname(os.path.abspath(__file__))
values = '\\'.join(str(k % 10) for k in range(250)).encode()
seed = values + b'\x1b$B\x30\x21\x1b(B' + values
assert len(seed) <= 1024, len(seed)
name = hashlib.sha1(seed).hexdigest()
with open(os.path.join(here, 'corpus', name), 'wb') as f:
    f.write(seed)
print(name, len(seed))
