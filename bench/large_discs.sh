#!/usr/bin/env bash
# Large discs, by the real program and through the real frame in the tests, offscreen.
# 1. The program ("kestro --screenshot", terms accepted, a runtime folder of its own) from
#    start to its first images on four discs made here: 50,000 patients of one image each
#    (200,000 records), 150,000 patients (600,000 records, past the DICOMDIR's budget), one
#    study of 20,000 series, one series of 20,000 images; wall time and peak RSS, for this build
#    and, when given, a build to compare (before).
# 2. A corner-text file of 200,000 attributes on one element, and one of 15 MiB of nested
#    elements, beside a copy of the program on the sample disc.
# 3. The large-disc tests of app_shell_frame_tests (optimised build): File Open to the first entry,
#    the longest GUI stall, peak RSS and threads, a patient-bar double-click among 50,000
#    patients, 20,000 series of two images. The tests assert counts only; these figures are
#    printed here and never asserted.
#   bench/large_discs.sh [BUILD_DIR (default build/)] [BEFORE_BUILD_DIR]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
before="${2:-}"
echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg) (shared machines vary)"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The discs are made by a process of their own: a child started by the timing process would
# begin with that process's peak resident size as its own.
PYTHONPATH="$root/app/testsupport/python" /usr/bin/python3 - "$work" <<'PY'
import os, sys
import numpy as np
import kvfixtures as kv

work = sys.argv[1]
ROOT = '1.2.826.0.1.3680043.2.1125.67.'


def image(fid, n):
    return kv.image_record(fid, n, ROOT + '3.')


def disc_patients(folder, patients):
    tops = []
    for p in range(patients):
        series = kv.series_record(ROOT + '2.%d' % p, 1, image('IMG\\OK1', p + 1), modality='CT')
        study = kv.record('STUDY', [(0x0008, 0x0020, 'DA', '20260101'), (0x0020, 0x000D, 'UI', ROOT + '1.%d' % p)],
                          [series])
        tops.append(kv.record('PATIENT', [(0x0010, 0x0010, 'PN', 'PATIENT^%05d' % p),
                                          (0x0010, 0x0020, 'LO', 'PID%05d' % p)], [study]))
    kv.write_dicomdir(os.path.join(folder, 'DICOMDIR'), tops, ROOT + '9')


def disc_study(folder, series_count, images_per_series):
    series, n = [], 0
    for s in range(series_count):
        kids = []
        for i in range(images_per_series):
            n += 1
            kids.append(image('IMG\\OK1', n))
        series.append(kv.series_record(ROOT + '2.%d' % s, s + 1, *kids, modality='CT'))
    study = kv.record('STUDY', [(0x0008, 0x0020, 'DA', '20260101'), (0x0020, 0x000D, 'UI', ROOT + '1')], series)
    patient = kv.record('PATIENT', [(0x0010, 0x0010, 'PN', 'PATIENT^1'), (0x0010, 0x0020, 'LO', 'PID1')], [study])
    kv.write_dicomdir(os.path.join(folder, 'DICOMDIR'), [patient], ROOT + '9')


for name, make in [('patients', lambda f: disc_patients(f, 50000)), ('patients150k', lambda f: disc_patients(f, 150000)),
                   ('series', lambda f: disc_study(f, 20000, 1)), ('images', lambda f: disc_study(f, 1, 20000))]:
    folder = os.path.join(work, name)
    os.makedirs(os.path.join(folder, 'IMG'))
    pixels = np.full((64, 64), 255, np.uint8)
    kv.mono_image(os.path.join(folder, 'IMG', 'OK1'), 64, 64, 8, None, pixels.tobytes(), ('P', 'P'),
                  ROOT + '1', ROOT + '2', ROOT + '3')
    make(folder)
PY
/usr/bin/python3 - "$work" "$build" "$before" "$root/sample/DICOMDIR" <<'PY'
import os, shutil, subprocess, sys, tempfile, time

