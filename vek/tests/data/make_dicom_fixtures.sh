#!/usr/bin/env bash
# Makes the DICOM fixtures of the image-information tests with pydicom, dcmtk and gdcm, and
# writes what those tools read from them into dicom_expected.txt.
#   vek/tests/data/make_dicom_fixtures.sh
set -euo pipefail
cd "$(dirname "$0")"
py=/usr/bin/python3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

"$py" - "$tmp" <<'PY'
import sys, numpy as np
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.uid import ExplicitVRLittleEndian

tmp = sys.argv[1]

def base(rows, cols, bits, signed, photometric, samples=1, frames=None, sop='1.2.840.10008.5.1.4.1.1.2', uid=''):
    ds = Dataset()
    ds.file_meta = FileMetaDataset()
    ds.file_meta.MediaStorageSOPClassUID = sop
    ds.file_meta.MediaStorageSOPInstanceUID = ('1.2.826.0.1.3680043.2.1125.1.' + str(rows * 1000 + cols) + '.' +
                                               str(sum(map(ord, uid))))
    ds.file_meta.TransferSyntaxUID = ExplicitVRLittleEndian
    ds.is_little_endian = True
    ds.is_implicit_VR = False
    ds.SOPClassUID = ds.file_meta.MediaStorageSOPClassUID
    ds.SOPInstanceUID = ds.file_meta.MediaStorageSOPInstanceUID
    ds.PatientName = 'TEST^FIXTURE'
    ds.PatientID = 'FX1'
    ds.StudyInstanceUID = '1.2.826.0.1.3680043.2.1125.2'
    ds.SeriesInstanceUID = '1.2.826.0.1.3680043.2.1125.3'
    ds.Modality = 'CT' if photometric.startswith('MONO') else 'OT'
    ds.StudyDate, ds.StudyTime, ds.StudyID = '20260101', '120000', '1'
    ds.SeriesNumber, ds.InstanceNumber = 1, 1
    ds.SamplesPerPixel = samples
    ds.PhotometricInterpretation = photometric
    if samples > 1:
        ds.PlanarConfiguration = 0
    if frames is not None:
        ds.NumberOfFrames = frames
    ds.Rows = rows
    ds.Columns = cols
    ds.BitsAllocated = bits
    ds.BitsStored = bits
    ds.HighBit = bits - 1
    ds.PixelRepresentation = 1 if signed else 0
    return ds

def save(ds, name, pixels):
    ds.PixelData = pixels.tobytes()
    ds.save_as(f'{tmp}/{name}', write_like_original=False)

# A 512 x 512 signed CT whose pixels are a ramp, so that git keeps it small.
ct = base(512, 512, 16, True, 'MONOCHROME2')
ct.RescaleIntercept = -1024
ct.RescaleSlope = 1
save(ct, 'ct512.dcm', (np.arange(512 * 512, dtype=np.int32) % 4096 - 1024).astype('<i2'))

rng = np.random.default_rng(20)
# Noisy 48 x 48 signed frames, so that RLE needs several 1 KB fragments per frame.
save(base(48, 48, 16, True, 'MONOCHROME2'), 'noise1.dcm', rng.integers(-2000, 2000, 48 * 48).astype('<i2'))
save(base(48, 48, 16, True, 'MONOCHROME2', frames=3), 'noise3.dcm',
     rng.integers(-2000, 2000, 3 * 48 * 48).astype('<i2'))
save(base(32, 32, 8, False, 'MONOCHROME2'), 'gray8.dcm', (np.arange(1024) % 256).astype('u1'))
save(base(8, 8, 8, False, 'RGB', samples=3), 'rgb.dcm', (np.arange(8 * 8 * 3) * 5 % 256).astype('u1'))

def palette(name, bits_allocated, descriptor, luts=None, segments=None, pixels=None):
    ds = base(16, 16, bits_allocated, False, 'PALETTE COLOR', sop='1.2.840.10008.5.1.4.1.1.7', uid=name)
    for colour in ('Red', 'Green', 'Blue'):
        setattr(ds, f'{colour}PaletteColorLookupTableDescriptor', descriptor)
    if luts is not None:
        for colour, data in zip(('Red', 'Green', 'Blue'), luts):
            setattr(ds, f'{colour}PaletteColorLookupTableData', data)
    if segments is not None:
        for colour, data in zip(('Red', 'Green', 'Blue'), segments):
            setattr(ds, f'Segmented{colour}PaletteColorLookupTableData', data)
    ds.PixelData = pixels.astype('<u2' if bits_allocated == 16 else 'u1').tobytes()
    ds.save_as(f'{name}', write_like_original=False)

