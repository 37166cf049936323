"""What the application's fixture scripts share: DICOM files written by pydicom in explicit VR
little endian, the image pixel module of a numpy array, and DICOMDIRs laid out byte by byte
with their offsets computed, so that record order and values are exactly as a test wants.

A script in app/<layer>/<part>/tests/data imports it with
    PYTHONPATH=../../../../testsupport/python /usr/bin/python3 ...
"""
import os
import struct

from pydicom.dataset import FileMetaDataset
from pydicom.uid import ExplicitVRLittleEndian


def save(ds, path, sop_class, uid=None, name_instance=True):
    """Writes ds under its file meta; uid defaults to the dataset's own instance UID, and with
    name_instance the dataset carries the class and instance UIDs of the meta too."""
    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = sop_class
    meta.MediaStorageSOPInstanceUID = uid or ds.SOPInstanceUID
    meta.TransferSyntaxUID = ExplicitVRLittleEndian
    ds.file_meta = meta
    if name_instance:
        ds.SOPClassUID, ds.SOPInstanceUID = sop_class, meta.MediaStorageSOPInstanceUID
    ds.is_little_endian, ds.is_implicit_VR = True, False
    folder = os.path.dirname(path)
    if folder:
        os.makedirs(folder, exist_ok=True)
    ds.save_as(path, write_like_original=False)


def set_pixels(ds, pixels, photometric='MONOCHROME2', bits_stored=None, signed=None, samples=1):
    """The image pixel module of frames x rows x columns (or rows x columns) samples, or of
    rows x columns x samples for colour; signed, unless said, as the array's type is."""
    frames = pixels.shape[0] if pixels.ndim == 3 and samples == 1 else 1
    ds.Rows, ds.Columns = pixels.shape[-2:] if samples == 1 else pixels.shape[:2]
    ds.BitsAllocated = pixels.dtype.itemsize * 8
    ds.BitsStored = bits_stored or ds.BitsAllocated
    ds.HighBit = ds.BitsStored - 1
    ds.SamplesPerPixel = samples
    ds.PixelRepresentation = int(pixels.dtype.kind == 'i' if signed is None else signed)
    ds.PhotometricInterpretation = photometric
    if samples > 1:
        ds.PlanarConfiguration = 0
    if frames > 1:
        ds.NumberOfFrames = frames
    ds.PixelData = pixels.tobytes()


# ---- DICOMDIRs written element by element (explicit VR little endian).

LONG_VRS = {'OB', 'OW', 'SQ', 'UT', 'UN'}


def element(group, number, vr, value):
    if isinstance(value, str):
        value = value.encode('latin1')
    if len(value) % 2:
        value += b'\0' if vr == 'UI' else b' '
    head = struct.pack('<HH2s', group, number, vr.encode())
    head += struct.pack('<HI', 0, len(value)) if vr in LONG_VRS else struct.pack('<H', len(value))
    return head + value


def us(value):
    return struct.pack('<H', value)


def ul(value):
    return struct.pack('<I', value)


def record(kind, fields, children=()):
    """A directory record: its type, its (group, element, VR, value) fields, its lower level."""
    return dict(kind=kind, fields=list(fields), children=list(children))


def mono_image(path, rows, cols, bits, frames, pixels, patient, study_uid, series_uid, uid,
               sop_class='1.2.840.10008.5.1.4.1.1.7'):
    """A MONOCHROME2 image of unsigned samples; patient is (name, id); frames None leaves out
    Number of Frames."""
    from pydicom.dataset import Dataset
    ds = Dataset()
    ds.PatientName, ds.PatientID = patient
    ds.StudyInstanceUID, ds.SeriesInstanceUID = study_uid, series_uid
    ds.Modality, ds.InstanceNumber = 'OT', 1
    ds.SamplesPerPixel, ds.PhotometricInterpretation = 1, 'MONOCHROME2'
    if frames is not None:
        ds.NumberOfFrames = frames
    ds.Rows, ds.Columns = rows, cols
    ds.BitsAllocated = ds.BitsStored = bits
    ds.HighBit, ds.PixelRepresentation = bits - 1, 0
    ds.PixelData = pixels
    save(ds, path, sop_class, uid)


