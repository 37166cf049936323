#!/usr/bin/env bash
# Makes the frame-decoding fixtures (pydicom) and, for each, the expected frame memory:
# numpy over pydicom's pixel_array with mask, rescale and LUT steps applied independently.
#   app/study/model/tests/data/make_frames.sh
set -euo pipefail
cd "$(dirname "$0")"
PYTHONPATH=../../../../testsupport/python /usr/bin/python3 -W ignore - <<'PY'
import os, shutil, subprocess
import numpy as np
import pydicom
from pydicom.dataset import Dataset
import kvfixtures
from pydicom.pixel_data_handlers.util import apply_modality_lut, apply_voi_lut

out = 'frames'
os.makedirs(out, exist_ok=True)
CT, CR, SC, XA = ('1.2.840.10008.5.1.4.1.1.2', '1.2.840.10008.5.1.4.1.1.1',
                  '1.2.840.10008.5.1.4.1.1.7', '1.2.840.10008.5.1.4.1.1.12.1')
rng = np.random.default_rng(36)
expected = []

def save(ds, name, sop):
    kvfixtures.save(ds, os.path.join(out, name), sop, '1.2.3.36.' + str(len(expected) + 1))

def gray(name, sop, pixels, bits_stored=None, signed=False, photometric='MONOCHROME2', **kw):
    ds = Dataset()
    kvfixtures.set_pixels(ds, pixels, photometric, bits_stored, signed)
    for k, v in kw.items():
        setattr(ds, k, v)
    save(ds, name, sop)
    return pydicom.dcmread(os.path.join(out, name))

def record(name, frame, values):
    expected.append('%s %d %s %s' % (name, frame, values.dtype.str, values.astype(values.dtype.newbyteorder('<')).tobytes().hex()))

# CT s16 with rescale -1024/1, no window: the modality LUT gives the memory.
ct = rng.integers(-1000, 2000, (8, 16), dtype=np.int16)
ds = gray('ct_s16.dcm', CT, ct, bits_stored=12, signed=True, RescaleIntercept='-1024', RescaleSlope='1')
record('ct_s16.dcm', 0, apply_modality_lut(ds.pixel_array, ds).astype(np.int16))
# CR u16, Bits Stored 10 with high bits set: masked, no rescale.
cr = (rng.integers(0, 1024, (8, 16)) | 0xFC00).astype(np.uint16)
ds = gray('cr_bs10.dcm', CR, cr, bits_stored=10)
record('cr_bs10.dcm', 0, (cr & 0x3FF).astype(np.uint16))
# MONOCHROME1 u8: values kept, the inversion is the display's.
m1 = rng.integers(0, 256, (8, 16), dtype=np.uint8)
ds = gray('mono1.dcm', SC, m1, photometric='MONOCHROME1')
record('mono1.dcm', 0, ds.pixel_array.astype(np.uint8))
# Ten frames, frame k filled with k x 10 + position.
multi = (np.arange(10)[:, None, None] * 10 + np.arange(32).reshape(4, 8)[None]).astype(np.uint8)
ds = gray('multi10.dcm', SC, multi)
for k in range(10):
    record('multi10.dcm', k, ds.pixel_array[k].astype(np.uint8))
# Windows: the first pair with a usable width.
gray('window_pairs.dcm', CT, ct, bits_stored=12, signed=True, RescaleIntercept='-1024', RescaleSlope='1',
     WindowCenter=['40', '400'], WindowWidth=['0', '1500'])
