#!/usr/bin/env bash
# Makes the image-cell fixtures with pydicom: flat quadrants for window/level, a bright
# square for zoom, a wide frame for fitting, a small multi-frame file, slices in two
# orientations and frames of reference for linking, and a file that is no DICOM.
#   app/viewer/view/tests/data/make_cells.sh
set -euo pipefail
cd "$(dirname "$0")"
/usr/bin/python3 -W ignore - <<'PY'
import numpy as np
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.uid import ExplicitVRLittleEndian

CT, MR = '1.2.840.10008.5.1.4.1.1.2', '1.2.840.10008.5.1.4.1.1.4'
count = [0]

def save(name, pixels, photometric='MONOCHROME2', sop=CT, **kw):
    count[0] += 1
    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = sop
    meta.MediaStorageSOPInstanceUID = '1.2.3.38.%d' % count[0]
    meta.TransferSyntaxUID = ExplicitVRLittleEndian
    ds = Dataset()
    ds.file_meta = meta
    ds.SOPClassUID, ds.SOPInstanceUID = sop, meta.MediaStorageSOPInstanceUID
    ds.Modality = 'CT' if sop == CT else 'MR'
    frames = pixels.shape[0] if pixels.ndim == 3 else 1
    ds.Rows, ds.Columns = pixels.shape[-2:]
    ds.BitsAllocated = ds.BitsStored = pixels.dtype.itemsize * 8
    ds.HighBit = ds.BitsStored - 1
    ds.SamplesPerPixel, ds.PixelRepresentation = 1, 0
    ds.PhotometricInterpretation = photometric
    if frames > 1:
        ds.NumberOfFrames = frames
    for k, v in kw.items():
        setattr(ds, k, v)
    ds.PixelData = pixels.tobytes()
    ds.is_little_endian, ds.is_implicit_VR = True, False
    ds.save_as(name, write_like_original=False)

quad = np.zeros((256, 256), np.uint16)
quad[:128, 128:] = 1000
quad[128:, :128] = 2000
quad[128:, 128:] = 3000
save('quad16.dcm', quad, WindowCenter='1500', WindowWidth='2000')
save('quad16_mono1.dcm', quad, photometric='MONOCHROME1', WindowCenter='1500', WindowWidth='2000')

square = np.zeros((64, 64), np.uint8)
square[24:40, 24:40] = 255
save('square.dcm', square, WindowCenter='128', WindowWidth='256')

wide = np.full((256, 512), 200, np.uint8)
save('wide.dcm', wide, WindowCenter='128', WindowWidth='256')

small = np.full((16, 16), 100, np.uint8)
save('small.dcm', small, WindowCenter='128', WindowWidth='256')

frames = np.stack([np.full((16, 16), 40 * k, np.uint8) for k in range(4)])
save('multi4.dcm', frames, WindowCenter='128', WindowWidth='256')

# Axial slices 5 mm apart, sagittal slices through x = 20, 40 and 50 mm and an axial slice of
# another frame of reference. 64 x 64 pixels of 1 mm.
slice_pixels = np.full((64, 64), 120, np.uint8)
for k, z in enumerate((0.0, 5.0, 10.0, 15.0)):
    save('axial%d.dcm' % k, slice_pixels, sop=MR, WindowCenter='128', WindowWidth='256',
         FrameOfReferenceUID='1.2.3.38.100', ImageOrientationPatient=['1', '0', '0', '0', '1', '0'],
         ImagePositionPatient=['0', '0', '%g' % z], PixelSpacing=['1', '1'], InstanceNumber=str(k + 1))
save('axial_other.dcm', slice_pixels, sop=MR, WindowCenter='128', WindowWidth='256',
     FrameOfReferenceUID='1.2.3.38.200', ImageOrientationPatient=['1', '0', '0', '0', '1', '0'],
     ImagePositionPatient=['0', '0', '6'], PixelSpacing=['1', '1'], InstanceNumber='1')
for k, x in enumerate((20.0, 40.0, 50.0)):
    save('sagittal%d.dcm' % k, slice_pixels, sop=MR, WindowCenter='128', WindowWidth='256',
         FrameOfReferenceUID='1.2.3.38.100', ImageOrientationPatient=['0', '1', '0', '0', '0', '-1'],
         ImagePositionPatient=['%g' % x, '0', '32'], PixelSpacing=['1', '1'], InstanceNumber=str(k + 1))

with open('not_dicom.dcm', 'wb') as f:
    f.write(b'this is no DICOM file\n' * 8)
PY
