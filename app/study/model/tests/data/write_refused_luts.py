"""Writes refused_luts/: 8 x 8 16-bit MR images of the values 100..163 whose lookup table the
viewer cannot apply, its descriptor claiming 65,536 entries of 16 bits where the table holds 10
words (each 3000):
    voi_window.dcm       a VOI LUT, and Window Center 40, Window Width 400
    voi_range.dcm        a VOI LUT, no window values
    modality_window.dcm  a modality LUT with Rescale Slope 2, Rescale Intercept -10, and the window
    modality_range.dcm   the same without window values
    PYTHONPATH=../../../../testsupport/python /usr/bin/python3 write_refused_luts.py
"""
import os

import numpy as np
from pydicom.dataset import Dataset

import kvfixtures as kv

MR = '1.2.840.10008.5.1.4.1.1.4'
out = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'refused_luts')


def lut_item():
    item = Dataset()
    item.add_new(0x00283002, 'US', [0, 0, 16])
    item.add_new(0x00283006, 'OW', np.full(10, 3000, '<u2').tobytes())
    return item


for count, (name, sequence, window) in enumerate([('voi_window.dcm', 'VOILUTSequence', True),
                                                  ('voi_range.dcm', 'VOILUTSequence', False),
                                                  ('modality_window.dcm', 'ModalityLUTSequence', True),
                                                  ('modality_range.dcm', 'ModalityLUTSequence', False)]):
    ds = Dataset()
    ds.PatientName, ds.PatientID, ds.Modality = 'Lut^Refused', 'LR1', 'MR'
    kv.set_pixels(ds, (np.arange(64) + 100).astype(np.uint16).reshape(8, 8))
    setattr(ds, sequence, [lut_item()])
    if sequence == 'ModalityLUTSequence':
        ds.RescaleSlope, ds.RescaleIntercept = '2', '-10'
    if window:
        ds.WindowCenter, ds.WindowWidth = '40', '400'
    kv.save(ds, os.path.join(out, name), MR, '1.2.3.87.%d' % (count + 1))
