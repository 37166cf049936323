#!/usr/bin/env bash
# Makes the discs of the DICOMDIR-shape tests in discs/: small images (pydicom), DICOMDIRs
# laid out here (records deepest level first; a last item longer than the data) and by
# dcmmkdir (ten patients, then one PATIENT record turned into a record of another type),
# plus the deeply nested fixtures. Expected values come from pydicom's FileSet and dcmdump:
# discs/expected.txt. The damaged tails are made again by the tests from the seeds below.
#   vek/tests/data/make_dicomdir_discs.sh
set -euo pipefail
cd "$(dirname "$0")"
py=/usr/bin/python3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
rm -rf discs
mkdir -p discs

"$py" -W ignore - "$tmp" <<'PY'
import os, struct, sys
import pydicom
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.fileset import FileSet
from pydicom.sequence import Sequence
from pydicom.uid import ExplicitVRLittleEndian

tmp = sys.argv[1]
CT = '1.2.840.10008.5.1.4.1.1.7'

def image(path, patient, study, series, n):
    ds = Dataset()
    ds.file_meta = FileMetaDataset()
    ds.file_meta.MediaStorageSOPClassUID = CT
    ds.file_meta.MediaStorageSOPInstanceUID = f'1.2.826.0.1.3680043.2.1125.54.{n}'
    ds.file_meta.TransferSyntaxUID = ExplicitVRLittleEndian
    ds.is_little_endian, ds.is_implicit_VR = True, False
    ds.SOPClassUID, ds.SOPInstanceUID = CT, ds.file_meta.MediaStorageSOPInstanceUID
    ds.PatientName, ds.PatientID = f'PATIENT^{patient}', f'PID{patient}'
    ds.StudyInstanceUID = f'1.2.826.0.1.3680043.2.1125.52.{study}'
    ds.StudyDate, ds.StudyTime, ds.StudyID = '20260101', '120000', str(study)
    ds.SeriesInstanceUID = f'1.2.826.0.1.3680043.2.1125.53.{series}'
    ds.SeriesNumber, ds.Modality, ds.InstanceNumber = series, 'OT', n
    ds.Rows, ds.Columns, ds.BitsAllocated, ds.BitsStored, ds.HighBit = 2, 2, 8, 8, 7
    ds.SamplesPerPixel, ds.PixelRepresentation, ds.PhotometricInterpretation = 1, 0, 'MONOCHROME2'
    ds.PixelData = bytes([n % 256, 0, 255, 128])
    os.makedirs(os.path.dirname(path), exist_ok=True)
    ds.save_as(path, write_like_original=False)

# --- A DICOMDIR writer: explicit VR little endian, items and sequence of defined length. ---
LONG = {'OB', 'OW', 'OF', 'SQ', 'UT', 'UN'}
def elem(group, element, vr, value):
    if isinstance(value, str):
        value = value.encode('latin1')
        if len(value) % 2:
            value += b'\0' if vr == 'UI' else b' '
    head = struct.pack('<HH2s', group, element, vr.encode())
    head += struct.pack('<HI', 0, len(value)) if vr in LONG else struct.pack('<H', len(value))
    return head + value
ul = lambda v: struct.pack('<I', v)

def record_body(r, positions, offsets=True):
    off = lambda v: positions.get(v, 0) if v else 0
    body = b''
    if offsets:
        body += elem(0x0004, 0x1400, 'UL', ul(off(r.get('next'))))
    body += elem(0x0004, 0x1410, 'US', struct.pack('<H', 0xFFFF))
    if offsets:
        body += elem(0x0004, 0x1420, 'UL', ul(off(r.get('lower'))))
    body += elem(0x0004, 0x1430, 'CS', r['type'])
    for g, e, vr, v in r['values']:
        body += v if vr == 'RAW' else elem(g, e, vr, v)
    return body

