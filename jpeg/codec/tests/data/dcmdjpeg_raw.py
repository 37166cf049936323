#!/usr/bin/python3
# Decodes lossless JPEG streams with dcmdjpeg: each line of the list names a stream, its width,
# height, precision and the file for the samples (bytes up to 8 bits, little-endian 16-bit words
# above). Each stream is wrapped as the single frame of a DICOM file with pydicom first.
import subprocess
import sys
import tempfile

import pydicom
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.encaps import encapsulate
from pydicom.uid import generate_uid

with tempfile.TemporaryDirectory() as work:
    for line in open(sys.argv[1]):
        stream, width, height, bits, out = line.split()
        width, height, bits = int(width), int(height), int(bits)
        meta = FileMetaDataset()
        meta.MediaStorageSOPClassUID = '1.2.840.10008.5.1.4.1.1.7'
        meta.MediaStorageSOPInstanceUID = generate_uid()
        meta.TransferSyntaxUID = '1.2.840.10008.1.2.4.57'
        ds = Dataset()
        ds.file_meta = meta
        ds.is_little_endian = True
        ds.is_implicit_VR = False
        ds.SOPClassUID = meta.MediaStorageSOPClassUID
        ds.SOPInstanceUID = meta.MediaStorageSOPInstanceUID
        ds.Modality = 'OT'
        ds.Rows, ds.Columns = height, width
        ds.SamplesPerPixel = 1
        ds.PhotometricInterpretation = 'MONOCHROME2'
        ds.BitsAllocated = 8 if bits <= 8 else 16
        ds.BitsStored = bits
        ds.HighBit = bits - 1
        ds.PixelRepresentation = 0
        ds.PixelData = encapsulate([open(stream, 'rb').read()])
        ds['PixelData'].is_undefined_length = True
        ds.save_as(f'{work}/in.dcm', write_like_original=False)
        subprocess.run(['dcmdjpeg', f'{work}/in.dcm', f'{work}/out.dcm'], check=True)
        open(out, 'wb').write(pydicom.dcmread(f'{work}/out.dcm').PixelData)
