#!/usr/bin/env bash
# The end of the viewer on a slow medium while its readers are in a read: the viewer on a disc
# of two studies (two small images, then large ones; pydicom files, a dcmmkdir DICOMDIR) on the
# tests' preloaded medium, a fresh process per run, gets SIGTERM once its pre-load has opened
# its first file of the second study (the read-ahead reads that study too), and the time from
# the signal to the end of the process is taken from outside. Prints each run's time and exit
# status, then the least, the median, the most and the runs over half a second, what an end with
# nothing of the patient's to remove may take from its cause.
#   bench/slow_disc_end.sh [build folder, default build] [runs, default 20] [MB/s, default 0.15]
#                          [pause after the pre-load's first open in ms, default 200]
# The build folder needs the tests (-DKV_TESTS=ON), which build the timed program;
# SLOW_DISC_VIEWER names another build of it (an earlier version's, say); one that does not
# say when its pre-load opens a file gets the signal 5 s after every cell showed its image.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
runs=${2:-20}
rate=${3:-0.15}
pause=${4:-200}
command -v dcmmkdir >/dev/null || { echo "dcmmkdir is missing (apt-get install dcmtk)"; exit 1; }
if [ -z "${SLOW_DISC_VIEWER:-}" ]; then
  cmake --build "$build" --target slow_disc_viewer kv_slowdisc -j4 >/dev/null
fi
PYTHONPATH="$root/bench" PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 - "$root" "$build" "$runs" "$rate" "$pause" <<'PY'
import os, select, signal, statistics, subprocess, sys, tempfile, time
from viewer_run import offscreen_env

root, build, runs, rate, pause = sys.argv[1], sys.argv[2], int(sys.argv[3]), float(sys.argv[4]), int(sys.argv[5])
viewer = os.environ.get("SLOW_DISC_VIEWER") or os.path.join(build, "app", "shell", "main", "slow_disc_viewer")
shim = os.environ.get("SLOW_DISC_SHIM") or os.path.join(build, "app", "testsupport", "libkv_slowdisc.so")
maker = os.path.join(root, "app", "testsupport", "python", "make_slow_disc.py")


def one(disc, env):
    """The seconds from SIGTERM to the process's end and its exit status; None when the viewer
    never came to the point of the signal."""
    proc = subprocess.Popen([viewer, os.path.join(disc, "DICOMDIR"), "300000", "300000"], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, bufsize=1)
    all_at, fire_at, began = None, None, time.monotonic()
    while fire_at is None or time.monotonic() < fire_at:
        if time.monotonic() - began > 120:
            proc.kill()
            proc.wait()
            return None, None
        timeout = 0.05 if fire_at is None else max(0.0, fire_at - time.monotonic())
        ready, _, _ = select.select([proc.stdout], [], [], timeout)
        if ready:
            line = proc.stdout.readline()
            if not line:
                proc.wait()
                return None, proc.returncode
            word = line.split()[0] if line.split() else ""
            if word == "all" and all_at is None:
                all_at = time.monotonic()
            if word == "preload" and fire_at is None:
                fire_at = time.monotonic() + pause / 1000
        if fire_at is None and all_at is not None and time.monotonic() - all_at > 5:
            fire_at = time.monotonic()
    sent = time.monotonic()
    proc.send_signal(signal.SIGTERM)
    proc.stdout.read()
    status = proc.wait()
    return time.monotonic() - sent, status


with tempfile.TemporaryDirectory() as work:
    os.chmod(work, 0o700)
    env = offscreen_env(work)
    disc = os.path.join(work, "studies")
    subprocess.run(["/usr/bin/python3", "-W", "ignore", maker, disc, "studies"], check=True,
                   env=dict(env, PYTHONPATH=os.path.dirname(maker)))
    env.update(LD_PRELOAD=shim, KV_SLOWDISC_ROOT=disc, KV_SLOWDISC_RATE=str(rate * 1e6), KV_SLOWDISC_SEEK_MS="100")
    times = []
    for k in range(runs):
        took, status = one(disc, env)
        print("run %d: %s, exit status %s" % (k + 1, "%.3f s" % took if took is not None else "no signal sent",
                                             status), flush=True)
        if took is not None:
            times.append(took)
    if times:
        print("SIGTERM to end at %.2f MB/s, %d runs: least %.3f s, median %.3f s, most %.3f s; over 0.5 s: %d"
              % (rate, len(times), min(times), statistics.median(times), max(times),
                 sum(1 for t in times if t > 0.5)))
PY
