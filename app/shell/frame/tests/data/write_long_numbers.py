"""Writes images whose numbers are longer than their VR allows, not finite, or no number at all,
as some writers make them, a DICOMDIR over them and a zip of that disc, and what pydicom reads
of each:
    write_long_numbers.py OUT
OUT/disc/IMG/<name>, OUT/disc/DICOMDIR (one series per line below, the records' Instance
Numbers and Numbers of Frames written as the files'), OUT/disc.zip, and OUT/pydicom.txt with
one line per file: name, Number of Frames, Instance Number, Slice Thickness, Rows, Rescale
Slope, the first Window Center / Width pair whose values both read as numbers (the width above
0), Image Position (Patient), Pixel Spacing, Image Orientation (Patient), and the frames the
file serves (its count, at most the frames its pixel data holds), as pydicom reads them: - when
absent or not a number (a list with one value that is not a number is not one), an Instance
Number outside IS's range (-2^31 to 2^31 - 1) included.
  F2              two frames (the second dark), Number of Frames "0" x 60 + "2"
  I1 I2 I3        instances 3, 1, 2 in file order, each written with 60 leading zeros
  THK EXP         CT, Slice Thickness "0" x 70 + "5" and "0.5" + "0" x 62 + "e1"
  ROWS            Rows as IS, "0" x 50 + "64"
  SINF SNAN SBIG  Rescale Slope "inf", "nan" and "1e400", beside an intercept of 0
  WNONE           no Window Center or Width; the window pairs below beside Width "1000\\400":
  WGAP            Center "\\40" (an empty first value)
  WEMPTY WBLANK   Center empty, and blanks
  WEXP WHEX       Center "E+05", and "0x10"
  GOK             CT, position "-5\\50\\25", spacing "0.5\\0.25", orientation "1\\0\\0\\0\\1\\0"
  GBAD            CT, position "E+05\\50\\25", spacing "\\0.25", orientation "1\\0\\0\\0\\1\\0x10"
  SHEX SABC       Rescale Slope "0x10" and "2.5abc"
  N1 N2 NBIG NNEG NFRAC  one series, Instance Numbers "1", "2", "2147483648", "-7", "7.5"
  RABC            Rows "64abc"
  FBIG FMID       three frames, Number of Frames "4294967299" and "2147483648"
  FDEC FEXP FPLUS three frames, Number of Frames "3.0", "3e0" and "+3."
  D2 D1 D3        one series, Instance Numbers "2", "1.0", "3" in file order
"""
import os
import sys
import zipfile

import numpy as np
import pydicom
from pydicom.dataelem import RawDataElement
from pydicom.dataset import Dataset
from pydicom.tag import Tag

import kvfixtures as kv

# Raw values go out as given: the writer's check of ambiguous VRs (Pixel Data's is set below)
# would read each and stop at one that is not a number.
pydicom.filewriter.correct_ambiguous_vr = lambda ds, is_little_endian: ds

out = sys.argv[1]
ROOT = '1.2.826.0.1.3680043.2.1125.91.'
STUDY = ROOT + '1'
CT = '1.2.840.10008.5.1.4.1.1.2'
OT = '1.2.840.10008.5.1.4.1.1.7'
Z60 = '0' * 60

