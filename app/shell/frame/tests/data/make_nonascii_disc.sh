#!/usr/bin/env bash
# Makes the DICOMDIR of the non-ASCII disc with pydicom: three images, each eight folders
# deep, whose Referenced File IDs hold bytes above 0x7F: Latin-1 bytes, UTF-8 bytes, and
# Latin-1 bytes whose folders the test names in UTF-8 (a disc written in a legacy code page
# and mounted with UTF-8 names). The test makes the folders and copies an image into each.
#   app/shell/frame/tests/data/make_nonascii_disc.sh
set -euo pipefail
cd "$(dirname "$0")"
PYTHONPATH=../../../../testsupport/python /usr/bin/python3 -W ignore - <<'PY'
import os
from kvfixtures import record as rec, write_dicomdir

os.makedirs('nonascii', exist_ok=True)
ids = [b'\\'.join([b'L\xc9VEL%d' % i for i in range(8)] + [b'IM\xc91']),
       b'\\'.join([b'U\xc3\x89VEL%d' % i for i in range(8)] + [b'IM\xc3\x891']),
       b'\\'.join([b'W\xe9VEL%d' % i for i in range(8)] + [b'IM\xe91'])]

def I(fid, inst):
    return rec('IMAGE', [(0x0004, 0x1500, 'CS', fid), (0x0004, 0x1510, 'UI', '1.2.840.10008.5.1.4.1.1.7'),
                         (0x0004, 0x1511, 'UI', '1.2.62.9.' + str(inst)), (0x0020, 0x0013, 'IS', '1')])
def E(num, *kids):
    return rec('SERIES', [(0x0008, 0x0060, 'CS', 'OT'), (0x0020, 0x000E, 'UI', '1.2.62.2.' + str(num)),
                          (0x0020, 0x0011, 'IS', str(num))], kids)
study = rec('STUDY', [(0x0008, 0x0020, 'DA', '20260101'), (0x0020, 0x000D, 'UI', '1.2.62.1')],
            [E(k + 1, I(fid, k + 1)) for k, fid in enumerate(ids)])
patients = [rec('PATIENT', [(0x0010, 0x0010, 'PN', 'Names^Abroad'), (0x0010, 0x0020, 'LO', 'N1')], [study])]
write_dicomdir('nonascii/DICOMDIR', patients, '1.2.62.7')
PY
dcmdump nonascii/DICOMDIR | grep -c ReferencedFileID
