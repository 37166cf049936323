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
"$out/make_readdicom_fixtures.sh"
