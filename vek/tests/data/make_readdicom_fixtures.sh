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

# JPEG frames. Lossless ones are checked bit for bit against dcmdjpeg (the CT against the ramp,
# which dcmdjpeg and gdcmconv --raw must give back); lossy ones against dcmdjpeg +cn, or, for
# 4:2:2 frames, against libjpeg-turbo's planar decode of the fragment with chroma replicated
# (dcmdjpeg smooths upsampled chroma). The expected pixels are appended to readdicom_expected.txt.
cd "$tmp"
"$py" - "$tmp" <<'PY'
import sys, numpy as np, pydicom
tmp = sys.argv[1]
def derive(name, pixels, photometric, bits=8, frames=None, samples=None):
    ds = pydicom.dcmread('rgb_planar.dcm')
    samples = samples or (3 if pixels.ndim == 3 + (frames is not None) else 1)
    ds.SamplesPerPixel = samples
    ds.PhotometricInterpretation = photometric
    if samples == 3:
        ds.PlanarConfiguration = 0
    else:
        del ds.PlanarConfiguration
    if frames is not None:
        ds.NumberOfFrames = frames
    ds.Rows, ds.Columns = pixels.shape[-3 if samples == 3 else -2:][:2]
    ds.BitsAllocated = 8 if bits <= 8 else 16
    ds.BitsStored, ds.HighBit, ds.PixelRepresentation = bits, bits - 1, 0
    ds.PixelData = pixels.astype('u1' if bits <= 8 else '<u2').tobytes()
    ds['PixelData'].VR = 'OB' if bits <= 8 else 'OW'
    ds.save_as(f'{tmp}/{name}', write_like_original=False)