# Series by name: its modality, then its files with their long values (tag, VR, text).
SERIES = [
    ('OT', [('F2', [(0x00280008, 'IS', Z60 + '2')])]),
    ('OT', [('I1', [(0x00200013, 'IS', Z60 + '3')]), ('I2', [(0x00200013, 'IS', Z60 + '1')]),
            ('I3', [(0x00200013, 'IS', Z60 + '2')])]),
    ('CT', [('THK', [(0x00180050, 'DS', '0' * 70 + '5')])]),
    ('CT', [('EXP', [(0x00180050, 'DS', '0.5' + '0' * 62 + 'e1')])]),
    ('OT', [('ROWS', [(0x00280010, 'IS', '0' * 50 + '64')])]),
    ('OT', [('SINF', [(0x00281053, 'DS', 'inf')])]),
    ('OT', [('SNAN', [(0x00281053, 'DS', 'nan')])]),
    ('OT', [('SBIG', [(0x00281053, 'DS', '1e400')])]),
    ('OT', [('WNONE', [])]),
    ('OT', [('WGAP', [(0x00281050, 'DS', '\\40'), (0x00281051, 'DS', '1000\\400')])]),
    ('OT', [('WEMPTY', [(0x00281050, 'DS', ''), (0x00281051, 'DS', '1000\\400')])]),
    ('OT', [('WBLANK', [(0x00281050, 'DS', '    '), (0x00281051, 'DS', '1000\\400')])]),
    ('OT', [('WEXP', [(0x00281050, 'DS', 'E+05'), (0x00281051, 'DS', '1000\\400')])]),
    ('OT', [('WHEX', [(0x00281050, 'DS', '0x10'), (0x00281051, 'DS', '1000\\400')])]),
    ('CT', [('GOK', [(0x00200032, 'DS', '-5\\50\\25'), (0x00280030, 'DS', '0.5\\0.25'),
                     (0x00200037, 'DS', '1\\0\\0\\0\\1\\0')])]),
    ('CT', [('GBAD', [(0x00200032, 'DS', 'E+05\\50\\25'), (0x00280030, 'DS', '\\0.25'),
                      (0x00200037, 'DS', '1\\0\\0\\0\\1\\0x10')])]),
    ('OT', [('SHEX', [(0x00281053, 'DS', '0x10')])]),
    ('OT', [('SABC', [(0x00281053, 'DS', '2.5abc')])]),
    ('OT', [('N1', [(0x00200013, 'IS', '1')]), ('N2', [(0x00200013, 'IS', '2')]),
            ('NBIG', [(0x00200013, 'IS', '2147483648')]), ('NNEG', [(0x00200013, 'IS', '-7')]),
            ('NFRAC', [(0x00200013, 'IS', '7.5')])]),
    ('OT', [('RABC', [(0x00280010, 'IS', '64abc')])]),
    ('OT', [('FBIG', [(0x00280008, 'IS', '4294967299')])]),
    ('OT', [('FMID', [(0x00280008, 'IS', '2147483648')])]),
    ('OT', [('FDEC', [(0x00280008, 'IS', '3.0')])]),
    ('OT', [('FEXP', [(0x00280008, 'IS', '3e0')])]),
    ('OT', [('FPLUS', [(0x00280008, 'IS', '+3.')])]),
    ('OT', [('D2', [(0x00200013, 'IS', '2')]), ('D1', [(0x00200013, 'IS', '1.0')]),
            ('D3', [(0x00200013, 'IS', '3')])]),
]