w = lambda a: np.asarray(a, dtype='<u2').tobytes()
b = lambda a: np.asarray(a, dtype='u1').tobytes()
every8 = np.arange(256)
i = np.arange(256)
palette('pal_8_8.dcm', 8, [256, 0, 8], luts=[b(i), b(255 - i), b(i * 7 % 256)], pixels=every8)
palette('pal_8_16.dcm', 8, [256, 0, 16], luts=[w(i * 257), w(65535 - i * 3), w(i * 97 % 65536)], pixels=every8)
palette('pal_8_8w.dcm', 8, [256, 0, 8], luts=[w(i + 0x1200), w((255 - i) + 0x3400), w(i * 5 % 256 + 0x100)],
        pixels=every8)
big = np.arange(65536)
sampled = np.concatenate([np.arange(255) * 257, [65535]])
palette('pal_16_0.dcm', 16, [0, 0, 16], luts=[w(big), w(65535 - big), w(big * 3 % 65536)], pixels=sampled)
j = np.arange(50)
palette('pal_first100.dcm', 8, [50, 100, 16], luts=[w(1000 + j * 10), w(5000 - j * 7), w(j * j)], pixels=every8)
# Discrete, linear and indirect segments; the indirect one repeats the first segment (offset 0,
# read alike as bytes or entries); no linear step lands on a half.
red = [0, 4, 10, 20, 30, 40, 1, 4, 100, 2, 1, 0, 0, 1, 4, 80]
green = [0, 1, 0, 1, 4, 100, 0, 2, 7, 9, 1, 9, 90]
blue = [0, 3, 50, 60, 70, 1, 6, 10, 2, 1, 0, 0, 0, 4, 1, 5, 9, 13]
palette('pal_seg.dcm', 8, [16, 0, 16], segments=[w(red), w(green), w(blue)], pixels=every8)
PY

cd "$tmp"
dcmconv +ti ct512.dcm ct_implicit.dcm
dcmconv +te ct512.dcm ct_explicit.dcm
dcmconv +tb ct512.dcm ct_bigendian.dcm
dcmcrle +ot noise3.dcm rle3_ot.dcm
dcmcrle -ot noise3.dcm rle3_noot.dcm
dcmcrle +fs 1 -ot noise1.dcm rle1_fs_noot.dcm
dcmcrle +fs 1 +ot noise3.dcm rle3_fs_ot.dcm
dcmcrle +fs 1 -ot noise3.dcm rle3_fs_noot.dcm
dcmcjpeg +eb gray8.dcm jpeg_eb.dcm
dcmcjpeg +ee gray8.dcm jpeg_ee.dcm
dcmcjpeg +el gray8.dcm jpeg_el.dcm
dcmcjpeg +e1 gray8.dcm jpeg_e1.dcm
dcmcjpeg +ep gray8.dcm jpeg_ep.dcm
gdcmconv --j2k gray8.dcm j2k.dcm
gdcmconv --raw --planar-configuration 1 rgb.dcm rgb_planar.dcm
gdcmconv --planar-configuration 1 rgb.dcm rgb_noraw.dcm
mkdir dir && cp gray8.dcm dir/IMG1 && (cd dir && dcmmkdir IMG1) && cp dir/DICOMDIR DICOMDIR

fixtures=(ct_implicit.dcm ct_explicit.dcm ct_bigendian.dcm rle3_ot.dcm rle3_noot.dcm rle1_fs_noot.dcm rle3_fs_ot.dcm
          rle3_fs_noot.dcm jpeg_eb.dcm jpeg_ee.dcm jpeg_el.dcm jpeg_e1.dcm jpeg_ep.dcm j2k.dcm rgb_planar.dcm
          rgb_noraw.dcm DICOMDIR)
out=$(cd - >/dev/null && pwd)
"$py" - "$out" "${fixtures[@]}" <<'PY'
import sys, struct, subprocess
import numpy as np
import pydicom
from pydicom.pixel_data_handlers.util import apply_color_lut

