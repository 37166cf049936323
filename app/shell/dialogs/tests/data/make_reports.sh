#!/usr/bin/env bash
# Makes the report dialog's SR documents with pydicom: header values at the edges of the
# formatting rules (also the older dotted date), a short and a long report text.
set -euo pipefail
cd "$(dirname "$0")"
PYTHONPATH=../../../../testsupport/python /usr/bin/python3 -W ignore - <<'PY'
from pydicom.dataset import Dataset
from pydicom.sequence import Sequence
from kvfixtures import save

def text(value):
    c = Dataset()
    c.RelationshipType, c.ValueType, c.TextValue = 'CONTAINS', 'TEXT', value
    return c

def sr(path, uid, charset, name, birth, accession, time, lines, date='20260102'):
    ds = Dataset()
    ds.SOPInstanceUID = uid
    ds.SpecificCharacterSet = charset
    ds.add_new(0x00100010, 'PN', name)
    ds.PatientID, ds.PatientBirthDate, ds.AccessionNumber = 'P45', birth, accession
    ds.StudyDate, ds.StudyTime = date, time
    ds.RequestedProcedureDescription = 'CHEST'
    ds.ValueType = 'CONTAINER'
    ds.ContentSequence = Sequence([text('line %d' % i) for i in range(lines)])
    save(ds, path, '1.2.840.10008.5.1.4.1.1.88.11')

sr('short.dcm', '1.2.9.45.1', 'ISO_IR 192', 'Yamada^Taro=山田^太郎'.encode('utf-8'), '19700101',
   'ACC45678901234567890', '093015.123', 2)
sr('long.dcm', '1.2.9.45.2', 'ISO_IR 100', b'Doe^John', '1970010', 'ACC1', '0930', 200)
# The older dotted date form, and an empty study date.
sr('dotted.dcm', '1.2.9.45.3', 'ISO_IR 100', b'Doe^John', '1997.04.24', 'ACC2', '101500', 1, date='')
PY
