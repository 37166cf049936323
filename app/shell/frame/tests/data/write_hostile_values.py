"""Writes images whose values claim far more than they hold, and discs and zips over them:
    write_hostile_values.py OUT KIND [--large]
KIND, each image under OUT/disc/IMG with OUT/disc/DICOMDIR listing it as one series, and
OUT/series/DICOMDIR (or OUT/series.zip) listing 16 copies of it as 16 series:
  vectors   an NM image (128 x 128 x 16, 246 KB) whose Detector Vector and Modality and VOI LUT
            Descriptors hold 32,767 IS values each; 16 series on a disc
  frames    Number of Frames as one IS number of 60,000,000 digits (implicit VR); 16 series in
            a zip
  private   the same file with Number of Frames 1 and those 60,000,000 bytes in a private
            element no reader asks for; 16 series in a zip
  slope, instance, photometric, charset
            the same file alone, its Rescale Slope (beside an intercept of 0) or Instance
            Number as one number of 60,000,000 digits, or its Photometric Interpretation or
            Specific Character Set a code of 60,000,000 bytes, spaces before MONOCHROME2 or
            ISO_IR 100
  voilut    a VOI LUT whose descriptor claims 65,536 entries over 10 words, window values beside
  palette   a PALETTE COLOR image whose descriptors claim 65,536 entries over 5 words of data
  names     OUT/names.zip: a DICOMDIR, a 64 x 64 image (with --large an 8000 x 8000 x 16 one
            instead) and 40,000 empty members named by 4,000 bytes each
"""
import os
import shutil
import struct
import sys
import zipfile

import numpy as np
from pydicom.dataset import Dataset
from pydicom.dataelem import DataElement
from pydicom.uid import ImplicitVRLittleEndian

import kvfixtures as kv

out, kind = sys.argv[1], sys.argv[2]
large = '--large' in sys.argv[3:]
ROOT = '1.2.826.0.1.3680043.2.1125.77.'
STUDY = ROOT + '1'
SERIES_COUNT = 16
BIG = 60000000
# One value of BIG bytes by kind: its tag, the value written first, the fill and the last bytes.
LONG_VALUES = {
    'slope': (0x00281053, '12345678', b'0', b'1'),
    'instance': (0x00200013, '12345678', b'0', b'1'),
    'photometric': (0x00280004, 'MONOCHROME2', b' ', b'MONOCHROME2'),
    'charset': (0x00080005, 'ISO_IR 100', b' ', b'ISO_IR 100'),
}