def image(name, path, series_uid, modality, uid, values):
    ds = Dataset()
    ds.PatientName, ds.PatientID = 'Long^Numbers', 'LN91'
    ds.StudyInstanceUID, ds.SeriesInstanceUID = STUDY, series_uid
    ds.Modality, ds.InstanceNumber = modality, 1
    tags = [tag for tag, _, _ in values]
    side = 64
    # Rows bright from the middle down; a second frame dark.
    ramp = np.repeat((np.arange(side, dtype=np.uint32) * 4000 // side).astype(np.uint16), side).reshape(side, side)
    pixels = np.stack([ramp, np.zeros_like(ramp)]) if 0x00280008 in tags else ramp
    if name in ('FBIG', 'FMID', 'FDEC', 'FEXP', 'FPLUS'):
        pixels = np.stack([ramp, np.zeros_like(ramp), ramp])
    kv.set_pixels(ds, pixels, bits_stored=12)
    ds['PixelData'].VR = 'OW'
    if 0x00281053 in tags:
        ds.RescaleIntercept = 0
    # Written as the text given, byte for byte, whether or not it is a number.
    for tag, vr, text in values:
        raw = text.encode('latin1')
        raw += b' ' * (len(raw) % 2)
        ds[Tag(tag)] = RawDataElement(Tag(tag), vr, len(raw), raw, 0, False, True)
    kv.save(ds, path, CT if modality == 'CT' else OT, uid)


def record(name, uid, values):
    fields = [(0x0004, 0x1500, 'CS', 'IMG\\' + name), (0x0004, 0x1510, 'UI', OT), (0x0004, 0x1511, 'UI', uid)]
    written = {tag: text for tag, _, text in values}
    fields.append((0x0020, 0x0013, 'IS', written.get(0x00200013, '1')))
    if 0x00280008 in written:
        fields.append((0x0028, 0x0008, 'IS', written[0x00280008]))
    return kv.record('IMAGE', fields)


def number(value):
    """pydicom's value when it read it as a number, else None (it keeps text it cannot read)."""
    return value if isinstance(value, (int, float)) and not isinstance(value, bool) else None


def get(ds, keyword):
    """pydicom's reading of an element; None when it cannot read it at all."""
    try:
        return ds.get(keyword)
    except (TypeError, ValueError):
        return None


def listed(value):
    return [] if value is None else list(value) if isinstance(value, pydicom.multival.MultiValue) else [value]


def numbers(ds, keyword):
    read = [number(v) for v in listed(get(ds, keyword))]
    return '-' if not read or None in read else '\\'.join(repr(float(v)) for v in read)


def window(ds):
    for c, w in zip(listed(get(ds, 'WindowCenter')), listed(get(ds, 'WindowWidth'))):
        if number(c) is not None and number(w) is not None and w > 0:
            return '%r/%r' % (float(c), float(w))
    return '-'


def frames_served(ds):
    held = len(ds.PixelData) // (ds.Rows * ds.Columns * ds.BitsAllocated // 8)
    count = number(get(ds, 'NumberOfFrames'))
    return str(int(min(count, held)) if count is not None and count > 0 else 1)


def pydicom_line(name, path):
    ds = pydicom.dcmread(path)
    shown = [name]
    for keyword in ('NumberOfFrames', 'InstanceNumber', 'SliceThickness', 'Rows', 'RescaleSlope'):
        value = number(get(ds, keyword))
        if keyword == 'InstanceNumber' and value is not None and not -2**31 <= value < 2**31:
            value = None
        shown.append('-' if value is None else repr(float(value)) if keyword in ('SliceThickness', 'RescaleSlope')
                     else str(int(value)))
    shown += [window(ds), numbers(ds, 'ImagePositionPatient'), numbers(ds, 'PixelSpacing'),
              numbers(ds, 'ImageOrientationPatient'), frames_served(ds) if number(get(ds, 'Rows')) else '-']
    return ' '.join(shown)


disc = os.path.join(out, 'disc')
series_records, lines, members = [], [], []
for s, (modality, files) in enumerate(SERIES):
    series_uid = ROOT + '2.' + str(s + 1)
    images = []
    for n, (name, values) in enumerate(files):
        uid = series_uid + '.' + str(n + 1)
        path = os.path.join(disc, 'IMG', name)
        image(name, path, series_uid, modality, uid, values)
        images.append(record(name, uid, values))
        lines.append(pydicom_line(name, path))
        members.append(('IMG/' + name, path))
    series_records.append(kv.series_record(series_uid, s + 1, *images, modality=modality))
study = kv.record('STUDY', [(0x0020, 0x000D, 'UI', STUDY), (0x0008, 0x0020, 'DA', '20260101')], series_records)
patient = kv.record('PATIENT', [(0x0010, 0x0010, 'PN', 'Long^Numbers'), (0x0010, 0x0020, 'LO', 'LN91')], [study])
kv.write_dicomdir(os.path.join(disc, 'DICOMDIR'), [patient], ROOT + '9')
with zipfile.ZipFile(os.path.join(out, 'disc.zip'), 'w') as z:
    z.write(os.path.join(disc, 'DICOMDIR'), 'DICOMDIR')
    for member, path in members:
        z.write(path, member)
with open(os.path.join(out, 'pydicom.txt'), 'w') as f:
    f.write('\n'.join(lines) + '\n')
