#!/usr/bin/python3
"""Adds an OVERLAY.XML whose tag line carries a list of digits and backslashes thousands of bytes
long as its text. Named by its SHA-1.
    app/base/cornertext/fuzz/make_long_list_seeds.py"""
import hashlib
import os

here = os.path.dirname(os.path.abspath(__file__))
values = '\\'.join(str(k % 10) for k in range(1600))
seed = ('<?xml version="1.0" encoding="UTF-8"?>\n<OverlaySetting>\n  <MODALITY NAME="NM">\n'
        '    <LOCATION VALUE="UPPERLEFT"><LINE><TAG NO="0054,0020"/><TEXT VALUE="' + values + '"/></LINE>'
        '</LOCATION>\n  </MODALITY>\n</OverlaySetting>\n').encode()
assert len(seed) <= 4096, len(seed)
name = hashlib.sha1(seed).hexdigest()
with open(os.path.join(here, 'corpus', name), 'wb') as f:
    f.write(seed)
print(name, len(seed))