y, x = np.mgrid[0:48, 0:64]
# Chequered red: chroma that changes every 4 pixels shows how it was upsampled.
rgb = np.dstack([(x * 4 + ((x // 4 + y // 4) % 2) * 60) % 256, (y * 5) % 256, ((x + y) * 3) % 256])
derive('src_rgb.dcm', rgb, 'RGB')
derive('src_ybr.dcm', rgb, 'YBR_FULL')
rng = np.random.default_rng(30)
grey = (x * 3 + y * 2 + rng.integers(0, 40, x.shape)) % 256
derive('src_grey.dcm', grey, 'MONOCHROME2')
derive('src_mono1.dcm', grey, 'MONOCHROME1')
derive('src_grey12.dcm', (x * 61 + y * 37) % 4096, 'MONOCHROME2', bits=12)
# Three noisy frames, each over 1 KB compressed, so +fs 1 splits every frame.
derive('src_grey3.dcm', np.stack([(grey + rng.integers(0, 60, x.shape) * k) % 256 for k in range(3)]),
       'MONOCHROME2', frames=3)
PY
dcmcjpeg +e1 ct_explicit.dcm jpeg_ct_e1.dcm
# Predictor 5 keeps the ramp small; the transfer syntax is the .57 one all the same.
dcmcjpeg +el +sv 5 ct_explicit.dcm jpeg_ct_el.dcm
gdcmconv --jpeg ct_explicit.dcm jpeg_ct_gdcm.dcm
dcmcjpeg +e1 src_rgb.dcm jpeg_rgb_e1.dcm
dcmcjpeg +eb src_grey.dcm jpeg_grey_eb.dcm
dcmcjpeg +eb src_mono1.dcm jpeg_mono1_eb.dcm
dcmcjpeg +eb src_rgb.dcm jpeg_rgb_eb.dcm
dcmcjpeg +eb +cr src_rgb.dcm jpeg_rgb_cr.dcm
dcmcjpeg +eb +fs 1 src_rgb.dcm jpeg_rgb_fs.dcm
dcmcjpeg +ee src_grey12.dcm jpeg_ee12.dcm
dcmodify -nb -m "(0028,0004)=YBR_PARTIAL_422" jpeg_rgb_eb.dcm -of jpeg_rgb_partial.dcm 2>/dev/null ||
  { cp jpeg_rgb_eb.dcm jpeg_rgb_partial.dcm && dcmodify -nb -m "(0028,0004)=YBR_PARTIAL_422" jpeg_rgb_partial.dcm; }
dcmcjpeg +e1 pal_8_8.dcm jpeg_pal_e1.dcm
dcmcjpeg +eb +fs 1 -ot src_grey3.dcm jpeg3_fs_noot.dcm
dcmcjpeg +e1 src_ybr.dcm jpeg_ybr_e1.dcm
cp jpeg_ybr_e1.dcm jpeg_ybr422_e1.dcm
dcmodify -nb -m "(0028,0004)=YBR_FULL_422" jpeg_ybr422_e1.dcm

jpeg_fixtures=(jpeg_ct_e1.dcm jpeg_ct_el.dcm jpeg_ct_gdcm.dcm jpeg_rgb_e1.dcm jpeg_grey_eb.dcm jpeg_rgb_eb.dcm
               jpeg_rgb_cr.dcm jpeg_rgb_fs.dcm jpeg_ee12.dcm jpeg_rgb_partial.dcm jpeg_pal_e1.dcm jpeg3_fs_noot.dcm
               jpeg_ybr422_e1.dcm jpeg_mono1_eb.dcm)
"$py" - "$out" <<'PY'
import sys, subprocess, ctypes, numpy as np, pydicom
from pydicom.encaps import generate_pixel_data_frame
from pydicom.pixel_data_handlers.util import apply_color_lut
out = sys.argv[1]
lines = []
def emit(name, frame, pixels):
    lines.append(f'{name} {frame} ' + pixels.astype(pixels.dtype.newbyteorder('<')).tobytes().hex())
def dcmdjpeg(path, *options):
    subprocess.run(['dcmdjpeg', *options, path, 'plain.dcm'], check=True)
    return pydicom.dcmread('plain.dcm')

# Lossless CT: dcmdjpeg and gdcmconv --raw give the ramp back.
ramp = (np.arange(512 * 512) % 4096 - 1024).astype('<i2')
for name in ('jpeg_ct_e1.dcm', 'jpeg_ct_el.dcm', 'jpeg_ct_gdcm.dcm'):
    assert (dcmdjpeg(name).pixel_array.ravel() == ramp).all(), name
    subprocess.run(['gdcmconv', '--raw', name, 'raw.dcm'], check=True)
    assert (pydicom.dcmread('raw.dcm').pixel_array.ravel() == ramp).all(), name
emit('jpeg_rgb_e1.dcm', 0, dcmdjpeg('jpeg_rgb_e1.dcm').pixel_array)
ds = dcmdjpeg('jpeg_pal_e1.dcm')
emit('jpeg_pal_e1.dcm', 0, apply_color_lut(ds.pixel_array, ds))
for name in ('jpeg_grey_eb.dcm', 'jpeg_mono1_eb.dcm', 'jpeg_rgb_cr.dcm'):
    emit(name, 0, dcmdjpeg(name, '+cn').pixel_array)
ds = dcmdjpeg('jpeg3_fs_noot.dcm')
for k in range(3):
    emit('jpeg3_fs_noot.dcm', k, ds.pixel_array[k])
# The decoded YCbCr samples as stored: dcmdjpeg +cn keeps them, the raw value is read as is.
ds = dcmdjpeg('jpeg_ybr422_e1.dcm', '+cn')
emit('jpeg_ybr422_e1.dcm', 0, np.frombuffer(ds.PixelData, 'u1')[:ds.Rows * ds.Columns * 3])

# libjpeg-turbo's planar decode (islow, no upsampling), chroma replicated to full width.
tj = ctypes.CDLL('libturbojpeg.so.0')
tj.tjInitDecompress.restype = ctypes.c_void_p
def planar(stream):
    h = ctypes.c_void_p(tj.tjInitDecompress())
    w, ht, sub, cs = (ctypes.c_int() for _ in range(4))
    assert tj.tjDecompressHeader3(h, stream, ctypes.c_ulong(len(stream)), ctypes.byref(w), ctypes.byref(ht),
                                  ctypes.byref(sub), ctypes.byref(cs)) == 0
    assert sub.value == 1  # 4:2:2
    widths = [w.value, (w.value + 1) // 2, (w.value + 1) // 2]
    bufs = [ctypes.create_string_buffer(pw * ht.value) for pw in widths]
    planes = (ctypes.c_char_p * 3)(*[ctypes.cast(b, ctypes.c_char_p) for b in bufs])
    strides = (ctypes.c_int * 3)(*widths)
    assert tj.tjDecompressToYUVPlanes(h, stream, ctypes.c_ulong(len(stream)), planes, w, strides, ht, 0) == 0
    tj.tjDestroy(h)
    p = [np.frombuffer(b.raw, 'u1').reshape(ht.value, pw) for b, pw in zip(bufs, widths)]
    return np.dstack([p[0], np.repeat(p[1], 2, axis=1)[:, :w.value], np.repeat(p[2], 2, axis=1)[:, :w.value]])
ds = pydicom.dcmread('jpeg_rgb_eb.dcm')
emit('jpeg_rgb_eb.dcm', 0, planar(next(generate_pixel_data_frame(ds.PixelData))))
open(f'{out}/readdicom_expected.txt', 'a').write('\n'.join(lines) + '\n')
PY
cp "${jpeg_fixtures[@]}" "$out/"
