#!/usr/bin/env bash
# Start to first painted image of the sample disc ("/Agree", offscreen, until the first
# selection's cells have loaded and the window was grabbed) against dcmtk's dcmj2pnm making
# that image a PNG plus a bare Qt Widgets program showing it, timed together in the same run.
# The target is a ratio of at most 2.0; the viewer's peak resident size is reported.
#   bench/shell_startup_bench.sh [build folder, default build] [runs, default 7]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
runs=${2:-7}
command -v dcmj2pnm >/dev/null || { echo "dcmj2pnm is missing (apt-get install dcmtk)"; exit 1; }
cmake --build "$build" --target kestro shell_startup_peer -j4 >/dev/null
/usr/bin/python3 - "$root" "$build" "$runs" <<'PY'
import os, statistics, subprocess, sys, tempfile, time

root, build, runs = sys.argv[1], sys.argv[2], int(sys.argv[3])
viewer = os.path.join(build, "viewer", "kestro")
peer = os.path.join(build, "bench", "shell_startup_peer")
disc = os.path.join(root, "sample", "DICOMDIR")
first = os.path.join(root, "sample", "DICOM", "CT0001")   # the first image the viewer shows

def timed(cmd, env):
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit("failed: %s" % " ".join(cmd))
    return elapsed, usage.ru_maxrss

ours, theirs, rss = [], [], []
with tempfile.TemporaryDirectory() as work:
    os.chmod(work, 0o700)
    screen = os.path.join(work, "screen.json")
    with open(screen, "w") as f:
        f.write('{ "screens": [ { "name": "b", "x": 0, "y": 0, "width": 1280, "height": 1024, "logicalDpi": 96 } ] }')
    env = dict(os.environ, XDG_RUNTIME_DIR=work, XDG_DATA_HOME=work,
               QT_QPA_PLATFORM="offscreen:configfile=" + screen)
    # The window is grabbed (painted) as in run.sh; BMP keeps PNG compression of the whole
    # window out of the viewer's time, as the peer compresses only the image.
    shot, png = os.path.join(work, "shot.bmp"), os.path.join(work, "first.png")
    # One untimed round each, so that both start with warm file caches.
    timed([viewer, "--screenshot", shot, "/Agree", disc], env)
    timed(["dcmj2pnm", "+on", first, png], env)
    for _ in range(runs):
        t, r = timed([viewer, "--screenshot", shot, "/Agree", disc], env)
        ours.append(t)
        rss.append(r)
        a, _ = timed(["dcmj2pnm", "+on", first, png], env)
        b, _ = timed([peer, png], env)
        theirs.append(a + b)

o, p = statistics.median(ours), statistics.median(theirs)
ratio = o / p
print("viewer start to first image %.1f ms, dcmj2pnm + bare Qt %.1f ms, ratio %.2f (target <= 2.0)"
      % (o * 1000, p * 1000, ratio))
print("viewer peak resident size %.1f MB (median of %d runs)" % (statistics.median(rss) / 1024, runs))
sys.exit(0 if ratio <= 2.0 else 1)
PY
