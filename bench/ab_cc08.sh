#!/usr/bin/env bash
# Paired A/B of this tree's build against commit cc08a9c on the load paths: a CT frame with and
# without a stored window, the DICOMDIR load (sample disc, 2,000 patients), the header scan of
# each referenced file and the first image (DICOMDIR, then its first frame). Each step runs in
# bench/study_ab_probe, built in both trees (the base gets a copy of the probe). Instructions
# per step by callgrind (two runs of R and 2R steps, their difference over R, so start-up and
# first-use costs drop out); wall time as the median of the runs' medians, the two builds taking
# turns. Prints each figure and this/base.
#   bench/ab_cc08.sh [BUILD_DIR (default build/)] [BASE_WORKTREE (default /work/wt/cc08)] [RUNS (default 7)]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
base="${2:-/work/wt/cc08}"
runs="${3:-7}"
command -v valgrind >/dev/null || { echo "valgrind is missing (apt-get install valgrind)"; exit 1; }
command -v dcmodify >/dev/null || { echo "dcmodify is missing (apt-get install dcmtk)"; exit 1; }

if [ ! -d "$base" ]; then
  git -C "$root" worktree add --detach "$base" cc08a9c >/dev/null
fi
if [ ! -f "$base/bench/study_ab_probe.cpp" ]; then
  cp "$root/bench/study_ab_probe.cpp" "$base/bench/"
  # The study library was one target there.
  sed -i 's|^\(  target_compile_definitions(study_decode_bench .*\)$|\1\n  target_link_libraries(study_ab_probe PRIVATE app_study)|' \
    "$base/bench/CMakeLists.txt"
fi
if [ ! -f "$base/build/build.ninja" ]; then
  cmake -S "$base" -B "$base/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_TESTS=OFF -DKV_BENCH=ON \
    -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache >/dev/null
fi
cmake --build "$build" --target study_ab_probe -j4 >/dev/null
cmake --build "$base/build" --target study_ab_probe -j4 >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$root/vek/tests/data/ct_explicit.dcm" "$work/ct_nowin.dcm"
cp "$work/ct_nowin.dcm" "$work/ct_win.dcm"
dcmodify -nb -i "(0028,1050)=40" -i "(0028,1051)=400" "$work/ct_win.dcm"
mkdir -p "$work/p2000/IMG"
PYTHONPATH="$root/app/testsupport/python" /usr/bin/python3 - "$work/p2000" <<'PY'
import os, sys
import numpy as np
import kvfixtures as kv

folder = sys.argv[1]
ROOT = '1.2.826.0.1.3680043.2.1125.71.'
kv.mono_image(os.path.join(folder, 'IMG', 'OK1'), 64, 64, 8, None, np.full((64, 64), 255, np.uint8).tobytes(),
              ('P', 'P'), ROOT + '1', ROOT + '2', ROOT + '3')
tops = []
for p in range(2000):
    series = kv.series_record(ROOT + '2.%d' % p, 1, kv.image_record('IMG\\OK1', p + 1, ROOT + '3.'), modality='CT')
    study = kv.record('STUDY', [(0x0008, 0x0020, 'DA', '20260101'), (0x0020, 0x000D, 'UI', ROOT + '1.%d' % p)],
                      [series])
    tops.append(kv.record('PATIENT', [(0x0010, 0x0010, 'PN', 'PATIENT^%05d' % p), (0x0010, 0x0020, 'LO', 'PID%05d' % p)],
                          [study]))
kv.write_dicomdir(os.path.join(folder, 'DICOMDIR'), tops, ROOT + '9')
PY

echo "processor: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores," \
  "load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "this: $(git -C "$root" rev-parse --short HEAD)  base: $(git -C "$base" rev-parse --short HEAD)"
/usr/bin/python3 - "$build/bench/study_ab_probe" "$base/build/bench/study_ab_probe" "$runs" "$work" "$root" <<'PY'
import os, re, statistics, subprocess, sys

this, base, runs, work, root = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4], sys.argv[5]
env = dict(os.environ, QT_QPA_PLATFORM='offscreen')
sample = os.path.join(root, 'sample', 'DICOMDIR')
p2000 = os.path.join(work, 'p2000', 'DICOMDIR')
# label, mode, path, callgrind steps R, timed steps a run
cases = [('CT load, stored window', 'load', os.path.join(work, 'ct_win.dcm'), 10, 200),
         ('CT load, no window', 'load', os.path.join(work, 'ct_nowin.dcm'), 10, 200),
         ('DICOMDIR load, sample disc', 'dicomdir', sample, 10, 200),
         ('DICOMDIR load, 2,000 patients', 'dicomdir', p2000, 1, 10),
         ('header scan, sample disc', 'scan', sample, 4, 40),
         ('header scan, 2,000 patients', 'scan', p2000, 1, 3),
         ('first image, sample disc', 'first', sample, 4, 40)]


def instructions(probe, mode, path, steps):
    out = os.path.join(work, 'cg.out')
    result = subprocess.run(['valgrind', '--tool=callgrind', '--toggle-collect=*Measured*', '--callgrind-out-file=' + out,
                             probe, mode, path, str(steps)], env=env, capture_output=True, text=True)
    found = re.search(r'Collected : (\d+)', result.stderr)
    if result.returncode != 0 or not found:
        sys.exit('callgrind run failed: %s %s\n%s' % (probe, mode, result.stderr[-2000:]))
    return int(found.group(1))


def per_step(probe, mode, path, steps):
    return (instructions(probe, mode, path, 2 * steps) - instructions(probe, mode, path, steps)) / steps


def timed(probe, mode, path, steps):
    result = subprocess.run([probe, mode, path, str(steps)], env=env, capture_output=True, text=True, check=True)
    return float(result.stdout.split()[1])


print('%-32s %14s %14s %7s %11s %11s %7s' % ('step', 'instr this', 'instr base', 'ratio', 'ms this', 'ms base',
                                              'ratio'))
for label, mode, path, steps, timed_steps in cases:
    ours, theirs = per_step(this, mode, path, steps), per_step(base, mode, path, steps)
    a, b = [], []
    for _ in range(runs):
        a.append(timed(this, mode, path, timed_steps))
        b.append(timed(base, mode, path, timed_steps))
    ma, mb = statistics.median(a), statistics.median(b)
    print('%-32s %14.0f %14.0f %7.3f %11.4f %11.4f %7.3f' % (label, ours, theirs, ours / theirs, ma, mb, ma / mb))
PY
