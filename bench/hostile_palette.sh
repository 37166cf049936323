#!/usr/bin/env bash
# A disc of an ordinary image and, in a series of its own, a 3 MB image whose segmented palette
# replays, through indirect segments, 65,535 segments that write nothing; the viewer opens it
# from the command line and saves a screenshot, offscreen: wall time and peak RSS
# (/usr/bin/time). For comparing builds:
#   bench/hostile_palette.sh [build folder, default build]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
viewer=$(find "$build" -name kestro -type f -perm -u+x | head -1)
[ -n "$viewer" ] || { echo "no kestro under $build"; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
PYTHONPATH="$root/app/testsupport/python" /usr/bin/python3 - "$tmp/disc" <<'PY'
import os
import sys
import numpy as np
from pydicom.dataset import Dataset
import kvfixtures as kv

ds = Dataset()
ds.PatientName, ds.PatientID, ds.Modality = 'Palette^Walk', 'PW1', 'OT'
ds.StudyInstanceUID, ds.SeriesInstanceUID = '1.2.826.0.1.3680043.8.498.62.1', '1.2.826.0.1.3680043.8.498.62.2'
ds.SOPInstanceUID = '1.2.826.0.1.3680043.8.498.62.3'
kv.set_pixels(ds, np.arange(64 * 64, dtype=np.uint8).reshape(64, 64) % 256, photometric='PALETTE COLOR')
idle = [0, 0] * 65535 + [2, 65535, 0, 0] * 330000
segments = np.asarray(idle, dtype='<u2').tobytes()
ramp = np.asarray([0, 1, 0, 1, 255, 65535], dtype='<u2').tobytes()
for c, data in zip(range(3), (segments, ramp, ramp)):
    setattr(ds, ('Red', 'Green', 'Blue')[c] + 'PaletteColorLookupTableDescriptor', [256, 0, 16])
    ds.add_new(0x00281221 + c, 'OW', data)
disc = sys.argv[1]
kv.save(ds, f'{disc}/IMG/PAL', '1.2.840.10008.5.1.4.1.1.7')
root = '1.2.826.0.1.3680043.8.498.62.'
kv.mono_image(f'{disc}/IMG/OK', 64, 64, 8, None, bytes(range(256)) * 16, ('Palette^Walk', 'PW1'), root + '1',
              root + '4', root + '5')
study = kv.record('STUDY', [(0x0008, 0x0020, 'DA', '20260101'), (0x0020, 0x000D, 'UI', root + '1')], [
    kv.series_record(root + '4', 1, kv.image_record('IMG\\OK', 5, root)),
    kv.series_record(root + '2', 2, kv.image_record('IMG\\PAL', 3, root))])
patient = kv.record('PATIENT', [(0x0010, 0x0010, 'PN', 'Palette^Walk'), (0x0010, 0x0020, 'LO', 'PW1')], [study])
kv.write_dicomdir(f'{disc}/DICOMDIR', [patient], root + '9')
PY
ls -l "$tmp/disc/IMG/PAL" | awk '{printf "palette image: %.1f MB\n", $5 / 1048576}'
cd "$tmp"
start=$(date +%s.%N)
status=0
QT_QPA_PLATFORM=offscreen HOME="$tmp" TMPDIR="$tmp" timeout 600 /usr/bin/time -v "$viewer" /Agree "$tmp/disc/DICOMDIR" \
    --screenshot "$tmp/shot.png" >"$tmp/out" 2>&1 || status=$?
[ "$status" = 0 ] || head -5 "$tmp/out"
end=$(date +%s.%N)
printf 'exit %d, wall %.1f s, peak RSS %d MB, screenshot %s\n' "$status" "$(echo "$end - $start" | bc)" \
    "$(( $(grep 'Maximum resident' "$tmp/out" | awk '{print $NF}') / 1024 ))" \
    "$([ -s "$tmp/shot.png" ] && echo written || echo missing)"