def base(modality='OT', side=64):
    ds = Dataset()
    ds.PatientName, ds.PatientID = 'Hostile^Values', 'HV77'
    ds.StudyInstanceUID, ds.SeriesInstanceUID = STUDY, ROOT + '2'
    ds.Modality, ds.InstanceNumber = modality, 1
    # Rows bright from the middle down: a cell that shows it paints.
    ramp = np.repeat((np.arange(side, dtype=np.uint32) * 4000 // side).astype(np.uint16), side).reshape(side, side)
    kv.set_pixels(ds, ramp, bits_stored=12)
    return ds


def dicomdir(folder, files, frames=None):
    """One series per file, each of its one image."""
    series = []
    for n, name in enumerate(files):
        uid = ROOT + '3.' + str(n + 1)
        series.append(kv.series_record(uid, n + 1, kv.image_record('IMG\\' + name, 1, uid + '.', frames=frames)))
    study = kv.record('STUDY', [(0x0020, 0x000D, 'UI', STUDY), (0x0008, 0x0020, 'DA', '20260101')], series)
    patient = kv.record('PATIENT', [(0x0010, 0x0010, 'PN', 'Hostile^Values'), (0x0010, 0x0020, 'LO', 'HV77')],
                        [study])
    path = os.path.join(folder, 'DICOMDIR')
    os.makedirs(folder, exist_ok=True)
    kv.write_dicomdir(path, [patient], ROOT + '9')
    return path


def implicit_with(path, ds, placeholders):
    """ds in implicit VR little endian, each placeholder value (group, element, bytes) then
    replaced by its long value, written a block at a time."""
    meta_class = '1.2.840.10008.5.1.4.1.1.7'
    kv.save(ds, path, meta_class, ROOT + '4')
    ds.file_meta.TransferSyntaxUID = ImplicitVRLittleEndian
    ds.is_implicit_VR = True
    ds.save_as(path, write_like_original=False)
    with open(path, 'rb') as f:
        data = f.read()
    pieces = []
    for (group, element, placeholder), (length, fill, last) in placeholders.items():
        old = struct.pack('<HHI', group, element, len(placeholder)) + placeholder
        at = data.index(old)
        pieces.append((at, len(old), struct.pack('<HHI', group, element, length), length, fill, last))
    pieces.sort()
    with open(path, 'wb') as f:
        start = 0
        for at, size, head, length, fill, last in pieces:
            f.write(data[start:at] + head)
            block = fill * (1 << 20)
            left = length - len(last)
            while left > 0:
                f.write(block[:min(left, len(block))])
                left -= min(left, len(block))
            f.write(last)
            start = at + size
        f.write(data[start:])


def series_zip(folder, image, name):
    """The image as 16 members of a zip under a DICOMDIR of 16 series."""
    files = ['F%02d' % (n + 1) for n in range(SERIES_COUNT)]
    listing = dicomdir(os.path.join(folder, 'zipdir'), files)
    with zipfile.ZipFile(os.path.join(out, name), 'w', zipfile.ZIP_DEFLATED) as z:
        z.write(listing, 'DICOMDIR')
        for f in files:
            z.write(image, 'IMG/' + f)
    shutil.rmtree(os.path.join(folder, 'zipdir'))


def on_disc(ds, sop_class):
    """The image on OUT/disc and as 16 series on OUT/series."""
    kv.save(ds, os.path.join(out, 'disc', 'IMG', 'ONE'), sop_class, ROOT + '4')
    dicomdir(os.path.join(out, 'disc'), ['ONE'])
    files = ['S%02d' % (n + 1) for n in range(SERIES_COUNT)]
    for f in files:
        os.makedirs(os.path.join(out, 'series', 'IMG'), exist_ok=True)
        shutil.copy(os.path.join(out, 'disc', 'IMG', 'ONE'), os.path.join(out, 'series', 'IMG', f))
    dicomdir(os.path.join(out, 'series'), files)


os.makedirs(out, exist_ok=True)
if kind == 'vectors':
    ds = base('NM', 128)
    many = ['1'] * 32767
    ds.add(DataElement(0x00540020, 'IS', many))
    for sequence in (0x00283000, 0x00283010):
        item = Dataset()
        item.add(DataElement(0x00283002, 'IS', many))
        item.add_new(0x00283006, 'OW', np.arange(4096, dtype='<u2').tobytes())
        ds.add_new(sequence, 'SQ', [item])
    on_disc(ds, '1.2.840.10008.5.1.4.1.1.20')
elif kind in ('frames', 'private'):
    ds = base()
    ds.NumberOfFrames = 12345678
    placeholders = {}
    if kind == 'frames':
        placeholders[(0x0028, 0x0008, b'12345678')] = (BIG, b'0', b'1')
    else:
        ds.NumberOfFrames = 1
        ds.add_new(0x00090010, 'LO', 'KESTRO HOSTILE')
        ds.add_new(0x00091010, 'LO', 'KVPRIVATE000')
        placeholders[(0x0009, 0x1010, b'KVPRIVATE000')] = (BIG, b'0', b'1')
    image = os.path.join(out, 'disc', 'IMG', 'ONE')
    implicit_with(image, ds, placeholders)
    dicomdir(os.path.join(out, 'disc'), ['ONE'])
    series_zip(out, image, 'series.zip')
elif kind in LONG_VALUES:
    ds = base()
    tag, first, fill, last = LONG_VALUES[kind]
    if kind == 'slope':
        ds.RescaleIntercept, ds.RescaleSlope = '0', first
    elif kind == 'charset':
        ds.SpecificCharacterSet = first
    else:
        ds[tag].value = first
    written = first.encode() + b' ' * (len(first) % 2)
    implicit_with(os.path.join(out, 'disc', 'IMG', 'ONE'), ds, {(tag >> 16, tag & 0xFFFF, written): (BIG, fill, last)})
elif kind == 'voilut':
    ds = base()
    ds.WindowCenter, ds.WindowWidth = 2000, 4000
    item = Dataset()
    item.add_new(0x00283002, 'US', [0, 0, 16])
    item.add_new(0x00283006, 'OW', np.arange(10, dtype='<u2').tobytes())
    ds.add_new(0x00283010, 'SQ', [item])
    on_disc(ds, '1.2.840.10008.5.1.4.1.1.7')
elif kind == 'palette':
    ds = base()
    kv.set_pixels(ds, (np.arange(64 * 64) % 256).astype(np.uint8).reshape(64, 64), photometric='PALETTE COLOR')
    for c in range(3):
        ds.add_new(0x00281101 + c, 'US', [0, 0, 16])
        ds.add_new(0x00281201 + c, 'OW', np.arange(5, dtype='<u2').tobytes())
    on_disc(ds, '1.2.840.10008.5.1.4.1.1.7')
elif kind == 'names':
    folder = os.path.join(out, 'names')
    side = 8000 if large else 64
    image = os.path.join(folder, 'IMG', 'ONE')
    kv.save(base('OT', side), image, '1.2.840.10008.5.1.4.1.1.7', ROOT + '4')
    listing = dicomdir(folder, ['ONE'])
    with zipfile.ZipFile(os.path.join(out, 'names.zip'), 'w', zipfile.ZIP_DEFLATED) as z:
        z.write(listing, 'DICOMDIR')
        z.write(image, 'IMG/ONE')
        # Path-like names of many short parts, each member's number last.
        stem = 'abcdefg/' * 500
        for n in range(40000):
            z.writestr(zipfile.ZipInfo('FILL/' + stem[:4000 - 5 - 6] + '%06d' % n), b'')
    shutil.rmtree(folder)
else:
    sys.exit('unknown kind ' + kind)