def write_dir(path, records, cut_last=False):
    """records: dicts of type, id, next, lower (ids), values; stored in list order."""
    meta = elem(0x0002, 0x0001, 'OB', b'\0\1') + elem(0x0002, 0x0002, 'UI', '1.2.840.10008.1.3.10') + \
        elem(0x0002, 0x0003, 'UI', '1.2.826.0.1.3680043.2.1125.54.99') + \
        elem(0x0002, 0x0010, 'UI', '1.2.840.10008.1.2.1')
    head = b'\0' * 128 + b'DICM' + elem(0x0002, 0x0000, 'UL', ul(len(meta))) + meta + elem(0x0004, 0x1130, 'CS', '')
    roots = [r for r in records if r['type'] == 'PATIENT']
    positions = {}
    for _ in range(2):  # offsets have a fixed size: the second round places them right
        top = elem(0x0004, 0x1200, 'UL', ul(positions.get(roots[0]['id'], 0))) + \
            elem(0x0004, 0x1202, 'UL', ul(positions.get(roots[-1]['id'], 0))) + \
            elem(0x0004, 0x1212, 'US', struct.pack('<H', 0))
        at = len(head) + len(top) + 12
        data = b''
        for k, r in enumerate(records):
            last = cut_last and k == len(records) - 1
            body = record_body(r, positions, offsets=not last)
            positions[r['id']] = at + len(data)
            # The last item counts the two offset elements that it does not hold.
            data += struct.pack('<HHI', 0xFFFE, 0xE000, len(body) + (24 if last else 0)) + body
    open(path, 'wb').write(head + top + struct.pack('<HH2sHI', 0x0004, 0x1220, b'SQ', 0, len(data)) + data)

def make_tree(disc, layout):
    """layout: [(patient, [(study, [(series, images)])])]; writes the images, returns the records."""
    n = 0
    tree = []
    for patient, studies in layout:
        p = dict(type='PATIENT', id=f'p{patient}', values=[(0x0010, 0x0010, 'PN', f'PATIENT^{patient}'),
                                                           (0x0010, 0x0020, 'LO', f'PID{patient}')], kids=[])
        tree.append(p)
        for study, series_list in studies:
            s = dict(type='STUDY', id=f's{study}', values=[
                (0x0008, 0x0020, 'DA', '20260101'), (0x0008, 0x0030, 'TM', '120000'),
                (0x0020, 0x000D, 'UI', f'1.2.826.0.1.3680043.2.1125.52.{study}'), (0x0020, 0x0010, 'SH', str(study))],
                kids=[])
            p['kids'].append(s)
            for series, count in series_list:
                e = dict(type='SERIES', id=f'e{series}', values=[
                    (0x0008, 0x0060, 'CS', 'OT'), (0x0020, 0x000E, 'UI', f'1.2.826.0.1.3680043.2.1125.53.{series}'),
                    (0x0020, 0x0011, 'IS', str(series))], kids=[])
                s['kids'].append(e)
                for _ in range(count):
                    n += 1
                    image(f'{disc}/IMAGES/IM{n:04d}', patient, study, series, n)
                    uid = f'1.2.826.0.1.3680043.2.1125.54.{n}'
                    e['kids'].append(dict(type='IMAGE', id=f'i{n}', kids=[], values=[
                        (0x0004, 0x1500, 'CS', f'IMAGES\\IM{n:04d}'), (0x0004, 0x1510, 'UI', CT),
                        (0x0004, 0x1511, 'UI', uid), (0x0004, 0x1512, 'UI', '1.2.840.10008.1.2.1'),
                        (0x0020, 0x0013, 'IS', str(n))]))
    def link(siblings):
        for a, b in zip(siblings, siblings[1:]):
            a['next'] = b['id']
        for r in siblings:
            if r['kids']:
                r['lower'] = r['kids'][0]['id']
                link(r['kids'])
    link(tree)
    return tree

def deepest_first(records):
    out = []
    for r in records:
        for k in r['kids']:
            out += deepest_first([k])
        out.append(r)
    return out

def tree_order(records):
    out = []
    for r in records:
        out.append(r)
        out += tree_order(r['kids'])
    return out

def key(ds):
    t = ds.DirectoryRecordType
    return {'PATIENT': lambda: ds.PatientID, 'STUDY': lambda: ds.StudyInstanceUID,
            'SERIES': lambda: ds.SeriesInstanceUID, 'IMAGE': lambda: '\\'.join(ds.ReferencedFileID)}.get(t, lambda: '')()

def fileset_lines(name, path):
    """The tree as pydicom's FileSet walks the offsets: type, depth, position, key."""
    fs = FileSet(pydicom.dcmread(path))
    lines = []
    def walk(node, depth):
        ds = node._record
        lines.append('\t'.join([name, ds.DirectoryRecordType, str(depth), str(node._offset), key(ds)]))
        for child in node.children:
            walk(child, depth + 1)
    for child in fs._tree.children:
        walk(child, 0)
    return lines

