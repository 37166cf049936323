#!/usr/bin/env bash
# What each hostile-disc case of the frame tests costs, one process per case, offscreen: the
# case's wall time and peak RSS as the kernel counts them for its process, the peak of what its
# temporary folder held (each file once, sampled every 50 ms: fixtures and extracted members),
# and the figures the case prints itself (load time, peak RSS, threads, longest GUI stall). The tests assert counts
# and states only; these figures are for comparing builds, e.g. before and after a change:
#   bench/hostile_discs.sh [build folder, default build] [gtest filter, default every case]
# Among them HostileTexts*: window values, a name, a description and corner lines that run to
# megabytes, written at test time, alone and through a DICOMDIR; HostileClaims*: descriptors of
# 32,767 values, a frame count of 60 MB, and alone a rescale slope, instance number, photometric
# interpretation and character set of 60 MB (beside their peer, the same bytes in an unread
# private element), LUTs and palettes of a few words claiming 65,536 entries, as one cell and as 16
# series, and a zip of 40,000 members of 4,000-byte names with and without an 8000 x 8000 image.
# The default folder is brought up to date first; one given is used as it is, so that a build
# of another commit can be measured beside this one.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
filter=${2:-'Hostile*:LargeDisc*:LongFiles*:LargeWidgets*'}
if [ -z "${1:-}" ]; then
    cmake --build "$build" --target app_shell_frame_tests -j "${JOBS:-4}" >/dev/null
fi
binary="$build/app/shell/frame/app_shell_frame_tests"
[ -x "$binary" ] || { echo "no $binary"; exit 1; }
echo "build: $build, $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
QT_QPA_PLATFORM=offscreen PYTHONPATH="$root/bench" PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 - "$binary" "$filter" <<'PY'
import os, re, subprocess, sys, tempfile, threading, time
from viewer_run import held_bytes

binary, pattern = sys.argv[1], sys.argv[2]
listing = subprocess.run([binary, "--gtest_list_tests", "--gtest_filter=" + pattern],
                         capture_output=True, text=True, check=True).stdout
cases, suite = [], None
for line in listing.splitlines():
    if not line.startswith(" "):
        suite = line.strip()
    elif line.strip():
        cases.append(suite + line.split("#")[0].strip())

# The lines cases print their figures on (older builds used other tags).
figure = re.compile(r"^\[ ?(?:figures|measured?|hostile frames) *\] *(.*)$")
number = lambda pattern, text: (lambda m: m.group(1) if m else "")(re.search(pattern, text))

rows = []
for case in cases:
    with tempfile.TemporaryDirectory(prefix="kv-bench-") as tmp:
        env = dict(os.environ, TMPDIR=tmp, HOME=tmp, XDG_RUNTIME_DIR=tmp)
        start = time.monotonic()
        child = subprocess.Popen([binary, "--gtest_filter=" + case], stdout=subprocess.PIPE,
                                 stderr=subprocess.STDOUT, text=True, env=env)
        peak_tmp, ended = [0], threading.Event()
        def sample():
            while not ended.wait(0.05):
                peak_tmp[0] = max(peak_tmp[0], held_bytes(tmp))
        sampler = threading.Thread(target=sample)
        sampler.start()
        output = child.stdout.read()
        _, status, usage = os.wait4(child.pid, 0)
        child.returncode = os.waitstatus_to_exitcode(status)
        wall = time.monotonic() - start
        ended.set()
        sampler.join()
    verdict = "pass" if child.returncode == 0 else "FAIL"
    figures = [figure.match(l).group(1) for l in output.splitlines() if figure.match(l)]
    rows.append((case, verdict, wall, usage.ru_maxrss >> 10, peak_tmp[0] >> 20, figures))

print("%-72s %-4s %8s %9s %9s" % ("case", "", "wall s", "peak MB", "tmp MB"))
for case, verdict, wall, peak, tmp_peak, figures in rows:
    print("%-72s %-4s %8.2f %9d %9d" % (case, verdict, wall, peak, tmp_peak))
    for text in figures:
        ms = number(r"(-?\d+) ms", text)
        rss = number(r"peak(?: RSS)? (\d+) MB", text)
        threads = number(r"threads (\d+)", text) or number(r"(\d+) threads", text)
        stall = number(r"longest (?:GUI )?stall (\d+) ms", text)
        if not (ms or rss):
            print("    %s" % text)
            continue
        print("    %-68s load %6s ms  RSS %5s MB  threads %3s  stall %5s ms" %
              (text.split(":")[0][:68], ms or "-", rss or "-", threads or "-", stall or "-"))
sys.exit(1 if any(r[1] != "pass" for r in rows) else 0)
PY
