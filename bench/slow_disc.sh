#!/usr/bin/env bash
# The viewer on a slow medium (one drive head: 100 ms for a request that is not sequential,
# then the bytes at the rate; the tests' preloaded library), started on each of four discs
# written at run time (pydicom files, dcmmkdir DICOMDIRs), a fresh process per run so that
# nothing read before is cached. Two runs each: one to 1 s after every cell on screen showed
# its image, for the time to the first painted image (and to every cell on screen) and the
# longest time the GUI thread did not answer; one closed 3 s after the start (or 1 s after
# every cell showed, when that comes first), as a user closes while the disc is still read,
# for the time from that close request to the end of the process (and from the moment the
# GUI thread took the request up: a frozen window takes it up late).
#   bench/slow_disc.sh [build folder, default build] [discs, default "sample ct multiframe mr"]
#                      [media, default "fast 6 1.2" (MB/s)] [actions]
# With "actions", each run is instead the user's steps while the disc is read: the start, the
# study's third series shown once every cell on screen showed its image, then the study again,
# and each step's longest GUI freeze is printed (the viewer's "switch" mode).
# The build folder needs the tests (-DKV_TESTS=ON), which build the timed program;
# SLOW_DISC_VIEWER names another build of the timed program (an earlier version's, say).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
discs=${2:-sample ct multiframe mr}
media=${3:-fast 6 1.2}
actions=${4:-}
command -v dcmmkdir >/dev/null || { echo "dcmmkdir is missing (apt-get install dcmtk)"; exit 1; }
cmake --build "$build" --target slow_disc_viewer kv_slowdisc -j4 >/dev/null
/usr/bin/python3 - "$root" "$build" "$discs" "$media" "$actions" <<'PY'
import os, subprocess, sys, tempfile, time

root, build, discs, media = sys.argv[1], sys.argv[2], sys.argv[3].split(), sys.argv[4].split()
actions = sys.argv[5] == "actions"
viewer = os.environ.get("SLOW_DISC_VIEWER") or os.path.join(build, "app", "shell", "main", "slow_disc_viewer")
shim = os.path.join(build, "app", "testsupport", "libkv_slowdisc.so")
maker = os.path.join(root, "app", "testsupport", "python", "make_slow_disc.py")
names = {"sample": "sample disc", "ct": "CT, 3 series x 100 files of 512x512x16",
         "multiframe": "one 200-frame 512x512x16 file + two 4-image series",
         "mr": "MR, 20 series x 20 files of 256x256x16"}
LIMIT_MS = 300000

def run(disc, medium, env, close_at_ms, mode=None):
    env = dict(env)
    if medium != "fast":
        env.update(LD_PRELOAD=shim, KV_SLOWDISC_ROOT=disc, KV_SLOWDISC_RATE=str(float(medium) * 1e6),
                   KV_SLOWDISC_SEEK_MS="100")
    start = time.monotonic_ns()
    command = [viewer, os.path.join(disc, "DICOMDIR"), "1000", str(close_at_ms)] + ([mode] if mode else [])
    proc = subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    out, _ = proc.communicate()
    ended = time.monotonic_ns()
    got = dict(line.split() for line in out.splitlines() if len(line.split()) == 2)
    secs = lambda key: (int(got[key]) - start) / 1e9 if key in got else None
    first, every = secs("first"), secs("all")
    stall = int(got["stall"]) / 1000 if "stall" in got else None
    close = (ended - int(got["close"])) / 1e9 if "close" in got else None
    taken = (ended - int(got["closing"])) / 1e9 if "closing" in got else None
    if mode:
        return tuple(int(got[key]) / 1000 if key in got else None
                     for key in ("stall_start", "stall_series", "stall_study"))
    return first, every, stall, close, taken

def cell(values, fmt="%.2f"):
    return " / ".join("-" if v is None else fmt % v for v in values)

if actions:
    print("| disc | medium | start: longest GUI freeze | series shown | study shown again |")
    print("|---|---|---|---|---|")
else:
    print("| disc | medium | first image | all cells on screen | longest GUI freeze | close to exit |"
          " close taken up to exit |")
    print("|---|---|---|---|---|---|---|")
with tempfile.TemporaryDirectory() as work:
    os.chmod(work, 0o700)
    screen = os.path.join(work, "screen.json")
    with open(screen, "w") as f:
        f.write('{ "screens": [ { "name": "b", "x": 0, "y": 0, "width": 1280, "height": 1024, "logicalDpi": 96 } ] }')
    env = dict(os.environ, XDG_RUNTIME_DIR=work, XDG_DATA_HOME=work, XDG_CONFIG_HOME=work,
               QT_QPA_PLATFORM="offscreen:configfile=" + screen, PYTHONDONTWRITEBYTECODE="1")
    for kind in discs:
        disc = os.path.join(work, kind)
        subprocess.run(["/usr/bin/python3", "-W", "ignore", maker, disc, kind], check=True,
                       env=dict(env, PYTHONPATH=os.path.dirname(maker)))
        if actions:
            rows = [run(disc, medium, env, LIMIT_MS, "switch") for medium in media]
            columns = list(zip(*rows))
            print("| %s | %s MB/s | %s s | %s s | %s s |" % (
                names.get(kind, kind), " / ".join(media), cell(columns[0]), cell(columns[1]), cell(columns[2])),
                flush=True)
            subprocess.run(["rm", "-rf", disc], check=True)
            continue
        rows = []
        for medium in media:
            first, every, stall, _, _ = run(disc, medium, env, LIMIT_MS)
            close, taken = run(disc, medium, env, 3000)[3:]
            rows.append((first, every, stall, close, taken))
        columns = list(zip(*rows))
        print("| %s | %s MB/s | %s s | %s s | %s s | %s s | %s s |" % (
            names.get(kind, kind), " / ".join(media), cell(columns[0]), cell(columns[1]), cell(columns[2]),
            cell(columns[3]), cell(columns[4])), flush=True)
        subprocess.run(["rm", "-rf", disc], check=True)
print("(each cell: fast / 6 / 1.2 MB/s as listed; 100 ms a seek; - where the run gave no figure;"
      " runs stop %d s after start)" % (LIMIT_MS // 1000))
PY
