#!/usr/bin/env bash
# Makes the discs of the study-model tests: small DICOM files (pydicom), a DICOMDIR laid out
# here with computed offsets so that record order, raw JIS bytes, frame counts and SR records
# are exactly as wanted, SR documents, and expected.txt from an independent pydicom walk.
#   app/study/model/tests/data/make_discs.sh [large-disc-folder image-count]
set -euo pipefail
cd "$(dirname "$0")"
PYTHONPATH=../../../../testsupport/python /usr/bin/python3 -W ignore - "$@" <<'PY'
import os, sys
import pydicom
from pydicom.dataset import Dataset
from pydicom.sequence import Sequence
from kvfixtures import record, save, set_pixels, tree, write_dicomdir

def image(path, uid, frames=1):
    ds = Dataset()
    ds.SOPInstanceUID = uid
    ds.PatientName = 'TEST'
    ds.Rows, ds.Columns, ds.BitsAllocated, ds.BitsStored, ds.HighBit = 2, 2, 8, 8, 7
    ds.SamplesPerPixel, ds.PixelRepresentation, ds.PhotometricInterpretation = 1, 0, 'MONOCHROME2'
    if frames > 1:
        ds.NumberOfFrames = frames
    ds.PixelData = bytes(range(4)) * frames
    save(ds, path, '1.2.840.10008.5.1.4.1.1.7')

def content(vt, **kw):
    c = Dataset()
    c.RelationshipType = 'CONTAINS'
    c.ValueType = vt
    for k, v in kw.items():
        setattr(c, k, v)
    return c

def code(meaning):
    d = Dataset(); d.CodeValue = '1'; d.CodingSchemeDesignator = 'L'; d.CodeMeaning = meaning
    return d

def sr(path, items, cls='1.2.840.10008.5.1.4.1.1.88.11', name=b'Doe^John', charset=True):
    ds = Dataset()
    ds.SOPInstanceUID = '1.2.9.' + str(sum(path.encode()))
    if charset:
        ds.SpecificCharacterSet = 'ISO_IR 100'
    ds.add_new(0x00100010, 'PN', name)
    ds.PatientID, ds.PatientBirthDate, ds.AccessionNumber = 'P9', '19700101', 'ACC1'
    ds.StudyDate, ds.StudyTime = '20260102', '101500'
    ds.RequestedProcedureDescription = 'CHEST'
    ds.ValueType = 'CONTAINER'
    ds.ContentSequence = Sequence(items)
    save(ds, path, cls)

# --- SR documents. -------------------------------------------------------------------------
os.makedirs('sr', exist_ok=True)
sr('sr/text.dcm', [content('TEXT', TextValue='A'), content('TEXT', TextValue='B')])
sr('sr/code.dcm', [content('CODE', ConceptCodeSequence=Sequence([code('Normal')]))])
sr('sr/pname.dcm', [content('PNAME', PersonName='Doe^John')])
sr('sr/num.dcm', [content('NUM')])
sr('sr/container.dcm', [content('TEXT', TextValue='A'), content('CONTAINER')])
JIS = b'Yamada^Taro=\x1b$B;3ED\x1b(B^\x1b$BB@O:\x1b(B'
sr('sr/jis.dcm', [content('TEXT', TextValue='A')], name=JIS, charset=False)

# --- Disc A. ------------------------------------------------------------------------------
files = {  # file ID: frames
    'IMG\\I01': 1, 'IMG\\I02': 1, 'IMG\\I03': 1, 'IMG\\I04': 30, 'IMG\\I05': 10, 'IMG\\I06': 1,
    'IMG\\I07': 1, 'IMG\\I08': 1, 'IMG\\I12': 1,
}
for fid, n in files.items():
    image('discA/' + fid.replace('\\', '/'), '1.2.7.' + str(int(fid[-2:])), n)
sr('discA/SR/R01', [content('TEXT', TextValue='A')])
sr('discA/SR/R02', [content('TEXT', TextValue='A')], cls='1.2.840.10008.5.1.4.1.1.88.33')
sr('discA/SR/R03', [content('TEXT', TextValue='A')])
# A document whose content gives no text: the scan's report check drops its series.
sr('discA/SR/R04', [content('NUM')])

