"""Writes OUT/LONGLISTS, a nuclear-medicine image of three 16 x 16 frames (frame k all 40 x k)
whose Detector Vector (0054,0020) holds 32,767 numbers as text (IS), each 2, naming the second
of two Detector Information items (the first at 1\\2\\3, the second at 10\\20\\30), and whose
VOI LUT Descriptor (0028,3002) holds 32,767 numbers as text, a descriptor the viewer refuses;
Window Center 40, Window Width 400.
    write_long_lists.py OUT
"""
import os
import sys

import numpy as np
from pydicom.dataset import Dataset

import kvfixtures as kv

NM = '1.2.840.10008.5.1.4.1.1.20'
out = sys.argv[1]
ds = Dataset()
ds.PatientName, ds.PatientID, ds.Modality = 'Lists^Long', 'LL1', 'NM'
kv.set_pixels(ds, np.stack([np.full((16, 16), 40 * k, np.uint16) for k in range(3)]))
ds.WindowCenter, ds.WindowWidth = '40', '400'
detectors = []
for position in (['1', '2', '3'], ['10', '20', '30']):
    item = Dataset()
    item.ImagePositionPatient = position
    item.ImageOrientationPatient = ['1', '0', '0', '0', '1', '0']
    detectors.append(item)
ds.DetectorInformationSequence = detectors
ds.add_new(0x00540020, 'IS', ['2'] * 32767)
lut = Dataset()
lut.add_new(0x00283002, 'IS', ['1'] * 32767)
lut.add_new(0x00283006, 'OW', np.arange(16, dtype='<u2').tobytes())
ds.VOILUTSequence = [lut]
kv.save(ds, os.path.join(out, 'LONGLISTS'), NM, '1.2.3.88.1')