# All-negative after rescale: value-range window.
neg = rng.integers(0, 500, (8, 16), dtype=np.int16)
ds = gray('all_negative.dcm', CT, neg, bits_stored=16, signed=True, RescaleIntercept='-2000', RescaleSlope='1')
record('all_negative.dcm', 0, apply_modality_lut(ds.pixel_array, ds).astype(np.int16))
# VOI LUT, descriptor 0 (65536 entries), 16-bit entries.
voi = rng.integers(0, 1 << 16, (8, 16), dtype=np.uint16)
lut = Dataset()
lut.LUTDescriptor = [0, 0, 16]
lut.LUTData = (np.arange(65536) // 2 + 100).astype('<u2').tobytes()
lut['LUTData'].VR = 'OW'
ds = gray('voi_65536.dcm', SC, voi, VOILUTSequence=[lut])
record('voi_65536.dcm', 0, apply_voi_lut(ds.pixel_array, ds).astype(np.uint16))
# LUT with 17 bits per entry: not applied.
lut17 = Dataset()
lut17.LUTDescriptor = [256, 0, 17]
lut17.LUTData = np.arange(256).astype('<u2').tobytes()
lut17['LUTData'].VR = 'OW'
u8 = rng.integers(0, 256, (8, 16), dtype=np.uint8)
ds = gray('voi_bits17.dcm', SC, u8, VOILUTSequence=[lut17])
record('voi_bits17.dcm', 0, u8)
# XA with LOG: the modality LUT is not applied.
mlut = Dataset()
mlut.LUTDescriptor = [256, 0, 16]
mlut.LUTData = (255 - np.arange(256)).astype('<u2').tobytes()
mlut['LUTData'].VR = 'OW'
ds = gray('xa_log.dcm', XA, u8, Modality='XA', PixelIntensityRelationship='LOG', ModalityLUTSequence=[mlut])
record('xa_log.dcm', 0, u8)
ds = gray('xa_lin.dcm', XA, u8, Modality='XA', PixelIntensityRelationship='LIN', ModalityLUTSequence=[mlut])
record('xa_lin.dcm', 0, apply_modality_lut(ds.pixel_array, ds).astype(np.uint16))
# Slope 0.005, intercept -100: memory holds 100 x real value - 99 x intercept = v x 0.5 - 100.
small = (rng.integers(0, 1000, (8, 16)) * 2).astype(np.uint16)  # even: no half to round
gray('small_slope.dcm', CT, small, bits_stored=12, RescaleIntercept='-100', RescaleSlope='0.005')
record('small_slope.dcm', 0, (small // 2 - 100).astype(np.int16))
# Modality values: orientation, mammography view, decimal and matrix texts.
vc = Dataset()
vc.CodeValue = 'R-10226'
gray('values.dcm', SC, u8, ImageOrientationPatient=['0.6', '0.8', '0', '0', '0', '-1'], ImageLaterality='R',
     ViewCodeSequence=[vc], SliceThickness='2.000', SpacingBetweenSlices='2.5', AcquisitionMatrix=[0, 256, 256, 0],
     ImagePositionPatient=['1', '2', '3'], InstanceNumber='7', FrameOfReferenceUID='1.2.3.4',
     LossyImageCompression='01')
gray('no_orientation.dcm', SC, u8, ImageOrientationPatient=['0', '0', '0', '0', '0', '0'])
# Nuclear medicine: Detector Vector 0 takes the first detector item.
det = []
for z in ('10', '20'):
    d = Dataset()
    d.ImagePositionPatient = ['0', '0', z]
    d.ImageOrientationPatient = ['1', '0', '0', '0', '1', '0']
    det.append(d)
gray('nm_detector.dcm', '1.2.840.10008.5.1.4.1.1.20', np.stack([u8, u8]), DetectorVector=[0, 3],
     DetectorInformationSequence=det)
# The maker's CR rescale is not applied; rescale type US.
ds = gray('maker_cr.dcm', CR, cr & 0x3FF, bits_stored=10, Manufacturer='Zolk Vrax', RescaleIntercept='-240',
          RescaleSlope='2.81525', RescaleType='OD')
record('maker_cr.dcm', 0, (cr & 0x3FF).astype(np.uint16))
# Enhanced CT: shared window 40/400 and rescale -1024; frame 1 has its own window, frame 0 none.
def group(**kw):
    g = Dataset()
    for k, v in kw.items():
        setattr(g, k, v)
    return g
pvt = group(RescaleIntercept='-1024', RescaleSlope='1', RescaleType='HU')
shared = group(PixelValueTransformationSequence=[pvt], FrameVOILUTSequence=[group(WindowCenter='40', WindowWidth='400')])
frames = [group(PlanePositionSequence=[group(ImagePositionPatient=['0', '0', '0'])]),
          group(FrameVOILUTSequence=[group(WindowCenter='300', WindowWidth='1500')])]
enh = np.stack([ct, ct])
ds = gray('enhanced_ct.dcm', '1.2.840.10008.5.1.4.1.1.2.1', enh, bits_stored=12, signed=True,
          SharedFunctionalGroupsSequence=[shared], PerFrameFunctionalGroupsSequence=frames)
record('enhanced_ct.dcm', 0, (ct.astype(np.int32) - 1024).astype(np.int16))
# Corner tag values: FD in full, two-valued spacing, a time inside a sequence, a private element.
inner = Dataset()
inner.AcquisitionTime = '093015.250'
inner.StudyDate = '20240131'
outer = Dataset()
outer.ReferencedImageSequence = [inner]
ds = gray('tags.dcm', SC, u8, PixelSpacing=['0.5', '0.5'], DiffusionBValue=1234.5678,
          RequestAttributesSequence=[outer], StationName='ONE')
ds.add_new(0x00091010, 'LO', 'PRIVATE TEXT')
ds.save_as(os.path.join(out, 'tags.dcm'), write_like_original=False)
# A transfer syntax nobody knows.
ds = gray('unknown_ts.dcm', SC, u8)
ds.file_meta.TransferSyntaxUID = '1.2.3.4.5.6.7'
ds.save_as(os.path.join(out, 'unknown_ts.dcm'), write_like_original=False)
# Copies of the library's fixtures, with pixel_array as the expected memory.
for name in ('rgb_planar.dcm', 'rle_ct_gdcm.dcm', 'pal_8_8.dcm', 'jpeg_e1.dcm', 'jpeg_ee.dcm', 'jpeg_grey_eb.dcm'):
    shutil.copy(os.path.join('../../../../../vek/tests/data', name), os.path.join(out, name))
ds = pydicom.dcmread(os.path.join(out, 'rgb_planar.dcm'))
record('rgb_planar.dcm', 0, ds.pixel_array.astype(np.uint8))
ds = pydicom.dcmread(os.path.join(out, 'rle_ct_gdcm.dcm'))
record('rle_ct_gdcm.dcm', 0, apply_modality_lut(ds.pixel_array, ds).astype(ds.pixel_array.dtype))
# Lossless JPEG as dcmdjpeg decodes it.
plain = os.path.join(out, 'plain.dcm')
subprocess.run(['dcmdjpeg', os.path.join(out, 'jpeg_e1.dcm'), plain], check=True)
record('jpeg_e1.dcm', 0, pydicom.dcmread(plain).pixel_array.astype(np.uint8))
os.remove(plain)

# Palette colour: 8-bit entries as they are; 16-bit entries reduced to 8 bits (x 255/65535, rounded).
from pydicom.pixel_data_handlers.util import apply_color_lut, convert_color_space
for name in ('pal_8_8.dcm', 'pal_8_16.dcm', 'pal_16_0.dcm'):
    shutil.copy(os.path.join('../../../../../vek/tests/data', name), os.path.join(out, name))
    ds = pydicom.dcmread(os.path.join(out, name))
    rgb = apply_color_lut(ds.pixel_array, ds)
    if rgb.dtype.itemsize == 2:
        rgb = np.floor(rgb.astype(np.float64) * 255 / 65535 + 0.5)
    record(name, 0, rgb.astype(np.uint8))
# YBR_FULL_422: the frame keeps Y, Cb, Cr, each chroma pair shared by two pixels.
ds = Dataset()
ybr = rng.integers(0, 256, (6, 8 * 2), dtype=np.uint8)
ds.Rows, ds.Columns, ds.BitsAllocated, ds.BitsStored, ds.HighBit = 6, 8, 8, 8, 7
ds.SamplesPerPixel, ds.PixelRepresentation, ds.PhotometricInterpretation = 3, 0, 'YBR_FULL_422'
ds.PlanarConfiguration = 0
ds.PixelData = ybr.tobytes()
save(ds, 'ybr_422.dcm', SC)
ds = pydicom.dcmread(os.path.join(out, 'ybr_422.dcm'))
ybr = ds.pixel_array.astype(np.int32)
# Odd pixels but the last take the mean of their pair's chroma and the next pair's, truncated.
ybr[:, 1:-1:2, 1:] = (ybr[:, 0:-2:2, 1:] + ybr[:, 2::2, 1:]) // 2
record('ybr_422.dcm', 0, ybr.astype(np.uint8))
expected.append('ybr_422.rgb 0 |u1 ' + convert_color_space(ybr.astype(np.uint8), 'YBR_FULL', 'RGB').astype(np.uint8).tobytes().hex())
# Pixel data cut short: the read engine builds, the run fails.
ds = gray('truncated.dcm', SC, rng.integers(0, 256, (64, 64), dtype=np.uint16), WindowCenter='100', WindowWidth='200')
ds.PixelData = ds.PixelData[:64 * 10 * 2]
ds.save_as(os.path.join(out, 'truncated.dcm'), write_like_original=False)
# One bit per pixel with a modality LUT: no LUT engine takes one-bit samples.
bits1 = Dataset()
bits1.Rows, bits1.Columns, bits1.BitsAllocated, bits1.BitsStored, bits1.HighBit = 8, 16, 1, 1, 0
bits1.SamplesPerPixel, bits1.PixelRepresentation, bits1.PhotometricInterpretation = 1, 0, 'MONOCHROME2'
lut1 = Dataset()
lut1.LUTDescriptor = [2, 0, 8]
lut1.LUTData = np.array([10, 20], '<u2').tobytes()
lut1['LUTData'].VR = 'OW'
bits1.ModalityLUTSequence = [lut1]
bits1.PixelData = bytes([0x5A] * 16)
save(bits1, 'bits1_lut.dcm', SC)
# A signed 16-bit image through an 8-bit modality LUT whose first entry stands for -1024: the
# table is indexed by the sample's own range, not the entries'; values outside take its ends.
signed = rng.integers(-1100, 3200, (8, 16), dtype=np.int16)
slut = Dataset()
slut.LUTDescriptor = [4096, -1024, 8]
slut['LUTDescriptor'].VR = 'SS'
slut.LUTData = ((np.arange(4096) * 7 + 300) % 65536).astype('<u2').tobytes()
slut['LUTData'].VR = 'OW'
ds = gray('mlut_signed.dcm', CT, signed, signed=True, ModalityLUTSequence=[slut])
record('mlut_signed.dcm', 0, apply_modality_lut(ds.pixel_array, ds).astype(np.uint8))
# Bits Stored 0, and a CR without Bits Stored: no mask; the CR window comes from the 16 bits.
high = (rng.integers(0, 65536, (8, 16))).astype(np.uint16)
ds = gray('bs0.dcm', SC, high)
ds.BitsStored = 0
ds.save_as(os.path.join(out, 'bs0.dcm'), write_like_original=False)
record('bs0.dcm', 0, high)
ds = gray('cr_no_bs.dcm', CR, high)
del ds.BitsStored
ds.save_as(os.path.join(out, 'cr_no_bs.dcm'), write_like_original=False)
record('cr_no_bs.dcm', 0, high)
# Calibration: imager spacing corrected by the magnification; aspect ratios without spacing.
gray('calibration.dcm', CR, u8, Modality='CR', ImagerPixelSpacing=['0.2', '0.1'],
     EstimatedRadiographicMagnificationFactor='2', RescaleType='OD')
gray('pixel_ratio.dcm', SC, u8, PixelAspectRatio=['2', '1'])
gray('pixel_ratio_negative.dcm', SC, u8, PixelAspectRatio=['-2', '1'])
plain = os.path.join(out, 'plain.dcm')
# Baseline grey JPEG as dcmdjpeg decodes it: IDCTs may round apart, the test allows for it.
subprocess.run(['dcmdjpeg', os.path.join(out, 'jpeg_grey_eb.dcm'), plain], check=True)
record('jpeg_grey_eb.dcm', 0, pydicom.dcmread(plain).pixel_array.astype(np.uint8))
# The 12-bit signed CT, lossless: dcmdjpeg's samples through the rescale.
subprocess.run(['dcmcjpeg', '+e1', os.path.join(out, 'ct_s16.dcm'), os.path.join(out, 'jpeg_ct12_e1.dcm')], check=True)
subprocess.run(['dcmdjpeg', os.path.join(out, 'jpeg_ct12_e1.dcm'), plain], check=True)
ds = pydicom.dcmread(plain)
record('jpeg_ct12_e1.dcm', 0, apply_modality_lut(ds.pixel_array, ds).astype(np.int16))
os.remove(plain)
with open(os.path.join(out, 'expected.txt'), 'w') as f:
    f.write('\n'.join(expected) + '\n')
PY