expected = []
# Deepest level first: each IMAGE before its SERIES, each SERIES before its STUDY, and so on.
os.makedirs('discs/deepest', exist_ok=True)
tree = make_tree('discs/deepest', [(1, [(1, [(1, 8), (2, 7)])]), (2, [(2, [(3, 6)]), (3, [(4, 6)])]),
                                   (3, [(4, [(5, 13)])])])
records = deepest_first(tree)
assert records[0]['type'] == 'IMAGE' and sum(r['type'] == 'IMAGE' for r in records) == 40
write_dir('discs/deepest/DICOMDIR', records)
expected += fileset_lines('deepest', 'discs/deepest/DICOMDIR')

# The last item declares 24 bytes more than remain: its two offset elements are missing.
os.makedirs('discs/cutlast', exist_ok=True)
tree = make_tree('discs/cutlast', [(1, [(1, [(1, 2)])]), (2, [(2, [(2, 3)])])])
write_dir('discs/cutlast/DICOMDIR', tree_order(tree), cut_last=True)
with open('discs/cutlast/DICOMDIR', 'rb') as f:
    blob = f.read()
# pydicom reads the cut item too: it is the whole tree in stream order.
from pydicom.filereader import read_preamble, _read_file_meta_info, read_dataset
with open('discs/cutlast/DICOMDIR', 'rb') as fp:
    fp.seek(132)
    _read_file_meta_info(fp)
    try:
        ds = read_dataset(fp, is_implicit_VR=False, is_little_endian=True)
        cut_records = list(ds.DirectoryRecordSequence)
    except Exception:
        cut_records = []
depth = {'PATIENT': 0, 'STUDY': 1, 'SERIES': 2, 'IMAGE': 3}
expected += ['\t'.join(['cutlast', r.DirectoryRecordType, str(depth[r.DirectoryRecordType]), str(r.seq_item_tell),
                        key(r)]) for r in cut_records]
assert len(cut_records) == 11, len(cut_records)

# One record holding a private sequence nested eleven deep (pydicom writes it), with defined
# lengths, and with the innermost sequence of undefined length.
from pydicom.filebase import DicomBytesIO
from pydicom.filewriter import write_dataset
def nested(levels, undefined_innermost=False, top=True):
    ds = Dataset()
    if top:
        ds.add_new(0x00090010, 'LO', 'KESTRO DEEP')
    inner = Dataset()
    inner.add_new(0x00090010, 'LO', 'KESTRO DEEP')
    if levels > 1:
        inner.update(nested(levels - 1, undefined_innermost, False))
    else:
        inner.add_new(0x00091011, 'LO', 'BOTTOM')
    ds.add_new(0x00091010, 'SQ', Sequence([inner]))
    if levels == 1 and undefined_innermost:
        ds[0x00091010].is_undefined_length = True
    return ds
def raw(ds):
    f = DicomBytesIO()
    f.is_little_endian, f.is_implicit_VR = True, False
    write_dataset(f, ds)
    return f.getvalue()
for name, levels, undefined in (('deep_dir', 11, False), ('deep_dir_open', 11, True), ('deep_dir10', 10, False)):
    os.makedirs(f'discs/{name}', exist_ok=True)
    tree = make_tree(f'{tmp}/{name}', [(1, [(1, [(1, 2)])]), (2, [(2, [(2, 3)])])])
    records = tree_order(tree)
    deep = [r for r in records if r['id'] == 'i2'][0]
    deep['values'].insert(4, (0x0009, 0x0010, 'RAW', raw(nested(levels, undefined))))
    write_dir(f'discs/{name}/DICOMDIR', records)
    ds = pydicom.dcmread(f'discs/{name}/DICOMDIR')
    assert len(ds.DirectoryRecordSequence) == 11
    # Instance Number after the deep sequence, as pydicom reads it back.
    expected.append('\t'.join([name, 'instance', str(ds.DirectoryRecordSequence[4].InstanceNumber)]))

# An image whose private sequence is nested twelve deep before its pixel data.
image('discs/deep_private.dcm', 1, 1, 1, 7)
ds = pydicom.dcmread('discs/deep_private.dcm')
ds.update(nested(12))
ds.save_as('discs/deep_private.dcm', write_like_original=False)
back = pydicom.dcmread('discs/deep_private.dcm')
expected.append('\t'.join(['deep_private', 'pixels'] + [str(b) for b in back.PixelData]))