out = sys.argv[1]
lines = []

def walk(path, ds):
    """Items of encapsulated pixel data: (item start, value position, length)."""
    raw = ds.get_item(0x7FE00010)
    items = []
    with open(path, 'rb') as f:
        f.seek(raw.value_tell)
        while True:
            start = f.tell()
            group, element, length = struct.unpack('<HHI', f.read(8))
            if (group, element) == (0xFFFE, 0xE0DD):
                return items
            items.append((start, f.tell(), length))
            f.seek(length, 1)

for name in sys.argv[2:]:
    ds = pydicom.dcmread(name, force=True)
    syntax = str(ds.file_meta.get('TransferSyntaxUID', ''))
    lines.append(f'{name} syntax {syntax}')
    if 'PixelData' not in ds:
        continue
    raw = ds.get_item(0x7FE00010)
    lines.append(f'{name} planar {int(ds.get("PlanarConfiguration", 0))}')
    if raw.length != 0xFFFFFFFF:
        lines.append(f'{name} frame 0 {raw.value_tell} {raw.length}')
        continue
    items = walk(name, ds)
    table = struct.unpack(f'<{items[0][2] // 4}I', open(name, 'rb').read()[items[0][1]:items[0][1] + items[0][2]])
    fragments = items[1:]
    lines.append(f'{name} fragments {len(fragments)} ' + ','.join(str(f[1]) for f in fragments) + ' ' +
                 ','.join(str(f[2]) for f in fragments))
    if table:
        first = fragments[0][0]
        bounds = list(table) + [None]
        for k in range(len(table)):
            mine = [f for f in fragments if f[0] - first >= bounds[k] and (bounds[k + 1] is None or f[0] - first < bounds[k + 1])]
            lines.append(f'{name} frame {k} ' + ','.join(str(f[1]) for f in mine) + ' ' + ','.join(str(f[2]) for f in mine))

# Frames of the -ot twins: the same fragments as their +ot twin, grouped by that twin's table.
def twin(noot, ot):
    a = [l.split() for l in lines if l.startswith(ot + ' frame ')]
    ds_a, ds_b = pydicom.dcmread(ot), pydicom.dcmread(noot)
    fa, fb = walk(ot, ds_a)[1:], walk(noot, ds_b)[1:]
    index = {f[1]: n for n, f in enumerate(fa)}
    for parts in a:
        mine = [fb[index[int(p)]] for p in parts[3].split(',')]
        lines.append(f'{noot} frame {parts[2]} ' + ','.join(str(f[1]) for f in mine) + ' ' + ','.join(str(f[2]) for f in mine))
twin('rle3_noot.dcm', 'rle3_ot.dcm')
twin('rle3_fs_noot.dcm', 'rle3_fs_ot.dcm')

for name in ('pal_8_8.dcm', 'pal_8_16.dcm', 'pal_8_8w.dcm', 'pal_16_0.dcm', 'pal_first100.dcm', 'pal_seg.dcm'):
    ds = pydicom.dcmread(f'{out}/{name}')
    indices = ds.pixel_array.ravel()
    rgb = apply_color_lut(ds.pixel_array, ds).reshape(-1, 3).astype(np.int64)
    if name == 'pal_8_8w.dcm':
        rgb &= 0xFF   # 8-bit entries stored as words: the low byte
    for index, (r, g, b) in zip(indices, rgb):
        lines.append(f'{name} entry {index} {r} {g} {b}')

open(f'{out}/dicom_expected.txt', 'w').write('\n'.join(lines) + '\n')
PY
cp "${fixtures[@]}" "$out/"

# DICOMDIRs: a medium of 2 patients, 3 studies, 5 series and 10 images indexed by dcmmkdir and
# by gdcmgendir, and DICOMDIRs laid out here with computed offsets (record orders, broken
# offsets, edge cases). dicomdir_expected.txt holds the tree each must give, one record a line.
"$py" - "$tmp" <<'PY'
import sys, os
import pydicom
tmp = sys.argv[1]
media = f'{tmp}/media'
os.makedirs(f'{media}/IMAGES', exist_ok=True)
layout = [  # patient, study, series, source, copies
    ('A', 1, 1, 'ct_explicit.dcm', 3), ('A', 1, 2, 'noise3.dcm', 2), ('A', 2, 3, 'rle3_ot.dcm', 2),
    ('B', 3, 4, 'gray8.dcm', 2), ('B', 3, 5, 'rgb.dcm', 1)]