# --- Single files opened directly. -----------------------------------------------------------
def single(path, sop_class, frames=None, series_number=None, modality='CT', sr_doc=False):
    ds = Dataset()
    ds.SOPInstanceUID = '1.2.6.' + str(sum(path.encode()))
    ds.SpecificCharacterSet = 'ISO_IR 100'
    ds.PatientName, ds.PatientID, ds.PatientSex = 'Single^One', 'S1', 'F'
    ds.PatientAge, ds.PatientBirthDate = '032Y', '19940203'
    ds.StudyInstanceUID, ds.StudyDate = '1.2.5.' + str(len(path)), '20260304'
    ds.SeriesInstanceUID, ds.Modality, ds.InstanceNumber = '1.2.5.9.' + str(len(path)), modality, 4
    if series_number is not None:
        ds.SeriesNumber = series_number
    if sr_doc:
        ds.ValueType = 'CONTAINER'
        ds.ContentSequence = Sequence([content('TEXT', TextValue='A')])
    else:
        ds.Rows, ds.Columns, ds.BitsAllocated, ds.BitsStored, ds.HighBit = 2, 2, 8, 8, 7
        ds.SamplesPerPixel, ds.PixelRepresentation, ds.PhotometricInterpretation = 1, 0, 'MONOCHROME2'
        if frames is not None:
            ds.NumberOfFrames = frames
        ds.PixelData = bytes(range(4)) * max(frames or 1, 1)
    save(ds, path, sop_class)
single('single/nf0.dcm', '1.2.840.10008.5.1.4.1.1.7', frames=0)
single('single/multi3.dcm', '1.2.840.10008.5.1.4.1.1.7', frames=3, series_number=7)
single('single/basic_sr.dcm', '1.2.840.10008.5.1.4.1.1.88.11', series_number=2, modality='SR', sr_doc=True)
single('single/comp_sr.dcm', '1.2.840.10008.5.1.4.1.1.88.33', series_number=2, modality='SR', sr_doc=True)

def P(name, pid, charset=None, age=None, birth=None, sex='M'):
    f = [(0x0010, 0x0010, 'PN', name), (0x0010, 0x0020, 'LO', pid), (0x0010, 0x0040, 'CS', sex)]
    if charset: f.append((0x0008, 0x0005, 'CS', charset))
    if age: f.append((0x0010, 0x1010, 'AS', age))
    if birth: f.append((0x0010, 0x0030, 'DA', birth))
    return record('PATIENT', f)
def S(uid, mods, date='20260101'):
    return record('STUDY', [(0x0020, 0x000D, 'UI', uid), (0x0008, 0x0020, 'DA', date), (0x0008, 0x0061, 'CS', mods)])
def E(uid, mod, num, desc=''):
    return record('SERIES', [(0x0008, 0x0060, 'CS', mod), (0x0020, 0x000E, 'UI', uid), (0x0020, 0x0011, 'IS', str(num)),
                             (0x0008, 0x103E, 'LO', desc)])
def I(fid, inst, cls='1.2.840.10008.5.1.4.1.1.7', frames=None, kind='IMAGE'):
    f = [(0x0004, 0x1500, 'CS', fid), (0x0004, 0x1510, 'UI', cls), (0x0008, 0x0018, 'UI', '1.2.8.' + str(inst) + fid[-1]),
         (0x0020, 0x0013, 'IS', str(inst))]
    if frames is not None: f.append((0x0028, 0x0008, 'IS', str(frames)))
    return record(kind, f)

def write_dir(path, patients, extra_after=None, reverse_stream=False):
    write_dicomdir(path, patients, '1.2.826.0.1.3680043.2.1125.7', extra_after, reverse_stream)

