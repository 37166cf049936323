#!/usr/bin/env bash
# Makes the Huffman and lossless fixtures of the kernel tests:
#   baseline_*.jpg   cjpeg streams (grey; 4:2:0; grey -optimize; 4:2:0 -restart 4B)
#   lossless_*.jpg   dcmcjpeg +e1 and +el +sv1..7 streams of a 16-bit noisy gradient from 30000 to
#                    36000, taken out of the DICOM files with pydicom
#   gradient16.u16   that image (little-endian) as dcmdjpeg decodes every stream; the script
#                    checks that gdcmconv decodes every stream to the same samples.
set -euo pipefail
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
py=/usr/bin/python3

$py - "$tmp" <<'PY'
import sys, numpy as np, pydicom
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.uid import ExplicitVRLittleEndian, generate_uid
from PIL import Image
tmp = sys.argv[1]
rng = np.random.default_rng(24)
y, x = np.mgrid[0:30, 0:50]
grey = np.clip(128 + 70 * np.sin(x / 6.0) * np.cos(y / 5.0) + rng.normal(0, 12, x.shape), 0, 255).astype(np.uint8)
Image.fromarray(grey).save(f"{tmp}/grey.pgm")
y, x = np.mgrid[0:32, 0:48]
rgb = np.stack([x * 5, y * 7, 128 + 60 * np.sin((x + y) / 4.0)], -1) + rng.normal(0, 10, (32, 48, 3))
Image.fromarray(np.clip(rgb, 0, 255).astype(np.uint8)).save(f"{tmp}/colour.ppm")

h, w = 24, 40
y, x = np.mgrid[0:h, 0:w]
img = np.clip(30000 + 6000 * (x + y) / (w + h - 2) + rng.normal(0, 300, (h, w)), 0, 65535).astype(np.uint16)
img.astype('<u2').tofile(f"{tmp}/gradient16.u16")
meta = FileMetaDataset()
meta.MediaStorageSOPClassUID = "1.2.840.10008.5.1.4.1.1.7"
meta.MediaStorageSOPInstanceUID = generate_uid()
meta.TransferSyntaxUID = ExplicitVRLittleEndian
ds = Dataset()
ds.file_meta = meta
ds.is_little_endian = True
ds.is_implicit_VR = False
ds.SOPClassUID = meta.MediaStorageSOPClassUID
ds.SOPInstanceUID = meta.MediaStorageSOPInstanceUID
ds.Modality = "OT"
ds.Rows, ds.Columns = h, w
ds.SamplesPerPixel = 1
ds.PhotometricInterpretation = "MONOCHROME2"
ds.BitsAllocated = ds.BitsStored = 16
ds.HighBit = 15
ds.PixelRepresentation = 0
ds.PixelData = img.tobytes()
ds.save_as(f"{tmp}/gradient16.dcm", write_like_original=False)
PY

cjpeg -baseline -quality 75 -outfile baseline_grey.jpg "$tmp/grey.pgm"
cjpeg -baseline -quality 75 -sample 2x2,1x1,1x1 -outfile baseline_420.jpg "$tmp/colour.ppm"
cjpeg -baseline -quality 90 -optimize -outfile baseline_grey_optimize.jpg "$tmp/grey.pgm"
cjpeg -baseline -quality 75 -sample 2x2,1x1,1x1 -restart 4B -outfile baseline_420_restart.jpg "$tmp/colour.ppm"

names=(e1 sv1 sv2 sv3 sv4 sv5 sv6 sv7)
opts=("+e1" "+el +sv 1" "+el +sv 2" "+el +sv 3" "+el +sv 4" "+el +sv 5" "+el +sv 6" "+el +sv 7")
for i in "${!names[@]}"; do
  n=${names[$i]}
  # shellcheck disable=SC2086
  dcmcjpeg ${opts[$i]} "$tmp/gradient16.dcm" "$tmp/$n.dcm"
  $py - "$tmp/$n.dcm" "lossless_$n.jpg" <<'PY'
import sys, pydicom
from pydicom.encaps import generate_pixel_data_frame
ds = pydicom.dcmread(sys.argv[1])
frame = next(generate_pixel_data_frame(ds.PixelData))
open(sys.argv[2], "wb").write(frame)
PY
  dcmdjpeg "$tmp/$n.dcm" "$tmp/$n.dcmtk.dcm"
  gdcmconv --raw "$tmp/$n.dcm" "$tmp/$n.gdcm.dcm"
  $py - "$tmp/$n.dcmtk.dcm" "$tmp/$n.gdcm.dcm" "$tmp/gradient16.u16" <<'PY'
import sys, pydicom, numpy as np
a = pydicom.dcmread(sys.argv[1]).PixelData
b = pydicom.dcmread(sys.argv[2]).PixelData
src = open(sys.argv[3], "rb").read()
assert a == b, "dcmdjpeg and gdcmconv disagree"
assert a == src, "the decoders do not give the encoded image back"
PY
done
cp "$tmp/gradient16.u16" gradient16.u16
ls -l baseline_*.jpg lossless_*.jpg gradient16.u16
