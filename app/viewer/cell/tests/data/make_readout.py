"""Writes, at test time, the files whose shown values the cell tests check, into the folder
given, with "expected.txt" beside them: for each point a pixel-value tool reads, the file, x, y
and the "%.2f" text of pydicom's modality LUT (float64 stored x slope + intercept).

Rescales of slopes 0.5, 0.25, 2.5 and 0.005 with intercepts that are not 0, a rescale that
clamps in 16 bits and one that does not (each also with a stored window), signed data under a VOI LUT, 16-bit data under an
8-bit VOI LUT, a 1-bit frame of an odd width, 32-bit frames with and without a rescale; a
128 x 128 frame without pixel spacing; CTs whose Acquisition Time is written "09:30:15",
"093015.250" and "0930"; ramps of distinct values with every value listed, one with rows twice as
tall; multi-valued DS, IS, US and FD elements with the corner text of each value index.

    PYTHONPATH=app/testsupport/python /usr/bin/python3 make_readout.py FOLDER
"""
import os
import sys

import numpy as np
import pydicom
from pydicom.dataset import Dataset
from pydicom.pixel_data_handlers.numpy_handler import pack_bits
from pydicom.pixel_data_handlers.util import apply_modality_lut

import kvfixtures

CT, MR, SC = '1.2.840.10008.5.1.4.1.1.2', '1.2.840.10008.5.1.4.1.1.4', '1.2.840.10008.5.1.4.1.1.7'
out = sys.argv[1]
rng = np.random.default_rng(61)
count = [0]
lines = []


def save(name, pixels, sop=CT, bits_stored=None, signed=None, **kw):
    count[0] += 1
    ds = Dataset()
    ds.Modality = {CT: 'CT', MR: 'MR'}.get(sop, 'OT')
    kvfixtures.set_pixels(ds, pixels, 'MONOCHROME2', bits_stored, signed)
    for k, v in kw.items():
        setattr(ds, k, v)
    return write(name, ds, sop)


def write(name, ds, sop):
    path = os.path.join(out, name)
    kvfixtures.save(ds, path, sop, '1.2.3.61.%d' % count[0])
    return pydicom.dcmread(path)


def expect(name, ds, points):
    real = apply_modality_lut(ds.pixel_array, ds).astype(np.float64)
    for x, y in points:
        lines.append('%s %d %d %s' % (name, x, y, '%.2f' % real[y, x]))


def voi_item(entries, bits, data):
    item = Dataset()
    item.add_new(0x00283002, 'US', [entries % 65536, 0, bits])
    item.add_new(0x00283006, 'OW', np.asarray(data, '<u2').tobytes())
    return item


POINTS = [(0, 0), (7, 9), (15, 15), (3, 12)]

# Fractional rescales: signed and unsigned stored values, the extremes included.
s16 = rng.integers(-32768, 32768, (16, 16), dtype=np.int16)
s16[0, 0], s16[9, 7], s16[15, 15] = -287, -32768, 32767
expect('slope05.dcm', save('slope05.dcm', s16, RescaleSlope='0.5', RescaleIntercept='-100'), POINTS)
u12 = rng.integers(0, 4096, (16, 16), dtype=np.uint16)
u12[0, 0], u12[9, 7] = 4095, 1
expect('slope025.dcm', save('slope025.dcm', u12, bits_stored=12, RescaleSlope='0.25', RescaleIntercept='-1024.5'),
       POINTS)
expect('slope25.dcm', save('slope25.dcm', s16, RescaleSlope='2.5', RescaleIntercept='-10.25'), POINTS)
# 1 x 0.005 - 100 is -99.995, which two decimals round by its float64 value.
u12[9, 7], u12[15, 15] = 1, 4095
expect('slope0005.dcm', save('slope0005.dcm', u12, bits_stored=12, RescaleSlope='0.005', RescaleIntercept='-100'),
       POINTS)
# Whole rescales: -32768 - 1024 does not fit 16 bits; values from -1024 up all do.
expect('clamp.dcm', save('clamp.dcm', s16, RescaleSlope='1', RescaleIntercept='-1024'), POINTS)
fits = rng.integers(-1024, 3072, (16, 16), dtype=np.int16)
expect('fits.dcm', save('fits.dcm', fits, RescaleSlope='1', RescaleIntercept='-1024'), POINTS)
# The same with a stored window, which asks for no range of its own: -32768 stored clamps,
# -31744 stored lands on the bound without clamping, and values from -1024 up fit.
WINDOW = dict(RescaleSlope='1', RescaleIntercept='-1024', WindowCenter='40', WindowWidth='400')
expect('clamp_window.dcm', save('clamp_window.dcm', s16, **WINDOW), POINTS)
bound = fits.copy()
bound[9, 7] = -31744
expect('bound_window.dcm', save('bound_window.dcm', bound, **WINDOW), POINTS)
expect('fits_window.dcm', save('fits_window.dcm', fits, **WINDOW), POINTS)
# Unsigned values and a positive intercept pass the highest value instead: 65535 + 1000.
above = (fits.astype(np.int32) + 1024).astype(np.uint16)
above[9, 7] = 65535
expect('clamp_high_window.dcm', save('clamp_high_window.dcm', above, RescaleSlope='1', RescaleIntercept='1000',
                                     WindowCenter='40', WindowWidth='400'), POINTS)

