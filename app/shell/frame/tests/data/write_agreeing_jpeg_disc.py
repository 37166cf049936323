"""Writes a disc of one series: JPGOK, a 64 x 64 bright square in baseline JPEG by dcmcjpeg,
beside three files whose dataset and frame header agree on a size their kilobyte of
entropy-coded data cannot code: BASE (baseline, 65535 x 65535), LOSSLESS (dcmcjpeg's lossless
SV1, 65535 x 65535) and PROG (dcmcjpeg's progressive stream under the baseline transfer syntax,
16384 x 16384).
  write_agreeing_jpeg_disc.py OUT     (the disc is OUT/disc)
"""
import os
import subprocess
import sys
import tempfile

import numpy as np
import pydicom

from kvfixtures import image_record, mono_image, record, series_record, write_dicomdir

out = sys.argv[1]
disc = os.path.join(out, 'disc')
os.makedirs(os.path.join(disc, 'IMG'))
square = np.zeros((64, 64), dtype=np.uint8)
square[16:48, 16:48] = 255


def bomb(ds, size):
    """Rows, Columns and the frame header's lines and samples set to size."""
    fragment = bytearray(next(pydicom.encaps.generate_pixel_data_frame(ds.PixelData)))
    sof = min(fragment.index(m) for m in (b'\xff\xc0', b'\xff\xc1', b'\xff\xc2', b'\xff\xc3') if m in fragment)
    fragment[sof + 5:sof + 9] = bytes([size >> 8, size & 255] * 2)
    ds.Rows = ds.Columns = size
    ds.PixelData = pydicom.encaps.encapsulate([bytes(fragment)])


with tempfile.TemporaryDirectory(dir=out) as work:
    source = os.path.join(work, 'src.dcm')
    mono_image(source, 64, 64, 8, None, square.tobytes(), ('Agreeing^Frames', 'H67'), '1.2.67.1', '1.2.67.2',
               '1.2.67.3')
    for name, option, size in (('JPGOK', '+eb', None), ('BASE', '+eb', 65535), ('LOSSLESS', '+e1', 65535),
                               ('PROG', '+ep', 16384)):
        path = os.path.join(disc, 'IMG', name)
        subprocess.run(['dcmcjpeg', option, '+un', source, path], check=True)
        ds = pydicom.dcmread(path)
        ds.SOPInstanceUID = ds.file_meta.MediaStorageSOPInstanceUID = '1.2.67.9.' + name
        # Read as baseline, as the reader takes progressive frames only there.
        ds.file_meta.TransferSyntaxUID = '1.2.840.10008.1.2.4.50' if option == '+ep' else ds.file_meta.TransferSyntaxUID
        if size is not None:
            bomb(ds, size)
        ds.save_as(path, write_like_original=False)

images = [image_record('IMG\\' + name, k + 1, '1.2.67.9.') for k, name in enumerate(('JPGOK', 'BASE', 'LOSSLESS', 'PROG'))]
for k, name in enumerate(('JPGOK', 'BASE', 'LOSSLESS', 'PROG')):
    images[k]['fields'][2] = (0x0004, 0x1511, 'UI', '1.2.67.9.' + name)
study = record('STUDY', [(0x0008, 0x0020, 'DA', '20260101'), (0x0020, 0x000D, 'UI', '1.2.67.1')],
               [series_record('1.2.67.2', 1, *images)])
patients = [record('PATIENT', [(0x0010, 0x0010, 'PN', 'Agreeing^Frames'), (0x0010, 0x0020, 'LO', 'H67')], [study])]
write_dicomdir(os.path.join(disc, 'DICOMDIR'), patients, '1.2.67.7')
