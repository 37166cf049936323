"""A DICOM file whose only image is a JPEG stream that breaks off after its first marker.
  write_broken_image.py OUT
"""
import sys

from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.encaps import encapsulate
from pydicom.uid import JPEGBaseline8Bit

sc = '1.2.840.10008.5.1.4.1.1.7'
root = '1.2.826.0.1.3680043.8.498.91'
ds = Dataset()
ds.file_meta = FileMetaDataset()
ds.file_meta.TransferSyntaxUID = JPEGBaseline8Bit
ds.file_meta.MediaStorageSOPClassUID = sc
ds.file_meta.MediaStorageSOPInstanceUID = root + '.3'
ds.SOPClassUID = sc
ds.SOPInstanceUID = root + '.3'
ds.StudyInstanceUID = root + '.1'
ds.SeriesInstanceUID = root + '.2'
ds.PatientName = 'BROKEN^JPEG'
ds.PatientID = 'B1'
ds.Modality = 'OT'
ds.Rows = 16
ds.Columns = 16
ds.SamplesPerPixel = 1
ds.PhotometricInterpretation = 'MONOCHROME2'
ds.BitsAllocated = 8
ds.BitsStored = 8
ds.HighBit = 7
ds.PixelRepresentation = 0
ds.PixelData = encapsulate([b'\xff\xd8\xff\xdb' + bytes(range(200))])
ds['PixelData'].VR = 'OB'
ds['PixelData'].is_undefined_length = True
ds.is_little_endian = True
ds.is_implicit_VR = False
ds.save_as(sys.argv[1], write_like_original=False)