# Patient 1 holds raw JIS bytes and no (0008,0005).
p1 = tree(P(JIS, 'P1', age='045Y'),
          tree(S('1.2.3.1', 'CT'),
               tree(E('1.2.4.1', 'CT', 5, 'FIVE'), I('IMG\\I01', 3), I('IMG\\I02', 1), I('IMG\\I03', 2), I('IMG\\I06', 1)),
               tree(E('1.2.4.2', 'MR', 2, 'MF'), I('IMG\\I04', 1, frames=30))),
          tree(S('1.2.3.2', ''),
               tree(E('1.2.4.3', '', 1, 'THREE'), I('IMG\\I05', 1, frames=10), I('IMG\\I06', 2, frames=0),
                    I('IMG\\I07', 3, frames=-1)),
               tree(E('1.2.4.4', 'MR', 2), I('IMG\\I08', 1, frames=1))),
          tree(S('1.2.3.3', 'SR'),
               tree(E('1.2.4.5', 'SR', 1), I('SR\\R01', 1, cls='1.2.840.10008.5.1.4.1.1.88.11')),
               tree(E('1.2.4.6', 'SR', 2), I('SR\\R02', 1, cls='1.2.840.10008.5.1.4.1.1.88.33')),
               tree(E('1.2.4.7', 'SR', 3)),
               tree(E('1.2.4.8', 'CT', 4), I('..\\IMG\\I01', 1), I('/etc/passwd', 2))))
report = I('SR\\R03', 1, kind='SR DOCUMENT')
e7 = p1['children'][2]['children'][2]
p2 = tree(P('Doe^John', 'P2', charset='ISO_IR 100'),
          tree(S('1.2.3.4', 'CT'), tree(E('1.2.4.9', 'CT', 1), I('IMG\\I12', 1))))
write_dir('discA/DICOMDIR', [p1, p2], {id(e7): [report]})
# Frame counts 0 and -1 only; and a hostile count far above the file's size.
write_dir('discA/DIRZERO', [tree(P('Zero', 'P3', charset='ISO_IR 100'), tree(S('1.2.3.5', 'CT'),
          tree(E('1.2.4.10', 'CT', 1), I('IMG\\I06', 1, frames=0), I('IMG\\I07', 2, frames=-1))))])
write_dir('discA/DIRHUGE', [tree(P('Huge', 'P4', charset='ISO_IR 100'), tree(S('1.2.3.6', 'CT'),
          tree(E('1.2.4.11', 'CT', 1), I('IMG\\I05', 1, frames=2147483647))))])
# Two report series whose stream order is the reverse of the offset tree's order.
ea, eb = tree(E('1.2.4.12', 'SR', 1)), tree(E('1.2.4.13', 'SR', 1))
ra, rb = I('SR\\R01', 1, kind='SR DOCUMENT'), I('SR\\R03', 1, kind='SR DOCUMENT')
write_dir('discA/DIRSWAP', [tree(P('Swap', 'P5', charset='ISO_IR 100'), tree(S('1.2.3.7', 'SR'), ea),
                                 tree(S('1.2.3.8', 'SR'), eb))], {id(ea): [ra], id(eb): [rb]}, reverse_stream=True)
# A report series without text beside a readable one and an image series.
write_dir('discA/DIRSRUN', [tree(P('Report', 'P6', charset='ISO_IR 100'), tree(S('1.2.3.9', 'CT'),
          tree(E('1.2.4.14', 'SR', 1), I('SR\\R04', 1, cls='1.2.840.10008.5.1.4.1.1.88.11')),
          tree(E('1.2.4.15', 'SR', 2), I('SR\\R01', 1, cls='1.2.840.10008.5.1.4.1.1.88.11')),
          tree(E('1.2.4.16', 'CT', 3), I('IMG\\I01', 1))))])

# --- Expected values, read back by pydicom. -------------------------------------------------
d = pydicom.dcmread('discA/DICOMDIR')
with open('expected.txt', 'w', encoding='utf-8') as out:
    for r in d.DirectoryRecordSequence:
        t = r.DirectoryRecordType
        if t == 'PATIENT':
            raw = r.get_item(0x00100010).value
            out.write('PATIENT\t%s\t%s\n' % (raw.decode('iso2022_jp'), r.get('PatientAge', '')))
        elif t in ('IMAGE', 'SR DOCUMENT'):
            out.write('%s\t%s\t%s\t%s\n' % (t, '/'.join(r.ReferencedFileID) if r.ReferencedFileID.__class__ != str else r.ReferencedFileID,
                                             r.get('InstanceNumber', ''), r.get('NumberOfFrames', '')))
        else:
            out.write('%s\n' % t)
    raw = pydicom.dcmread('sr/jis.dcm').get_item(0x00100010).value
    out.write('SRJIS\t%s\n' % raw.decode('iso2022_jp'))