n = 0
for patient, study, series, source, copies in layout:
    for k in range(copies):
        n += 1
        ds = pydicom.dcmread(f'{tmp}/{source}')
        ds.PatientName, ds.PatientID = f'PATIENT^{patient}', f'ID{patient}'
        ds.PatientSex = 'F' if patient == 'A' else 'M'
        ds.StudyInstanceUID = f'1.2.826.0.1.3680043.2.1125.20.{study}'
        ds.StudyID, ds.StudyDescription, ds.AccessionNumber = str(study), f'STUDY {study}', f'ACC{study}'
        ds.SeriesInstanceUID = f'1.2.826.0.1.3680043.2.1125.30.{series}'
        ds.SeriesNumber, ds.SeriesDescription = series, f'SERIES {series}'
        ds.SOPInstanceUID = ds.file_meta.MediaStorageSOPInstanceUID = f'1.2.826.0.1.3680043.2.1125.40.{n}'
        ds.InstanceNumber = k + 1
        ds.ImageType = ['ORIGINAL', 'PRIMARY', 'AXIAL']
        ds.PixelSpacing = ['0.5', '0.25']
        ds.ImagePositionPatient = ['-10.5', '20', str(k * 2.5)]
        ds.ImageOrientationPatient = [1, 0, 0, 0, 1, 0]
        ds.SliceLocation = str(k * 2.5)
        ds.ContentDate, ds.ContentTime = '20260102', '101010'
        ds.save_as(f'{media}/IMAGES/IM{n:04d}', write_like_original=True)
PY
(cd "$tmp/media" && dcmmkdir -q -Nxc +I +r -Pgp +id . +D DICOMDIR IMAGES && mv DICOMDIR "$tmp/dir_dcmtk")
# gdcmgendir takes explicit little endian only: its medium holds the RLE images decoded.
cp -r "$tmp/media" "$tmp/media_gdcm"
for f in IM0006 IM0007; do gdcmconv --raw "$tmp/media/IMAGES/$f" "$tmp/media_gdcm/IMAGES/$f"; done
(cd "$tmp/media_gdcm" && rm -f DICOMDIR && gdcmgendir -i IMAGES -o "$tmp/dir_gdcm" -r)

"$py" - "$tmp" "$out" <<'PY'
import sys, struct, warnings
import pydicom
from pydicom.fileset import FileSet
tmp, out = sys.argv[1], sys.argv[2]

# --- A writer of DICOMDIRs: explicit VR little endian, items of defined length. -----------
LONG = {'OB', 'OW', 'OF', 'SQ', 'UT', 'UN'}
def elem(group, element, vr, value):
    if isinstance(value, str):
        value = value.encode('latin1')
        if len(value) % 2:
            value += b'\0' if vr == 'UI' else b' '
    head = struct.pack('<HH2s', group, element, vr.encode())
    head += struct.pack('<HI', 0, len(value)) if vr in LONG else struct.pack('<H', len(value))
    return head + value
ul = lambda v: struct.pack('<I', v)

FIELDS = {
    'PATIENT': [(0x0010, 0x0010, 'PN'), (0x0010, 0x0020, 'LO'), (0x0010, 0x0040, 'CS')],
    'STUDY': [(0x0020, 0x000D, 'UI'), (0x0008, 0x0020, 'DA'), (0x0008, 0x0030, 'TM'), (0x0008, 0x1030, 'LO'),
              (0x0020, 0x0010, 'SH')],
    'SERIES': [(0x0008, 0x0060, 'CS'), (0x0020, 0x000E, 'UI'), (0x0020, 0x0011, 'IS')],
    'IMAGE': [(0x0004, 0x1500, 'CS'), (0x0004, 0x1510, 'UI'), (0x0004, 0x1511, 'UI'), (0x0008, 0x0018, 'UI'),
              (0x0020, 0x0013, 'IS'), (0x0028, 0x0030, 'DS'), (0x0020, 0x0032, 'DS')],
}

