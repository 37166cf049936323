"""Run by the frame's reference-line tests at test time: one study of an axial and a sagittal
series written by pydicom on one Frame of Reference, as series reformatted from one volume are:
  write_crossing_planes.py OUT SHIFT [SERIES] [NAME:TAG:VR:TEXT ...]
  S1 axial:    3 slices at z = -10, 0, 10 mm, position (-X0, -179.036, z), rows along +y;
  S2 sagittal: 3 slices at x = -10, 0, 10 mm, position (x, -179.0 + SHIFT, X0), rows along -z;
  S3 coronal (SERIES 3; 2 when not given): 3 slices at y = -146, -136, -126 mm, position
               (-X0, y, X0), rows along -z.
Both are 128 x 128 samples of 2/3 mm (X0 = 128 x 2/3 / 2), so with SHIFT 0 their extents along
y agree to 0.036 mm: in each image the other plane ends a hair past one edge. Every sample is
100 under window 200 / 400, so a line drawn in white stands out.
Each NAME:TAG:VR:TEXT (S1/I3:00200013:IS:7.5) writes that element of that file as the text given,
byte for byte, whether or not it is a number; an Instance Number so written goes into the file's
record too. OUT/pydicom.txt holds a line per file: its name, then Instance Number, Image Position
(Patient), Image Orientation (Patient), Acquisition Matrix, Imager Pixel Spacing and Pixel
Spacing as pydicom reads them, "-" for a value it cannot read (a list with one value that is no
number, or shorter than its VM, is none).
"""
import os
import sys

import numpy as np
import pydicom
from pydicom.dataelem import RawDataElement
from pydicom.dataset import Dataset
from pydicom.tag import Tag

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '../../../../testsupport/python'))
import kvfixtures as kv  # noqa: E402

out, shift = sys.argv[1], float(sys.argv[2])
args = sys.argv[3:]
series_count = int(args.pop(0)) if args and args[0].isdigit() else 2
RAW = {}
for given in args:
    name, tag, vr, text = given.split(':', 3)
    RAW.setdefault(name, []).append((int(tag, 16), vr, text))
# Raw values go out as given: the writer's check of ambiguous VRs would read each.
pydicom.filewriter.correct_ambiguous_vr = lambda ds, is_little_endian: ds


def read_back(path):
    """pydicom's reading: Instance Number, position, orientation, acquisition matrix, spacings."""
    ds = pydicom.dcmread(path)

    def values(keyword, count):
        try:
            value = ds.get(keyword)
        except (TypeError, ValueError):
            return '-'
        value = [] if value is None else list(value) if isinstance(value, pydicom.multival.MultiValue) else [value]
        if len(value) < count or not all(isinstance(v, (int, float)) for v in value):
            return '-'
        return '\\'.join(repr(float(v)) if isinstance(v, float) else str(v) for v in value)
    return ' '.join([values('InstanceNumber', 1), values('ImagePositionPatient', 3),
                     values('ImageOrientationPatient', 6), values('AcquisitionMatrix', 4),
                     values('ImagerPixelSpacing', 2), values('PixelSpacing', 2)])


readings = []
ct = '1.2.840.10008.5.1.4.1.1.2'
root = '1.2.826.0.1.3680043.8.498.95'
study_uid, frame_of_reference = root + '.1', root + '.5'
# Decimal strings of at most 16 characters, as DS holds them.
spacing = '0.66666666666667'
half = '%.12f' % (64 * 2.0 / 3.0)
SERIES = {
    1: ([1, 0, 0, 0, 1, 0], [(n, ['-' + half, '-179.036', z]) for n, z in ((1, '-10'), (2, '0'), (3, '10'))]),
    2: ([0, 1, 0, 0, 0, -1], [(n, [x, '%.3f' % (-179.0 + shift), half]) for n, x in ((1, '-10'), (2, '0'), (3, '10'))]),
    3: ([1, 0, 0, 0, 0, -1], [(n, ['-' + half, y, half]) for n, y in ((1, '-146'), (2, '-136'), (3, '-126'))]),
}
SERIES = {k: v for k, v in SERIES.items() if k <= series_count}

series_records = []
for k, (orientation, slices) in SERIES.items():
    series_uid = '%s.2.%d' % (root, k)
    image_records = []
    for number, position in slices:
        uid = '%s.3.%d.%d' % (root, k, number)
        ds = Dataset()
        ds.PatientName, ds.PatientID = 'Crossing^Planes', 'CP1'
        ds.StudyInstanceUID, ds.SeriesInstanceUID, ds.SOPInstanceUID = study_uid, series_uid, uid
        ds.FrameOfReferenceUID = frame_of_reference
        ds.Modality, ds.SeriesNumber, ds.InstanceNumber = 'CT', k, number
        ds.ImagePositionPatient = position
        ds.ImageOrientationPatient = orientation
        ds.PixelSpacing, ds.SliceThickness = [spacing, spacing], 1
        kv.set_pixels(ds, np.full((128, 128), 100, np.uint16))
        ds['PixelData'].VR = 'OW'
        ds.WindowCenter, ds.WindowWidth = '200', '400'
        name = 'S%d/I%d' % (k, number)
        record = kv.image_record(name.replace('/', '\\'), number, '%s.3.%d.' % (root, k), sop_class=ct)
        for tag, vr, text in RAW.get(name, []):
            raw = text.encode('latin1')
            raw += b' ' * (len(raw) % 2)
            ds[Tag(tag)] = RawDataElement(Tag(tag), vr, len(raw), raw, 0, False, True)
            if tag == 0x00200013:
                record['fields'] = [f if f[:2] != (0x0020, 0x0013) else (0x0020, 0x0013, 'IS', text)
                                    for f in record['fields']]
        kv.save(ds, os.path.join(out, name), ct)
        readings.append(name + ' ' + read_back(os.path.join(out, name)))
        image_records.append(record)
    series_records.append(kv.series_record(series_uid, k, *image_records, modality='CT'))

study = kv.record('STUDY', [(0x0008, 0x0020, 'DA', '20260101'), (0x0008, 0x0030, 'TM', '120000'),
                            (0x0020, 0x000D, 'UI', study_uid), (0x0020, 0x0010, 'SH', '1')], series_records)
patient = kv.record('PATIENT', [(0x0010, 0x0010, 'PN', 'Crossing^Planes'), (0x0010, 0x0020, 'LO', 'CP1')], [study])
kv.write_dicomdir(os.path.join(out, 'DICOMDIR'), [patient], root + '.4')
with open(os.path.join(out, 'pydicom.txt'), 'w') as f:
    f.write('\n'.join(readings) + '\n')