# --- The sample disc the README names (repository's sample/): two patients as a hospital
# disc holds them; image 1 of the MR is four flat quadrants its window maps to 0, 85, 170, 255.
import subprocess, shutil
import numpy as np
SAMPLE = '../../../../../sample'
shutil.rmtree(SAMPLE, ignore_errors=True)
os.makedirs(SAMPLE + '/DICOM')
JIS_CS = ['', 'ISO 2022 IR 87']
# The files and the DICOMDIR's records give the one study date (and birth date and sex).
SAMPLE_STUDY_DATE = '20260315'
CT_CLS, MR_CLS, CR_CLS = '1.2.840.10008.5.1.4.1.1.2', '1.2.840.10008.5.1.4.1.1.4', '1.2.840.10008.5.1.4.1.1.1'
XA_CLS, TEXT_SR = '1.2.840.10008.5.1.4.1.1.12.1', '1.2.840.10008.5.1.4.1.1.88.11'

def sample_file(fid, sop_class, uid, pat, study, series, number, pixels=None, **kw):
    ds = Dataset()
    ds.SOPInstanceUID = uid
    if pat['jis']:
        ds.SpecificCharacterSet = JIS_CS
    ds.add_new(0x00100010, 'PN', pat['name'])
    ds.PatientID, ds.PatientSex, ds.PatientBirthDate = pat['id'], pat['sex'], pat['birth']
    ds.StudyInstanceUID, ds.StudyDate, ds.StudyTime = study, SAMPLE_STUDY_DATE, '093000'
    ds.SeriesInstanceUID, ds.SeriesNumber, ds.InstanceNumber = series['uid'], series['num'], number
    ds.Modality = series['mod']
    if pixels is not None:
        set_pixels(ds, pixels.astype(pixels.dtype.newbyteorder('<')))
    for k, v in kw.items():
        setattr(ds, k, v)
    path = SAMPLE + '/' + fid.replace('\\', '/')
    save(ds, path, sop_class)
    return path

def compress(path, option):
    # The file keeps its UID (the DICOMDIR's record names it), lossy or not.
    subprocess.run(['dcmcjpeg', option, '+un', path, path + '.j'], check=True)
    os.replace(path + '.j', path)

yy, xx = np.mgrid[0:256, 0:256]
P1 = dict(name=JIS, id='KV0001', sex='M', birth='19610412', jis=True)
P2 = dict(name=b'Suzuki^Hanako', id='KV0002', sex='F', birth='19780830', jis=False)
ST1, ST2 = '1.2.392.200036.9125.1.1', '1.2.392.200036.9125.1.2'
CT = dict(uid=ST1 + '.1', num=1, mod='CT')
MR = dict(uid=ST1 + '.2', num=2, mod='MR')
SRS = dict(uid=ST1 + '.3', num=3, mod='SR')
CR = dict(uid=ST2 + '.1', num=1, mod='CR')
XA = dict(uid=ST2 + '.2', num=2, mod='XA')
recs = {'CT': [], 'MR': [], 'SR': [], 'CR': [], 'XA': []}

def sample_record(key, fid, cls, uid, number, frames=None, kind='IMAGE'):
    f = [(0x0004, 0x1500, 'CS', fid), (0x0004, 0x1510, 'UI', cls), (0x0004, 0x1511, 'UI', uid),
         (0x0004, 0x1512, 'UI', '1.2.840.10008.1.2.1'), (0x0020, 0x0013, 'IS', str(number))]
    if frames is not None:
        f.append((0x0028, 0x0008, 'IS', str(frames)))
    recs[key].append(record(kind, f))