def record_bytes(r, positions):
    """r: dict(type, id, next, lower, inuse, values, extra). next/lower: id, int or None."""
    def offset(v):
        return 0 if v is None else positions.get(v, 0) if isinstance(v, str) else v
    body = b''
    body += elem(0x0004, 0x1400, 'UL', ul(offset(r.get('next'))))
    body += elem(0x0004, 0x1410, 'US', struct.pack('<H', r.get('inuse', 0xFFFF)))
    body += elem(0x0004, 0x1420, 'UL', ul(offset(r.get('lower'))))
    body += elem(0x0004, 0x1430, 'CS', r['type'])
    for (g, e, vr), v in zip(FIELDS.get(r['type'], []), r.get('values', [])):
        if v is not None:
            body += elem(g, e, vr, v)
    for g, e, vr, v in r.get('extra', []):
        body += elem(g, e, vr, v)
    # Elements in tag order, as a reader expects them.
    return body

def sort_elements(body):
    parts, i = [], 0
    while i < len(body):
        g, e, vr = struct.unpack_from('<HH2s', body, i)
        if vr.decode() in LONG:
            n = struct.unpack_from('<I', body, i + 8)[0]; size = 12 + n
        else:
            n = struct.unpack_from('<H', body, i + 6)[0]; size = 8 + n
        parts.append(((g, e), body[i:i + size])); i += size
    return b''.join(p for _, p in sorted(parts, key=lambda p: p[0]))

def write_dir(name, records, sop='1.2.840.10008.1.3.10', cut=None):
    meta = elem(0x0002, 0x0001, 'OB', b'\0\1') + elem(0x0002, 0x0002, 'UI', sop) + \
        elem(0x0002, 0x0003, 'UI', '1.2.826.0.1.3680043.2.1125.99') + elem(0x0002, 0x0010, 'UI', '1.2.840.10008.1.2.1')
    head = b'\0' * 128 + b'DICM' + elem(0x0002, 0x0000, 'UL', ul(len(meta))) + meta
    head += elem(0x0004, 0x1130, 'CS', '')
    positions = {}
    for _ in range(2):  # offsets have a fixed size: the second round places them right
        top = elem(0x0004, 0x1200, 'UL', ul(positions.get(records[0]['id'], 0))) + \
            elem(0x0004, 0x1202, 'UL', ul(0)) + elem(0x0004, 0x1212, 'US', struct.pack('<H', 0))
        items = [sort_elements(record_bytes(r, positions)) for r in records]
        at = len(head) + len(top) + 12
        data = b''
        for r, body in zip(records, items):
            positions[r['id']] = at + len(data)
            data += struct.pack('<HHI', 0xFFFE, 0xE000, len(body)) + body
    blob = head + top + struct.pack('<HH2sHI', 0x0004, 0x1220, b'SQ', 0, len(data)) + data
    if cut is not None:
        blob = blob[:cut(positions, blob)]
    open(f'{out}/{name}', 'wb').write(blob)
    return positions

def P(i, name, nxt=None, lower=None, **kw): return dict(type='PATIENT', id=i, next=nxt, lower=lower, values=[name, 'PID' + i, 'O'], **kw)
def S(i, nxt=None, lower=None, **kw): return dict(type='STUDY', id=i, next=nxt, lower=lower, values=['1.2.3.' + str(len(i)) + '.' + str(sum(map(ord, i))), '20260101', '120000', 'DESC ' + i, i], **kw)
def E(i, nxt=None, lower=None, **kw): return dict(type='SERIES', id=i, next=nxt, lower=lower, values=['CT', '1.2.4.' + str(sum(map(ord, i))), '7'], **kw)
def I(i, nxt=None, fid=None, **kw): return dict(type='IMAGE', id=i, next=nxt, values=[fid or 'IMG\\' + i.upper(), '1.2.840.10008.5.1.4.1.1.2', '1.2.5.' + str(sum(map(ord, i))), '', '3', '0.5\\0.25', '1\\2\\' + str(len(i))], **kw)

# A forward-linked medium: p1 {s1 {e1 {i1 i2} e2 {i3}}} p2 {s2 {e3 {i4}}}.
def forward():
    return [P('p1', 'ONE', 'p2', 's1'), S('s1', None, 'e1'), E('e1', 'e2', 'i1'), I('i1', 'i2'), I('i2'),
            E('e2', None, 'i3'), I('i3'), P('p2', 'TWO', None, 's2'), S('s2', None, 'e3'), E('e3', None, 'i4'), I('i4')]