# VOI LUTs: signed data, whose table gives unsigned output; 16-bit data with 8-bit entries.
signed = rng.integers(-3000, 3000, (16, 16), dtype=np.int16)
signed[0, 0] = -2999
expect('voi_signed.dcm', save('voi_signed.dcm', signed, RescaleSlope='1', RescaleIntercept='-1024',
                              VOILUTSequence=[voi_item(4096, 16, np.arange(4096) * 16)]), POINTS)
u16 = rng.integers(0, 65536, (16, 16), dtype=np.uint16)
u16[0, 0] = 65535
expect('voi_8bit.dcm', save('voi_8bit.dcm', u16, sop=MR, VOILUTSequence=[voi_item(4096, 8, np.arange(4096) // 16)]),
       POINTS)

# One bit per pixel, 13 columns: lines that do not end on a byte.
bits = rng.integers(0, 2, (16, 13), dtype=np.uint8)
bits[0, :] = [1, 0, 1, 1, 0, 0, 0, 1, 0, 1, 1, 1, 0]
ds = Dataset()
ds.Modality = 'OT'
ds.Rows, ds.Columns = bits.shape
ds.BitsAllocated, ds.BitsStored, ds.HighBit, ds.PixelRepresentation = 1, 1, 0, 0
ds.SamplesPerPixel, ds.PhotometricInterpretation = 1, 'MONOCHROME2'
ds.PixelData = pack_bits(bits)
expect('onebit.dcm', write('onebit.dcm', ds, SC), [(x, y) for y in (0, 5, 15) for x in (0, 1, 7, 8, 12)])

# 32 bits: values past 16 bits, as they are and rescaled.
s32 = rng.integers(-2000000, 2000000, (16, 16), dtype=np.int32)
s32[0, 0] = -70001
expect('int32.dcm', save('int32.dcm', s32, sop=MR), POINTS)
u32 = rng.integers(0, 4000000, (16, 16), dtype=np.uint32)
expect('int32_slope.dcm', save('int32_slope.dcm', u32, RescaleSlope='0.5', RescaleIntercept='-7.25'), POINTS)


def all_values(name, ds):
    """Every pixel value pydicom reads, one image row a line, in "<name>.values"."""
    with open(os.path.join(out, name + '.values'), 'w') as f:
        for row in ds.pixel_array:
            f.write(' '.join(str(int(v)) for v in row) + '\n')


# Distinct values, 1 a column and 100 a row: a neighbour in either direction reads otherwise.
ramp = (np.arange(64)[None, :] + 100 * np.arange(64)[:, None]).astype(np.uint16)
all_values('ramp64.dcm', save('ramp64.dcm', ramp, sop=MR, WindowCenter='3200', WindowWidth='6400'))
# Rows drawn twice as tall as columns are wide.
all_values('tall64.dcm', save('tall64.dcm', ramp[:32], sop=MR, PixelAspectRatio=[2, 1], WindowCenter='3200',
                              WindowWidth='6400'))

# Multi-valued elements for corner texts of every INDEX: the texts pydicom's values give, two
# decimals for DS (none when whole), and empty past the last value.
ds = Dataset()
ds.Modality = 'MR'
kvfixtures.set_pixels(ds, np.full((16, 16), 100, np.uint16))
ds.PixelSpacing = ['0.5', '0.7']
ds.WindowCenter = ['1024', '40']
ds.WindowWidth = ['400', '80']
ds.FieldOfViewDimensions = ['300', '200']
ds.add_new(0x00540050, 'US', [7, 9, 11])
ds.DiffusionGradientOrientation = [0.25, -0.5, 0.75]
ds = write('corner_values.dcm', ds, MR)
with open(os.path.join(out, 'corner_values.txt'), 'w') as f:
    for tag, vr in ((0x00280030, 'DS'), (0x00281050, 'DS'), (0x00181149, 'IS'), (0x00540050, 'US'),
                    (0x00189089, 'FD')):
        values = list(ds[tag].value)
        for index in (1, 2, 3, 4):
            text = ''
            if index <= len(values) and vr == 'DS':
                text = '%.2f' % float(values[index - 1])
                text = text[:-3] if text.endswith('.00') else text
            elif index <= len(values):
                # FD keeps six decimals.
                text = ('%f' % values[index - 1]) if vr == 'FD' else str(int(values[index - 1]))
            f.write('%04X,%04X %d %s\n' % (tag >> 16, tag & 0xFFFF, index, text))

with open(os.path.join(out, 'expected.txt'), 'w') as f:
    f.write('\n'.join(lines) + '\n')

# No pixel spacing: measurements count image pixels.
save('nospacing.dcm', np.full((128, 128), 100, np.uint8), sop=SC, WindowCenter='128', WindowWidth='256')

# Times of the older form with colons, of the standard one with a fraction, and too short.
for name, time in (('time_colons.dcm', '09:30:15'), ('time_fraction.dcm', '093015.250'), ('time_short.dcm', '0930')):
    ds = Dataset()
    ds.Modality = 'CT'
    kvfixtures.set_pixels(ds, np.full((16, 16), 100, np.uint16))
    ds.add_new(0x00080032, 'TM', time)
    write(name, ds, CT)
