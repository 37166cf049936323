#!/usr/bin/env bash
# Rebuilds the intact streams that sit nearest the least data a frame's blocks can take: one
# pixel, odd sizes, flat images whose blocks cost a code or two each, from libjpeg-turbo's
# cjpeg, dcmtk's dcmcjpeg and gdcmconv (the JPEG stream taken out of the DICOM file's first
# fragment). Needs libjpeg-turbo-progs, dcmtk, libgdcm-tools, python3-pydicom and python3-numpy.
set -euo pipefail
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
py=/usr/bin/python3

$py - "$work" <<'PY'
import sys
import numpy as np
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.uid import ExplicitVRLittleEndian

w = sys.argv[1]
def pgm(name, a):
    open(f'{w}/{name}.pgm', 'wb').write(b'P5 %d %d 255\n' % (a.shape[1], a.shape[0]) + a.tobytes())
def ppm(name, a):
    open(f'{w}/{name}.ppm', 'wb').write(b'P6 %d %d 255\n' % (a.shape[1], a.shape[0]) + a.tobytes())
def dicom(name, a, bits=8):
    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = '1.2.840.10008.5.1.4.1.1.7'
    meta.MediaStorageSOPInstanceUID = '1.2.826.0.1.3680043.8.498.1'
    meta.TransferSyntaxUID = ExplicitVRLittleEndian
    ds = Dataset()
    ds.file_meta = meta
    ds.SOPClassUID = meta.MediaStorageSOPClassUID
    ds.SOPInstanceUID = meta.MediaStorageSOPInstanceUID
    ds.Modality = 'OT'
    ds.Rows, ds.Columns = a.shape[0], a.shape[1]
    ds.SamplesPerPixel = 3 if a.ndim == 3 else 1
    ds.PhotometricInterpretation = 'RGB' if a.ndim == 3 else 'MONOCHROME2'
    if a.ndim == 3:
        ds.PlanarConfiguration = 0
    ds.BitsAllocated = 8 if bits <= 8 else 16
    ds.BitsStored = bits
    ds.HighBit = bits - 1
    ds.PixelRepresentation = 0
    ds.PixelData = a.astype(np.uint8 if bits <= 8 else '<u2').tobytes()
    ds.is_little_endian = True
    ds.is_implicit_VR = False
    ds.save_as(f'{w}/{name}.dcm', write_like_original=False)

y, x = np.mgrid[0:13, 0:17]
odd_grey = ((x * 13 + y * 7) % 256).astype(np.uint8)
odd_rgb = np.dstack([(x * 15) % 256, (y * 19) % 256, ((x + y) * 8) % 256]).astype(np.uint8)
flat = np.full((64, 64), 77, dtype=np.uint8)
flat_rgb = np.full((64, 64, 3), 77, dtype=np.uint8)
pgm('one', np.array([[200]], dtype=np.uint8))
ppm('one', np.array([[[200, 30, 90]]], dtype=np.uint8))
pgm('odd', odd_grey)
ppm('odd', odd_rgb)
pgm('flat', flat)
ppm('flat', flat_rgb)
dicom('one', np.array([[200]], dtype=np.uint8))
dicom('odd', odd_grey)
dicom('odd_rgb', odd_rgb)
dicom('flat', flat)
dicom('flat12', np.full((64, 64), 1234, dtype=np.uint16), 12)
PY

rm -f ./*.jpg
cjpeg -grayscale "$work/one.pgm" > cjpeg_1x1_grey.jpg
cjpeg -sample 2x2 "$work/one.ppm" > cjpeg_1x1_420.jpg
cjpeg -progressive "$work/one.ppm" > cjpeg_1x1_progressive.jpg
cjpeg -sample 2x2 -restart 1B "$work/odd.ppm" > cjpeg_odd_420_rst.jpg
cjpeg -sample 2x1 "$work/odd.ppm" > cjpeg_odd_422.jpg
cjpeg -progressive "$work/odd.ppm" > cjpeg_odd_progressive.jpg
cjpeg -progressive -grayscale -restart 1B "$work/odd.pgm" > cjpeg_odd_progressive_grey_rst.jpg
cjpeg -optimize -grayscale "$work/flat.pgm" > cjpeg_flat_grey.jpg
cjpeg -optimize -sample 2x2 "$work/flat.ppm" > cjpeg_flat_420.jpg
cjpeg -progressive -optimize "$work/flat.ppm" > cjpeg_flat_progressive.jpg
printf '0;\n1;\n2;\n' > "$work/ycbcr.scans"
cjpeg -optimize -scans "$work/ycbcr.scans" "$work/flat.ppm" > cjpeg_flat_scans_420.jpg

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
dcm lossless_1x1 one +e1
dcm lossless_odd odd +e1
dcm lossless_odd_rgb odd_rgb +e1
dcm lossless_flat flat +e1
dcm lossless_flat12 flat12 +e1
dcm baseline_flat flat +eb
dcm baseline_1x1 one +eb
gdcm() {   # name, input, options...
  local name=$1 input=$2
  shift 2
  gdcmconv "$@" "$work/$input.dcm" "$work/gdcm_$name.dcm"
  extract "$work/gdcm_$name.dcm" "gdcm_$name.jpg"
}
gdcm lossless_flat flat --jpeg
gdcm lossless_odd_rgb odd_rgb --jpeg
gdcm baseline_flat flat --jpeg --lossy -q 90
gdcm baseline_odd odd --jpeg --lossy -q 90
ls -l ./*.jpg
