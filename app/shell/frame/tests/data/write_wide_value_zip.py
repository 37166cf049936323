"""A zip of one patient with SERIES series of one image each, every file holding a zero-filled
value of MB megabytes (1 in 1000 once deflated), so that the zip is small and its members are
large. Written with Python's zipfile, streamed, so the script itself stays in small memory.
    write_wide_value_zip.py OUT.zip [SERIES [MB [PLACE]]]
PLACE: "before" (default) puts the value in a private element ahead of the pixels, "after"
behind them, "pixels" makes it the pixel data itself (16-bit, zero). The images outside
"pixels" are 64 x 64, 8-bit, series n filled with 10 * n.
"""
import io
import os
import sys
import zipfile

import numpy as np
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.filewriter import dcmwrite
from pydicom.uid import ExplicitVRLittleEndian

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '../../../../testsupport/python'))
import kvfixtures as kv  # noqa: E402

out = sys.argv[1]
count = int(sys.argv[2]) if len(sys.argv) > 2 else 16
megabytes = int(sys.argv[3]) if len(sys.argv) > 3 else 60
place = sys.argv[4] if len(sys.argv) > 4 else 'before'
sc = '1.2.840.10008.5.1.4.1.1.7'
root = '1.2.826.0.1.3680043.8.498.105.'
size = megabytes * 1000 * 1000
chunk = 1 << 20


def head_and_tail(series):
    """The file's bytes before the zero value and after it, and the value's length."""
    ds = Dataset()
    ds.PatientName, ds.PatientID = 'Wide^Values', 'WIDE'
    ds.StudyInstanceUID = root + '1'
    ds.SeriesInstanceUID = root + '2.' + str(series)
    ds.SOPInstanceUID = root + '3.' + str(series)
    ds.Modality, ds.SeriesNumber, ds.InstanceNumber = 'OT', series, 1
    ds.WindowCenter, ds.WindowWidth = 128, 256
    if place == 'pixels':
        side = int((size // 2) ** 0.5)
        kv.set_pixels(ds, np.zeros((1, 1), dtype=np.uint16))
        ds.Rows = ds.Columns = side
        length = side * side * 2
        marker = b'\xe0\x7f\x10\x00OW\x00\x00'
    else:
        kv.set_pixels(ds, np.full((64, 64), 10 * series, dtype=np.uint8))
        length = size
        if place == 'before':
            ds.add_new(0x00090010, 'LO', 'WIDE VALUES')
            ds.add_new(0x00091010, 'OB', b'\0\0')
            marker = b'\x09\x00\x10\x10OB\x00\x00'
        else:
            ds.add_new(0x7FE10010, 'LO', 'WIDE VALUES')
            ds.add_new(0x7FE11010, 'OB', b'\0\0')
            marker = b'\xe1\x7f\x10\x10OB\x00\x00'
    buffer = io.BytesIO()
    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = sc
    meta.MediaStorageSOPInstanceUID = ds.SOPInstanceUID
    meta.TransferSyntaxUID = ExplicitVRLittleEndian
    ds.file_meta = meta
    ds.SOPClassUID = sc
    ds.is_little_endian, ds.is_implicit_VR = True, False
    dcmwrite(buffer, ds, write_like_original=False)
    data = buffer.getvalue()
    # The placeholder value (2 bytes: two zeros, or the one pixel) gives way to the full one.
    at = data.index(marker) + len(marker)
    head = data[:at] + length.to_bytes(4, 'little')
    tail = data[at + 4 + 2:]
    return head, tail, length


def dicomdir():
    series = [kv.series_record(root + '2.' + str(n), n,
                               kv.record('IMAGE', [(0x0004, 0x1500, 'CS', 'IMG\\S%02d' % n),
                                                   (0x0004, 0x1510, 'UI', sc),
                                                   (0x0004, 0x1511, 'UI', root + '3.' + str(n)),
                                                   (0x0020, 0x0013, 'IS', '1')]))
              for n in range(1, count + 1)]
    study = kv.record('STUDY', [(0x0008, 0x0020, 'DA', '20260101'), (0x0008, 0x0030, 'TM', '120000'),
                                (0x0020, 0x000D, 'UI', root + '1')], series)
    patient = kv.record('PATIENT', [(0x0010, 0x0010, 'PN', 'Wide^Values'), (0x0010, 0x0020, 'LO', 'WIDE')], [study])
    path = out + '.DICOMDIR'
    kv.write_dicomdir(path, [patient], root + '9')
    with open(path, 'rb') as f:
        data = f.read()
    os.remove(path)
    return data


zeros = bytes(chunk)
with zipfile.ZipFile(out, 'w', zipfile.ZIP_DEFLATED) as z:
    z.writestr('DICOMDIR', dicomdir())
    for n in range(1, count + 1):
        head, tail, length = head_and_tail(n)
        with z.open('IMG/S%02d' % n, 'w', force_zip64=True) as member:
            member.write(head)
            left = length
            while left > 0:
                member.write(zeros[:min(chunk, left)])
                left -= chunk
            member.write(tail)