write_dir('dir_forward', forward())
# Every PATIENT, then STUDY, SERIES, IMAGE; the offsets give the same tree.
recs = forward()
write_dir('dir_grouped', sorted(recs, key=lambda r: ['PATIENT', 'STUDY', 'SERIES', 'IMAGE'].index(r['type'])))
# Sibling chains stored backwards: each chain starts at its last record in the stream.
write_dir('dir_backward', [P('p1', 'ONE', None, 's1'), S('s1', None, 'e2'), E('e1', None, 'i3'), I('i1'), I('i2', 'i1'),
                           I('i3', 'i2'), E('e2', 'e1', 'i4'), I('i4')])
# Records of other types among the four: the stream order holds, whatever the offsets say.
def with_others():
    r = forward()
    r.insert(4, dict(type='SR DOCUMENT', id='sr', values=[], extra=[(0x0004, 0x1500, 'CS', 'SR\\1')]))
    r.insert(7, dict(type='PRESENTATION', id='pr', values=[]))
    r.append(dict(type='PRIVATE', id='pv', values=[]))
    return r
write_dir('dir_others', with_others())
# Broken offsets, each leaving records unlinked.
def broken(change):
    r = forward()
    change({x['id']: x for x in r})
    return r
write_dir('dir_self', broken(lambda d: d['i1'].update(next='i1')))
write_dir('dir_loop', broken(lambda d: d['i1'].update(next='i2') or d['i2'].update(next='i1')))
write_dir('dir_shared', broken(lambda d: d['p2'].update(lower='s1')))
write_dir('dir_wronglevel', broken(lambda d: d['s1'].update(lower='i1')))
write_dir('dir_pastend', broken(lambda d: d['e2'].update(next=0x7FFFFFF0)))
def zeros(d):
    for x in d.values():
        x['next'] = x['lower'] = 0
write_dir('dir_zero', broken(zeros))
# Into the middle of a record: 6 bytes past an item tag.
pos = write_dir('dir_middle', broken(lambda d: None))
write_dir('dir_middle', broken(lambda d: d['e1'].update(lower=pos['i1'] + 6)))
# A DICOMDIR cut inside its last item, and one cut before its first item ends.
write_dir('dir_cut', forward(), cut=lambda p, b: p['i4'] + 20)
write_dir('dir_cut_first', forward(), cut=lambda p, b: p['p1'] + 20)

# --- Expected trees. ----------------------------------------------------------------------
def text(ds, tag):
    e = ds.get_item(tag)
    if e is None or e.value is None:
        return ''
    v = e.value
    if isinstance(v, bytes):
        s = v.decode('latin1')
    elif isinstance(v, (list, pydicom.multival.MultiValue)):
        s = '\\'.join(str(x) for x in v)
    else:
        s = str(v)
    return s.strip(' \0')

def number(s):
    try:
        return float(s)
    except ValueError:
        return 0.0
g = lambda x: '%.10g' % x

def values(ds, rtype):
    if rtype == 'PATIENT':
        return [text(ds, t) for t in (0x00100010, 0x00100020, 0x00100040)]
    if rtype == 'STUDY':
        return [text(ds, t) for t in (0x0020000D, 0x00080020, 0x00080030, 0x00081030, 0x00101010, 0x00200010,
                                      0x00080061, 0x00080050, 0x00180015)]
    spacing = text(ds, 0x00280030).split('\\')
    col, row = (g(number(spacing[1])), g(number(spacing[0]))) if len(spacing) >= 2 else ('0', '0')
    u = lambda t: str(int(number(text(ds, t)) if text(ds, t) else 0))
    d = lambda t: g(number(text(ds, t).split('\\')[0])) if text(ds, t) else '0'
    if rtype == 'SERIES':
        return [text(ds, 0x00080060), text(ds, 0x0008103E), text(ds, 0x0020000E), u(0x00200011), text(ds, 0x00080021),
                text(ds, 0x00080031), text(ds, 0x00180015), text(ds, 0x00200052), d(0x00180060), d(0x00181151),
                text(ds, 0x00181210), d(0x00180050), col, row, u(0x00280011), u(0x00280010), text(ds, 0x00280004),
                u(0x00280008)]
    position = text(ds, 0x00200032).split('\\')
    xyz = [g(number(p)) for p in position[:3]] if len(position) >= 3 else ['0', '0', '0']
    return [text(ds, 0x00041500), text(ds, 0x00080018) or text(ds, 0x00041511), u(0x00200013), text(ds, 0x00041510),
            text(ds, 0x00080016), text(ds, 0x00041512), text(ds, 0x00080008), text(ds, 0x00080023),
            text(ds, 0x00080033), text(ds, 0x00280011), text(ds, 0x00280010), u(0x00280008), col, row,
            d(0x00201041)] + xyz + [text(ds, 0x00200037),
            '1' if ds.get_item(0x00201041) is not None and ds.get_item(0x00201041).length else '0']

