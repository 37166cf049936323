"""Run by the long-report tests and the bench at test time: writes a Basic Text SR whose root
container holds `count` TEXT items "Finding NNNNNNN: " followed by `pad` letters, and, with
a third argument, one more TEXT item of that many MiB.
    write_large_report.py <path> <count> <pad> [big MiB]
pydicom writes the document with one item; the item's bytes are then repeated with their
numbers, so that millions of items take seconds, not the hours a Dataset per item would.
"""
import os
import sys

from pydicom.dataset import Dataset
from pydicom.sequence import Sequence

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '../../../../testsupport/python'))
import kvfixtures as kv  # noqa: E402

path, count, pad = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
big = int(sys.argv[4]) << 20 if len(sys.argv) > 4 else 0
sr = '1.2.840.10008.5.1.4.1.1.88.11'
uid = '1.2.826.0.1.3680043.8.498.61.9'
marker = 'Finding 0000000: '


def text_item(value):
    item = Dataset()
    item.RelationshipType, item.ValueType, item.TextValue = 'CONTAINS', 'TEXT', value
    return item


ds = Dataset()
ds.PatientName, ds.PatientID, ds.StudyDate, ds.StudyTime = 'Long^Report', 'LR1', '20260102', '101500'
ds.StudyInstanceUID, ds.SeriesInstanceUID, ds.Modality = uid + '.1', uid + '.2', 'SR'
ds.ValueType, ds.ContinuityOfContent = 'CONTAINER', 'SEPARATE'
ds.ContentSequence = Sequence([text_item(marker + 'y' * pad)])
kv.save(ds, path, sr, uid + '.3')

data = open(path, 'rb').read()
at = data.index(marker.encode())
start = data.rindex(b'\xfe\xff\x00\xe0', 0, at)
end = start + 8 + int.from_bytes(data[start + 4:start + 8], 'little')
if data[start + 4:start + 8] == b'\xff\xff\xff\xff':
    end = data.index(b'\xfe\xff\x0d\xe0', at) + 8
# The content sequence becomes one of undefined length, ended by its delimiter.
sequence = data.rindex(b'\x40\x00\x30\xa7SQ\x00\x00', 0, start)
defined = data[sequence + 8:sequence + 12] != b'\xff\xff\xff\xff'
seq_end = sequence + 12 + int.from_bytes(data[sequence + 8:sequence + 12], 'little') if defined else \
    data.index(b'\xfe\xff\xdd\xe0', end) + 8
item = data[start:end]
vstart = item.index(marker.encode())
digits = vstart + len('Finding ')
with open(path, 'wb') as out:
    out.write(data[:sequence + 8] + b'\xff\xff\xff\xff')
    for i in range(count):
        out.write(item[:digits] + b'%07d' % i + item[digits + 7:])
    if big:
        # The same item around a value of big bytes: the Text Value's length (UT: 4 bytes)
        # and the item's own length grow with it.
        grown = bytearray(item)
        grown[vstart:vstart + len(marker) + pad] = b'z' * big
        grown[vstart - 4:vstart] = big.to_bytes(4, 'little')
        if item[4:8] != b'\xff\xff\xff\xff':
            grown[4:8] = (len(grown) - 8).to_bytes(4, 'little')
        out.write(bytes(grown))
    out.write(b'\xfe\xff\xdd\xe0\x00\x00\x00\x00')
    out.write(data[seq_end:])