def cut_after_pixel_header(path, declared):
    """The file's Pixel Data declares `declared` bytes and the file stops after its header, for
    a test to supply the value (a sparse tail, say)."""
    with open(path, 'r+b') as f:
        data = f.read()
        at = data.rindex(b'\xe0\x7f\x10\x00O')
        f.seek(at + 8)
        f.write(struct.pack('<I', declared))
        f.truncate(at + 12)


def image_record(fid, inst, uid_root, frames=None, geometry=None,
                 sop_class='1.2.840.10008.5.1.4.1.1.7'):
    """An IMAGE record for file ID fid; geometry (rows, columns, bits) as the record claims it."""
    f = [(0x0004, 0x1500, 'CS', fid), (0x0004, 0x1510, 'UI', sop_class),
         (0x0004, 0x1511, 'UI', uid_root + str(inst)), (0x0020, 0x0013, 'IS', str(inst))]
    if frames is not None:
        f.append((0x0028, 0x0008, 'IS', str(frames)))
    if geometry:
        rows, cols, bits = geometry
        f += [(0x0028, 0x0010, 'US', us(rows)), (0x0028, 0x0011, 'US', us(cols)), (0x0028, 0x0100, 'US', us(bits))]
    return record('IMAGE', f)


def series_record(uid, num, *kids, modality='OT'):
    return record('SERIES', [(0x0008, 0x0060, 'CS', modality), (0x0020, 0x000E, 'UI', uid),
                             (0x0020, 0x0011, 'IS', str(num))], kids)


def tree(parent, *children):
    parent['children'] = list(children)
    return parent


def write_dicomdir(path, patients, instance_uid, extra_after=None, reverse_stream=False):
    """Each record is linked to its next sibling and its first child; the top level may be any
    record type, and empty for an empty record sequence. The stream is depth first,
    each record followed by its subtree (children in reverse with reverse_stream); extra_after
    maps a record's id to records placed right after it in the stream but linked nowhere."""
    order = []

    def walk(r):
        order.append(r)
        order.extend((extra_after or {}).get(id(r), []))
        for child in reversed(r['children']) if reverse_stream else r['children']:
            walk(child)

    def link(siblings):
        for a, b in zip(siblings, siblings[1:]):
            a['next'] = b
        for a in siblings:
            link(a['children'])

    for p in patients:
        walk(p)
    link(patients)
    pos = {}

    def body(r):
        following, children = r.get('next'), r['children']
        b = element(0x0004, 0x1400, 'UL', ul(pos.get(id(following), 0) if following else 0))
        b += element(0x0004, 0x1410, 'US', us(0xFFFF))
        b += element(0x0004, 0x1420, 'UL', ul(pos.get(id(children[0]), 0) if children else 0))
        b += element(0x0004, 0x1430, 'CS', r['kind'])
        for f in sorted(r['fields'], key=lambda f: (f[0], f[1])):
            b += element(*f)
        return b

    meta = element(0x0002, 0x0001, 'OB', b'\0\1') + element(0x0002, 0x0002, 'UI', '1.2.840.10008.1.3.10') + \
        element(0x0002, 0x0003, 'UI', instance_uid) + element(0x0002, 0x0010, 'UI', '1.2.840.10008.1.2.1')
    head = b'\0' * 128 + b'DICM' + element(0x0002, 0x0000, 'UL', ul(len(meta))) + meta
    head += element(0x0004, 0x1130, 'CS', '')
    # The first pass finds where each record lands, the second writes the offsets.
    for _ in range(2):
        top = element(0x0004, 0x1200, 'UL', ul(pos.get(id(patients[0]), 0) if patients else 0)) + \
            element(0x0004, 0x1202, 'UL', ul(0)) + element(0x0004, 0x1212, 'US', us(0))
        # A bytearray grows in place: a DICOMDIR of 200,000 records is written in seconds.
        at, data = len(head) + len(top) + 12, bytearray()
        for r in order:
            pos[id(r)] = at + len(data)
            b = body(r)
            data += struct.pack('<HHI', 0xFFFE, 0xE000, len(b)) + b
    with open(path, 'wb') as f:
        f.write(head + top + struct.pack('<HH2sHI', 0x0004, 0x1220, b'SQ', 0, len(data)) + bytes(data))
