"""Writes OUT/IMG/PALETTE, an 8-bit PALETTE COLOR image of 64 x 64 whose palette the reader
refuses once the tags are read whole, and OUT/DICOMDIR over it.
    write_refused_palette.py OUT [FORM]
FORM: disagree (default), the red descriptor claims 256 entries and green and blue 128;
short, each descriptor claims 65,536 entries and each table holds 5 words; long, each claims
256 entries and each table holds 65,536 words.
"""
import os
import sys

import numpy as np
from pydicom.dataset import Dataset

import kvfixtures as kv

out = sys.argv[1]
form = sys.argv[2] if len(sys.argv) > 2 else 'disagree'
entries, words = {'disagree': ((256, 128, 128), (256, 128, 128)),
                  'short': ((0, 0, 0), (5, 5, 5)),
                  'long': ((256, 256, 256), (65536, 65536, 65536))}[form]
uid = '1.2.826.0.1.3680043.2.1125.76.'
ds = Dataset()
ds.PatientName, ds.PatientID, ds.Modality = 'Palette^Refused', 'PR1', 'OT'
ds.StudyInstanceUID, ds.SeriesInstanceUID = uid + '1', uid + '2'
kv.set_pixels(ds, (np.arange(64 * 64) % 128).astype(np.uint8).reshape(64, 64), photometric='PALETTE COLOR')
for c in range(3):
    ds.add_new(0x00281101 + c, 'US', [entries[c], 0, 16])
    ds.add_new(0x00281201 + c, 'OW', np.arange(words[c], dtype='<u2').tobytes())
kv.save(ds, os.path.join(out, 'IMG', 'PALETTE'), '1.2.840.10008.5.1.4.1.1.7', uid + '3')
kv.write_dicomdir(os.path.join(out, 'DICOMDIR'), [
    kv.tree(kv.record('PATIENT', [(0x0010, 0x0010, 'PN', 'Palette^Refused'), (0x0010, 0x0020, 'LO', 'PR1')]),
            kv.tree(kv.record('STUDY', [(0x0020, 0x000D, 'UI', uid + '1'), (0x0008, 0x0020, 'DA', '20260101')]),
                    kv.series_record(uid + '2', 1, kv.image_record('IMG\\PALETTE', 1, uid))))
], uid + '9')