open('discs/expected.txt', 'w').write('\n'.join(expected) + '\n')

# Ten patients for dcmmkdir: one study, one series and three images each.
n = 0
for patient in range(1, 11):
    for k in range(3):
        n += 1
        image(f'{tmp}/ten/IMAGES/IM{n:04d}', patient, patient, patient, n)
PY

# dcmmkdir writes the ten-patient DICOMDIR as a real medium would hold it.
(cd "$tmp/ten" && dcmmkdir -q +I +r -Pgp +id . +D DICOMDIR IMAGES)
mkdir -p discs/ten
cp -r "$tmp/ten/IMAGES" "$tmp/ten/DICOMDIR" discs/ten/

"$py" -W ignore - "$tmp" <<'PY'
import os, re, shutil, subprocess, sys
import pydicom
tmp = sys.argv[1]
base = open('discs/ten/DICOMDIR', 'rb').read()
expected = []

def dcmdump_counts(blob):
    path = f'{tmp}/dump'
    open(path, 'wb').write(blob)
    out = subprocess.run(['dcmdump', '+E', '+Ep', path], capture_output=True, text=True, errors='replace').stdout
    types = re.findall(r'\(0004,1430\) CS \[(\w+)', out)
    return types.count('PATIENT'), types.count('STUDY'), types.count('SERIES'), types.count('IMAGE')

def tail(seed, size, kind):
    # xorshift32: the tests make the same bytes from the seed.
    if kind == 'zero':
        return bytes(size)
    x, out = seed, bytearray()
    for _ in range(size):
        x ^= (x << 13) & 0xFFFFFFFF
        x ^= x >> 17
        x ^= (x << 5) & 0xFFFFFFFF
        out.append(x & 0xFF)
    return bytes(out)

whole = dcmdump_counts(base)
assert whole == (10, 10, 10, 30), whole
lines = []
for kind in ('zero', 'random'):
    for seed in range(1, 21):
        blob = base[:-300] + tail(seed, 300, kind)
        lines.append('\t'.join(['tail', kind, str(seed)] + [str(c) for c in dcmdump_counts(blob)]))

# One PATIENT record turned into a record of another type: the first, and the fourth.
def retyped(which):
    blob = bytearray(base)
    at = [m.start() for m in re.finditer(rb'PATIENT ', bytes(blob))]
    # Only the record types, not the names: the value of a (0004,1430) element.
    at = [a for a in at if blob[a - 8:a - 4] == b'\x04\x00\x30\x14']
    assert len(at) == 10, len(at)
    blob[at[which]:at[which] + 8] = b'UNKNOWN '
    return bytes(blob)
for name, which in (('unknown_first', 0), ('unknown_later', 3)):
    blob = retyped(which)
    os.makedirs(f'discs/{name}', exist_ok=True)
    shutil.copytree('discs/ten/IMAGES', f'discs/{name}/IMAGES')
    open(f'discs/{name}/DICOMDIR', 'wb').write(blob)
    assert dcmdump_counts(blob) == (9, 10, 10, 30)
    # The record that lost its type still leads to its study through its offset.
    ds = pydicom.dcmread(f'discs/{name}/DICOMDIR')
    unknown = [r for r in ds.DirectoryRecordSequence if r.DirectoryRecordType == 'UNKNOWN']
    assert len(unknown) == 1 and unknown[0].OffsetOfReferencedLowerLevelDirectoryEntity != 0
    lines.append('\t'.join([name, 'types', unknown[0].PatientID] + [str(c) for c in dcmdump_counts(blob)]))
# dcmdump reads the deep records whole: every record, and the element after the sequence.
for name in ('deep_dir', 'deep_dir_open', 'deep_dir10'):
    blob = open(f'discs/{name}/DICOMDIR', 'rb').read()
    assert dcmdump_counts(blob) == (2, 2, 2, 5), name
    out = subprocess.run(['dcmdump', '+E', '+Ep', f'discs/{name}/DICOMDIR'], capture_output=True, text=True).stdout
    assert '(0020,0013) IS [2]' in out and 'BOTTOM' in out, name
out = subprocess.run(['dcmdump', 'discs/deep_private.dcm'], capture_output=True, text=True).stdout
assert 'BOTTOM' in out and '(7fe0,0010)' in out
open('discs/tails.txt', 'w').write('\n'.join(lines) + '\n')
PY
echo "made $(find discs -type f | wc -l) files"
