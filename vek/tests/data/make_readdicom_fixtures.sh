#!/usr/bin/env bash
# Makes the fixtures of the frame-reading tests from the image-information fixtures with dcmtk,
# gdcm and pydicom, and writes the pixels those tools decode into readdicom_expected.txt as
# "<file> <frame> <hex bytes, samples little-endian>". Run by make_dicom_fixtures.sh.
#   vek/tests/data/make_readdicom_fixtures.sh
set -euo pipefail
cd "$(dirname "$0")"
py=/usr/bin/python3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

"$py" - "$tmp" <<'PY'
import sys, numpy as np, pydicom
from pydicom.uid import ExplicitVRLittleEndian
tmp = sys.argv[1]
def derive(src, name, photometric, planar, pixels, samples=3):
    ds = pydicom.dcmread(src)
    ds.SamplesPerPixel = samples
    ds.PhotometricInterpretation = photometric
    ds.PlanarConfiguration = planar
    ds.Rows, ds.Columns = 6, 5
    ds.BitsAllocated = ds.BitsStored = 8
    ds.HighBit = 7
    ds.PixelRepresentation = 0
    ds.PixelData = pixels.tobytes()
    ds.save_as(f'{tmp}/{name}', write_like_original=False)
rgb = (np.arange(6 * 5 * 3) * 7 % 256).astype('u1')
derive('rgb_planar.dcm', 'rgb8.dcm', 'RGB', 0, rgb)
derive('rgb_planar.dcm', 'ybr_planar.dcm', 'YBR_FULL', 1, rgb)
# Two frames of 3 x 1 bytes: the second starts inside a byte pair.
two = pydicom.dcmread('rgb_planar.dcm')
del two.PlanarConfiguration
two.SamplesPerPixel, two.PhotometricInterpretation, two.NumberOfFrames = 1, 'MONOCHROME2', 2
two.Rows, two.Columns, two.BitsAllocated, two.BitsStored, two.HighBit = 1, 3, 8, 8, 7
two.PixelData = bytes([1, 2, 3, 4, 5, 6])
two.save_as(f'{tmp}/two_frames.dcm', write_like_original=False)
PY

cp ct_explicit.dcm rgb_planar.dcm pal_8_8.dcm pal_seg.dcm rle3_ot.dcm "$tmp/"
cd "$tmp"
dcmcrle ct_explicit.dcm rle_ct_dcmtk.dcm
gdcmconv --rle ct_explicit.dcm rle_ct_gdcm.dcm
dcmcrle rgb8.dcm rle_rgb.dcm
dcmcrle pal_8_8.dcm rle_pal_8_8.dcm
dcmcrle pal_seg.dcm rle_pal_seg.dcm
dcmdrle rle3_ot.dcm native3.dcm
# An 8-bit image written big-endian from an implicit source keeps OW, whose byte pairs swap.
dcmconv +ti rgb8.dcm gray_implicit.dcm
dcmconv +tb gray_implicit.dcm ow8_be.dcm
dcmconv +tb rgb8.dcm ob8_be.dcm
dcmconv +ti two_frames.dcm two_implicit.dcm
dcmconv +tb two_implicit.dcm ow8_2f_be.dcm

fixtures=(rle_ct_dcmtk.dcm rle_ct_gdcm.dcm rle_rgb.dcm rle_pal_8_8.dcm rle_pal_seg.dcm native3.dcm ybr_planar.dcm
          ow8_be.dcm ob8_be.dcm ow8_2f_be.dcm)
out=$(cd - >/dev/null && pwd)
"$py" - "$out" rle_rgb.dcm rle_pal_8_8.dcm rle_pal_seg.dcm rle3_ot.dcm native3.dcm ybr_planar.dcm ow8_be.dcm ow8_2f_be.dcm \
  ob8_be.dcm "$out/rgb_planar.dcm" <<'PY'
import sys, os, subprocess, numpy as np, pydicom
from pydicom.pixel_data_handlers.util import apply_color_lut
out = sys.argv[1]
lines = []
for path in sys.argv[2:]:
    name = os.path.basename(path)
    ds = pydicom.dcmread(path)
    if 'RLE' in str(ds.file_meta.TransferSyntaxUID.name):
        # dcmdrle's pixels are the reference for RLE frames.
        subprocess.run(['dcmdrle', path, 'plain.dcm'], check=True)
        ds = pydicom.dcmread('plain.dcm')
    elif name.endswith('_be.dcm'):
        # pydicom swaps 8-bit OW pairs in big endian; gdcm and dcm2pnm keep the written order.
        subprocess.run(['gdcmconv', '--raw', '--explicit', path, 'plain.dcm'], check=True)
        ds = pydicom.dcmread('plain.dcm')
    pixels = ds.pixel_array
    frames = int(ds.get('NumberOfFrames', 1))
    if ds.PhotometricInterpretation == 'PALETTE COLOR':
        pixels = apply_color_lut(pixels, ds)
    pixels = pixels.reshape(frames, -1)
    for k in range(frames):
        lines.append(f'{name} {k} ' + pixels[k].astype(pixels.dtype.newbyteorder('<')).tobytes().hex())
open(f'{out}/readdicom_expected.txt', 'w').write('\n'.join(lines) + '\n')
PY
cp "${fixtures[@]}" "$out/"