# CT: a water disc with a bone ring, signed, lossless JPEG.
for k in range(4):
    r = np.hypot(xx - 128, yy - 128)
    hu = np.where(r < 100, 0, -1000) + np.where((r > 88) & (r < 100), 900 + 20 * k, 0) + (xx // 32) * 5
    fid, uid = 'DICOM\\CT%04d' % (k + 1), CT['uid'] + '.%d' % (k + 1)
    compress(sample_file(fid, CT_CLS, uid, P1, ST1, CT, k + 1, hu.astype(np.int16), WindowCenter='40',
                         WindowWidth='400', RescaleIntercept='0', RescaleSlope='1'), '+e1')
    if fid.endswith('1'):
        lossless_ts = pydicom.dcmread(SAMPLE + '/' + fid.replace('\\', '/')).file_meta.TransferSyntaxUID
    sample_record('CT', fid, CT_CLS, uid, k + 1)
    recs['CT'][-1]['fields'][3] = (0x0004, 0x1512, 'UI', str(lossless_ts))
# MR: image 1 the four quadrants; the others a ramp.
for k in range(4):
    if k == 0:
        mr = np.select([(yy < 128) & (xx < 128), yy < 128, xx < 128], [0, 341, 681], 1023)
    else:
        mr = (xx + yy) * 2 + k * 100
    fid, uid = 'DICOM\\MR%04d' % (k + 1), MR['uid'] + '.%d' % (k + 1)
    sample_file(fid, MR_CLS, uid, P1, ST1, MR, k + 1, mr.astype(np.uint16), WindowCenter='512', WindowWidth='1024')
    sample_record('MR', fid, MR_CLS, uid, k + 1)
# A Basic Text SR.
sr_ds_items = [content('TEXT', TextValue='No acute intracranial findings.'),
               content('TEXT', TextValue='Follow-up in six months.')]
fid, uid = 'DICOM\\SR0001', SRS['uid'] + '.1'
sample_file(fid, TEXT_SR, uid, P1, ST1, SRS, 1, ValueType='CONTAINER', ContentSequence=Sequence(sr_ds_items),
            ConceptNameCodeSequence=Sequence([code('Report')]), CompletionFlag='COMPLETE',
            VerificationFlag='UNVERIFIED')
sample_record('SR', fid, TEXT_SR, uid, 1, kind='SR DOCUMENT')
# CR: 8-bit, baseline JPEG.
cr = (np.hypot(xx - 100, yy - 140) / 2 + xx // 4).clip(0, 255).astype(np.uint8)
fid, uid = 'DICOM\\CR0001', CR['uid'] + '.1'
compress(sample_file(fid, CR_CLS, uid, P2, ST2, CR, 1, cr, WindowCenter='128', WindowWidth='256'), '+eb')
sample_record('CR', fid, CR_CLS, uid, 1)
recs['CR'][-1]['fields'][3] = (0x0004, 0x1512, 'UI', '1.2.840.10008.1.2.4.50')
# A 10-frame run, frame k a bar at its own place.
yf, xf = np.mgrid[0:128, 0:128]
run = np.stack([np.where((xf >= 12 * k) & (xf < 12 * k + 12), 230, 40 + yf // 4) for k in range(10)]).astype(np.uint8)
fid, uid = 'DICOM\\XA0001', XA['uid'] + '.1'
sample_file(fid, XA_CLS, uid, P2, ST2, XA, 1, run, WindowCenter='128', WindowWidth='256')
sample_record('XA', fid, XA_CLS, uid, 1, frames=10)

def sample_series(s, desc):
    e = E(s['uid'], s['mod'], s['num'], desc)
    return tree(e, *recs[s['mod']])
p1 = tree(P(JIS, 'KV0001', charset='\\ISO 2022 IR 87', birth=P1['birth'], sex=P1['sex']),
          tree(S(ST1, 'CT\\MR\\SR', SAMPLE_STUDY_DATE), sample_series(CT, 'HEAD PLAIN'), sample_series(MR, 'T2 AX'),
               sample_series(SRS, 'REPORT')))
p2 = tree(P('Suzuki^Hanako', 'KV0002', charset='ISO_IR 100', birth=P2['birth'], sex=P2['sex']),
          tree(S(ST2, 'CR\\XA', SAMPLE_STUDY_DATE), sample_series(CR, 'CHEST PA'), sample_series(XA, 'RUN')))
write_dir(SAMPLE + '/DICOMDIR', [p1, p2])
PY
