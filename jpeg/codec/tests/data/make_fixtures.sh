#!/usr/bin/env bash
# Rebuilds the JPEG fixtures and expected.txt, the frame facts that rdjpgcom (libjpeg-turbo)
# reports for each. Needs libjpeg-turbo-progs, dcmtk, python3-pydicom and python3-numpy; the test
# build needs none of them.
#   cjpeg:    grey, 4:2:0, 4:2:2, 4:4:4, 4:1:1, progressive, restart intervals, optimised tables,
#             components in separate scans
#   dcmcjpeg: lossless (+e1, +el +sv1..7, +pt), 12-bit extended (+ee +bt), bits stored 2..16;
#             the JPEG stream is taken out of the DICOM file's first fragment.
set -euo pipefail
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
py=/usr/bin/python3

$py - "$work" <<'PY'
import sys
import numpy as np
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.uid import ExplicitVRLittleEndian, generate_uid

w = sys.argv[1]
y, x = np.mgrid[0:24, 0:40]
grey = ((x * 6 + y * 3) % 256).astype(np.uint8)
rgb = np.dstack([(x * 6) % 256, (y * 10) % 256, ((x + y) * 4) % 256]).astype(np.uint8)
open(f'{w}/grey.pgm', 'wb').write(b'P5 40 24 255\n' + grey.tobytes())
open(f'{w}/colour.ppm', 'wb').write(b'P6 40 24 255\n' + rgb.tobytes())

def dicom(name, pixels, bits, samples=1):
    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = '1.2.840.10008.5.1.4.1.1.7'
    meta.MediaStorageSOPInstanceUID = generate_uid()
    meta.TransferSyntaxUID = ExplicitVRLittleEndian
    ds = Dataset()
    ds.file_meta = meta
    ds.SOPClassUID = meta.MediaStorageSOPClassUID
    ds.SOPInstanceUID = meta.MediaStorageSOPInstanceUID
    ds.Modality = 'OT'
    ds.PatientName = 'Fixture'
    ds.Rows, ds.Columns = pixels.shape[0], pixels.shape[1]
    ds.SamplesPerPixel = samples
    ds.PhotometricInterpretation = 'RGB' if samples == 3 else 'MONOCHROME2'
    if samples == 3:
        ds.PlanarConfiguration = 0
    ds.BitsAllocated = 8 if bits <= 8 else 16
    ds.BitsStored = bits
    ds.HighBit = bits - 1
    ds.PixelRepresentation = 0
    ds.PixelData = pixels.astype(np.uint8 if bits <= 8 else '<u2').tobytes()
    ds.is_little_endian = True
    ds.is_implicit_VR = False
    ds.save_as(f'{w}/{name}.dcm', write_like_original=False)

small_y, small_x = np.mgrid[0:8, 0:16]
for bits in range(2, 17):
    dicom(f'bits{bits}', (small_x * 37 + small_y * 101) % (1 << bits), bits)
dicom('grey12', (x * 97 + y * 31) % 4096, 12)
dicom('grey8', grey, 8)
dicom('rgb8', rgb, 8, 3)
PY

rm -f ./*.jpg
cjpeg -quality 75 -grayscale "$work/grey.pgm" > cjpeg_grey.jpg
cjpeg -quality 75 -sample 2x2 "$work/colour.ppm" > cjpeg_420.jpg
cjpeg -quality 75 -sample 2x1 "$work/colour.ppm" > cjpeg_422.jpg
cjpeg -quality 75 -sample 1x1 "$work/colour.ppm" > cjpeg_444.jpg
cjpeg -quality 75 -sample 4x1 "$work/colour.ppm" > cjpeg_411.jpg
cjpeg -quality 75 -progressive "$work/colour.ppm" > cjpeg_progressive.jpg
cjpeg -quality 75 -progressive -grayscale "$work/grey.pgm" > cjpeg_progressive_grey.jpg
cjpeg -quality 75 -restart 1 "$work/colour.ppm" > cjpeg_restart.jpg
cjpeg -quality 75 -optimize "$work/colour.ppm" > cjpeg_optimize.jpg
# Each component in a scan of its own, also in the order Cr, Cb, Y.
printf '0;\n1;\n2;\n' > "$work/ycbcr.scans"
printf '2;\n1;\n0;\n' > "$work/crcby.scans"
cjpeg -quality 75 -scans "$work/ycbcr.scans" "$work/colour.ppm" > cjpeg_scans_420.jpg
cjpeg -quality 75 -scans "$work/crcby.scans" "$work/colour.ppm" > cjpeg_scans_crcby_420.jpg
cjpeg -quality 75 -sample 2x1 -restart 2B -scans "$work/ycbcr.scans" "$work/colour.ppm" > cjpeg_scans_rst_422.jpg

extract() {   # DICOM file, output stream
  $py - "$1" "$2" <<'PY'
import sys
import pydicom
from pydicom.encaps import generate_pixel_data_frame
ds = pydicom.dcmread(sys.argv[1])
frame = next(generate_pixel_data_frame(ds.PixelData))
end = frame.rfind(b'\xff\xd9')
open(sys.argv[2], 'wb').write(frame[:end + 2])
PY
}
dcm() {   # name, input, options...
  local name=$1 input=$2
  shift 2
  dcmcjpeg "$@" "$work/$input.dcm" "$work/$name.dcm"
  extract "$work/$name.dcm" "dcmtk_$name.jpg"
}
# Expected pixels of a lossless stream: dcmdjpeg's, checked against gdcmconv --raw where gdcm
# takes the file (it aborts on bits stored below bits allocated for some precisions); bytes for
# 8 bits allocated, little-endian 16-bit samples otherwise, interleaved by pixel.
expect() {   # name
  dcmdjpeg "$work/$1.dcm" "$work/$1_dcmtk.dcm"
  (gdcmconv --raw "$work/$1.dcm" "$work/$1_gdcm.dcm" 2>/dev/null) || rm -f "$work/$1_gdcm.dcm"
  $py - "$work/$1_dcmtk.dcm" "$work/$1_gdcm.dcm" "dcmtk_$1.raw" <<'PY'
import sys
import pydicom
import os
a = pydicom.dcmread(sys.argv[1]).PixelData
if os.path.exists(sys.argv[2]):
    assert a == pydicom.dcmread(sys.argv[2]).PixelData, sys.argv[1]
    print(sys.argv[3], 'gdcm agrees', file=sys.stderr)
open(sys.argv[3], 'wb').write(a)
PY
}
dcm lossless_sv1_8 grey8 +e1
dcm lossless_sv1_rgb rgb8 +e1
for sv in 1 2 3 4 5 6 7; do
  dcm "lossless_sv${sv}_12" grey12 +el +sv "$sv"
done
dcm lossless_pt2_12 grey12 +el +sv 1 +pt 2
dcm extended_12 grey12 +ee +bt
for bits in $(seq 2 16); do
  dcm "lossless_bits$bits" "bits$bits" +e1
done
dcm lossless_pt1_16 bits16 +el +sv 1 +pt 1
rm -f ./*.raw
for f in dcmtk_lossless_*.jpg; do
  name=${f#dcmtk_}
  expect "${name%.jpg}"
done

# name width height components bits process, as rdjpgcom reads the frame.
for f in *.jpg; do
  rdjpgcom -verbose "$f" | awk -v f="$f" '
    /JPEG image is/ { split($4, w, "w"); split($6, h, "h"); n = $7; bits = $10 }
    /JPEG process:/ { process = $3 }
    END { print f, w[1], h[1], n, bits, process }'
done > expected.txt
cat expected.txt