LEVELS = ['PATIENT', 'STUDY', 'SERIES', 'IMAGE']
def line(name, ds):
    rtype = text(ds, 0x00041430)
    off = lambda t: str(ds[t].value if t in ds else 0)
    inuse = '0' if 0x00041410 in ds and ds[0x00041410].value == 0 else '1'
    return '\t'.join([name, rtype, str(ds.seq_item_tell), off(0x00041400), off(0x00041420), inuse] + values(ds, rtype))

def stream_tree(name, records):
    lines, seen = [], False
    for ds in records:
        rtype = text(ds, 0x00041430)
        if rtype not in LEVELS or (rtype == 'STUDY' and not seen):
            continue
        seen = seen or rtype == 'PATIENT'
        lines.append(line(name, ds))
    return lines

def offset_tree(name, records):
    at = {ds.seq_item_tell: ds for ds in records}
    lines = []
    def chain(offset, level):
        while offset and offset in at and text(at[offset], 0x00041430) == LEVELS[level]:
            ds = at[offset]
            lines.append(line(name, ds))
            if level < 3:
                chain(ds.get('OffsetOfReferencedLowerLevelDirectoryEntity', 0), level + 1)
            offset = ds.get('OffsetOfTheNextDirectoryRecord', 0)
    for ds in records:
        if text(ds, 0x00041430) == 'PATIENT':
            lines.append(line(name, ds))
            chain(ds.get('OffsetOfReferencedLowerLevelDirectoryEntity', 0), 1)
    return lines

def fileset_order(path):
    """Record positions in the order pydicom's FileSet walks the offsets."""
    fs = FileSet(pydicom.dcmread(path))
    return [node._offset for node in fs._tree]

def records_of(path):
    # Past the meta group, so that pydicom does not follow the offsets itself (it loops on
    # the broken ones); item positions stay counted from the start of the file.
    from pydicom.filereader import _read_file_meta_info, read_dataset
    with open(path, 'rb') as fp:
        fp.seek(132)
        _read_file_meta_info(fp)
        ds = read_dataset(fp, is_implicit_VR=False, is_little_endian=True)
    return list(ds.DirectoryRecordSequence)

expected = []
for name, kind in [('dir_dcmtk', 'offset'), ('dir_gdcm', 'offset'), ('dir_forward', 'offset'), ('dir_grouped', 'offset'),
                   ('dir_backward', 'offset'), ('dir_others', 'stream'), ('dir_self', 'stream'), ('dir_loop', 'stream'),
                   ('dir_shared', 'stream'), ('dir_middle', 'stream'), ('dir_wronglevel', 'stream'),
                   ('dir_pastend', 'stream'), ('dir_zero', 'stream')]:
    path = f'{tmp}/{name}' if name in ('dir_dcmtk', 'dir_gdcm') else f'{out}/{name}'
    records = records_of(path)
    lines = (offset_tree if kind == 'offset' else stream_tree)(name, records)
    if kind == 'offset':
        # The same walk as pydicom's own file-set reader.
        assert [int(l.split('\t')[2]) for l in lines] == fileset_order(path), name
    expected += lines
# The cut DICOMDIR keeps its complete records (as dcmdump +Ep and pydicom read them).
with warnings.catch_warnings():
    warnings.simplefilter('ignore')
    cut = records_of(f'{out}/dir_cut')
expected += stream_tree('dir_cut', cut)
open(f'{out}/dicomdir_expected.txt', 'w').write('\n'.join(expected) + '\n')
PY
cp "$tmp/dir_dcmtk" "$tmp/dir_gdcm" "$out/"
"$out/make_readdicom_fixtures.sh"