work = sys.argv[1]
builds = [('after', sys.argv[2])] + ([('before', sys.argv[3])] if sys.argv[3] else [])


def run(viewer, disc, env, shot):
    start = time.perf_counter()
    proc = subprocess.Popen([viewer, '--screenshot', shot, '/Agree', disc], env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    return time.perf_counter() - start, usage.ru_maxrss / 1024, os.waitstatus_to_exitcode(status)


screen = os.path.join(work, 'screen.json')
with open(screen, 'w') as f:
    f.write('{ "screens": [ { "name": "b", "x": 0, "y": 0, "width": 1280, "height": 1024, "logicalDpi": 96 } ] }')
discs = [('50,000 patients (200,000 records)', 'patients'), ('150,000 patients (600,000 records)', 'patients150k'),
         ('one study of 20,000 series', 'series'), ('one series of 20,000 images', 'images')]
for label, name in discs:
    # Each build runs twice, in turn; the second runs are reported (warm file caches).
    for round in range(2):
        for which, build in builds:
            home = tempfile.mkdtemp(dir=work)
            env = dict(os.environ, HOME=home, TMPDIR=home, XDG_RUNTIME_DIR=home, XDG_DATA_HOME=home,
                       QT_QPA_PLATFORM='offscreen:configfile=' + screen)
            viewer = os.path.join(build, 'viewer', 'kestro')
            t, rss, code = run(viewer, os.path.join(work, name, 'DICOMDIR'), env, os.path.join(home, 's.bmp'))
            if round == 1:
                print('[ program ] %-36s %-6s %6.0f ms to the first images, peak RSS %5.0f MB%s'
                      % (label, which, t * 1000, rss, '' if code == 0 else ', exit %d' % code), flush=True)

# A corner-text file beside a copy of the program, on the sample disc: 200,000 attributes on
# one element, and 15 MiB of nested elements.
sample = sys.argv[4]
levels = (15 << 20) // 7
overlays = [('OVERLAY.XML, 200,000 attributes', b"<OVERLAYSETTING><MODALITY NAME='CT'" +
             b''.join(b" A%d='x'" % i for i in range(200000)) + b'/></OVERLAYSETTING>'),
            ('OVERLAY.XML, 15 MiB nested', b'<OVERLAYSETTING>' + b'<A>' * levels + b'</A>' * levels +
             b'</OVERLAYSETTING>')]
for label, xml in overlays:
    for which, build in builds:
        program = tempfile.mkdtemp(dir=work)
        viewer = os.path.join(program, 'kestro')
        shutil.copy(os.path.join(build, 'viewer', 'kestro'), viewer)
        with open(os.path.join(program, 'OVERLAY.XML'), 'wb') as f:
            f.write(xml)
        env = dict(os.environ, HOME=program, TMPDIR=program, XDG_RUNTIME_DIR=program, XDG_DATA_HOME=program,
                   QT_QPA_PLATFORM='offscreen:configfile=' + screen)
        t, rss, code = run(viewer, sample, env, os.path.join(program, 's.bmp'))
        print('[ program ] %-36s %-6s %6.0f ms to the first images, peak RSS %5.0f MB%s'
              % (label, which, t * 1000, rss, '' if code == 0 else ', exit %d' % code), flush=True)
PY
tests="$build/app/shell/frame/app_shell_frame_tests"
if [ -x "$tests" ]; then
  QT_QPA_PLATFORM=offscreen "$tests" --gtest_also_run_disabled_tests \
      --gtest_filter='LargeDiscTest.ReportSeries*:LargeDiscTest.ManyPatients*:LargeDiscTest.RecordsPast*:LargeWidgetsTest.*:HostileThreadsTest.ManySeries*' 2>&1 |
      grep -E '^\[ (measure|figures)|^\[  (FAILED|PASSED) ' || true
else
  echo "no $tests: build app_shell_frame_tests (KV_TESTS=ON) for the test figures"
fi
