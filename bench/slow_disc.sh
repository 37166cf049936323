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
# With "actions", the discs and the close runs are left out: each of the user's actions runs on
# its disc at each medium (start; the study's third series, then the study, while the disc is
# read; File Open of a second disc on the same drive; a 201-series grid scrolled to its end, and
# paged to its end by trough clicks 0.5, 0.3 and 0.1 s apart and by a thumb drag; the study's
# grid stepped by the layout arrows 0.3 s apart, 5 x 5 to 1 x 1 to 4 x 4, while it loads, the
# switch and the steps again on that disc zipped (stored, in path order); a
# 40-image series enlarged into tiles by a double click and stepped 1 x 1 to 4 x 4 the same way;
# the 201-series grid paged to its end by PageDown and back by PageUp, 0.3 s apart, sent to the
# widget with the focus; cine on a loading series; the study's grid while it loads with cine in
# one cell and the wheel turned 10 notches 0.1 s apart in another, the landing timed from the
# last notch to that cell's image; the start on a zip whose first member is a 105 MB
# multi-frame file, the cells of its 0.5 MB members timed apart from the large one's; a file
# whose pixels the drive cannot read) and prints its longest GUI freeze, each step's time to its
# page's images (every cell or tile in view) against their drive time (a seek and the bytes of
# each image at the rate; a zip member's, all its bytes in the archive, a zip's start, a seek
# and its directory too; File Open's, a seek and the bytes of the second disc's DICOMDIR, which
# its page cannot come before), the image the wheel asked for and the one shown and what the
# drive's request under way at the last notch still took, the second disc's first image after
# Enter, the keys sent and those after which the grid did not move, the failing file's opens
# and failed reads, and the requests the drive
# served in the run.
# The build folder needs the tests (-DKV_TESTS=ON), which build the timed program;
# SLOW_DISC_VIEWER names another build of the timed program (an earlier version's, say);
# SLOW_DISC_ACTIONS, the viewer's actions to run (say "trough300 drag"), when not all.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
discs=${2:-sample ct multiframe mr}
media=${3:-fast 6 1.2}
actions=${4:-}
command -v dcmmkdir >/dev/null || { echo "dcmmkdir is missing (apt-get install dcmtk)"; exit 1; }
cmake --build "$build" --target slow_disc_viewer kv_slowdisc -j4 >/dev/null
PYTHONPATH="$root/bench" PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 - "$root" "$build" "$discs" "$media" "$actions" <<'PY'
import os, subprocess, sys, tempfile, time
from viewer_run import offscreen_env

root, build, discs, media = sys.argv[1], sys.argv[2], sys.argv[3].split(), sys.argv[4].split()
actions = sys.argv[5] == "actions"
viewer = os.environ.get("SLOW_DISC_VIEWER") or os.path.join(build, "app", "shell", "main", "slow_disc_viewer")
shim = os.path.join(build, "app", "testsupport", "libkv_slowdisc.so")
maker = os.path.join(root, "app", "testsupport", "python", "make_slow_disc.py")
names = {"sample": "sample disc", "ct": "CT, 3 series x 100 files of 512x512x16",
         "multiframe": "one 200-frame 512x512x16 file + two 4-image series",
         "mr": "MR, 20 series x 20 files of 256x256x16"}
LIMIT_MS = 300000

def run(disc, medium, env, close_at_ms):
    env = dict(env)
    if medium != "fast":
        env.update(LD_PRELOAD=shim, KV_SLOWDISC_ROOT=disc, KV_SLOWDISC_RATE=str(float(medium) * 1e6),
                   KV_SLOWDISC_SEEK_MS="100")
    start = time.monotonic_ns()
    command = [viewer, os.path.join(disc, "DICOMDIR"), "1000", str(close_at_ms)]
    proc = subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    out, _ = proc.communicate()
    ended = time.monotonic_ns()
    got = dict(line.split() for line in out.splitlines() if len(line.split()) == 2)
    secs = lambda key: (int(got[key]) - start) / 1e9 if key in got else None
    first, every = secs("first"), secs("all")
    stall = int(got["stall"]) / 1000 if "stall" in got else None
    close = (ended - int(got["close"])) / 1e9 if "close" in got else None
    taken = (ended - int(got["closing"])) / 1e9 if "closing" in got else None
    return first, every, stall, close, taken


# The user's actions: the disc each runs on (made by make_slow_disc.py), the viewer's action,
# and the file the drive cannot read from its 2,000th byte.
ACTIONS = [("start", "mr", "start", None),
           ("study switch during a read", "mr", "switch", None),
           ("study switch during a read, the disc zipped", "mrzip", "switch", None),
           ("File Open of a second disc", "mr", "open", None),
           ("201-series grid scrolled to its end", "grid", "scroll", None),
           ("201-series grid paged by trough clicks 0.5 s apart", "grid", "trough500", None),
           ("201-series grid paged by trough clicks 0.3 s apart", "grid", "trough300", None),
           ("201-series grid paged by trough clicks 0.1 s apart", "grid", "trough100", None),
           ("201-series grid paged by a thumb drag", "grid", "drag", None),
           ("20-series grid stepped 5x5 to 1x1 to 4x4 by layout arrows 0.3 s apart while it loads", "mr",
            "layout", None),
           ("the same on the disc zipped", "mrzip", "layout", None),
           ("a 40-image series enlarged to tiles, stepped 1x1 to 4x4 by layout arrows 0.3 s apart while it loads",
            "tiles", "tiles", None),
           ("201-series grid paged by PageDown to its end and PageUp back, 0.3 s apart", "grid", "keys", None),
           ("cine on a loading series", "multiframe", "cine", None),
           ("10 wheel notches 0.1 s apart in a grid cell beside a cell playing cine, while the disc loads", "mr",
            "wheel", None),
           ("start on a zip whose first member is a 105 MB file, then 0.5 MB members", "zip", "zip", None),
           ("a file that fails to read", "mr", "start", "/mr/DICOM/S001/I0001:2000")]
DISCS = {"mr": ["mr"], "mrzip": ["mrzip"], "other": ["mr", "2", "20", "256"], "grid": ["mr", "201", "1", "256"],
         "tiles": ["mr", "2", "40", "256"],
         "multiframe": ["multiframe", "100", "512"], "zip": ["multiframezip", "200", "512"]}


def act(medium_root, disc, action, fail, medium, env, report):
    """One action in a fresh process: its steps (name, stall s, page s, drive s), the Enter time
    and the medium's report."""
    env = dict(env, LD_PRELOAD=shim, KV_SLOWDISC_ROOT=medium_root, KV_SLOWDISC_RATE=str(float(medium) * 1e6),
               KV_SLOWDISC_SEEK_MS="100", KV_SLOWDISC_REPORT=report, KV_SLOWDISC_FAIL=fail or "")
    entry = "disc.zip" if os.path.exists(os.path.join(medium_root, disc, "disc.zip")) else "DICOMDIR"
    command = [viewer, os.path.join(medium_root, disc, entry), "500", str(LIMIT_MS), action,
               os.path.join(medium_root, "other", "DICOMDIR")]
    out = subprocess.run(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout
    steps, enter, wheel, busy, keys = [], None, None, None, None
    for line in out.splitlines():
        words = line.split()
        if words[:1] == ["step"] and len(words) == 5:
            steps.append((words[1], int(words[2]) / 1000, int(words[3]) / 1000, int(words[4]) / 1000))
        elif words[:1] == ["enter"]:
            enter = int(words[1]) / 1000
        elif words[:1] == ["wheel"] and len(words) == 3:
            wheel = (int(words[1]), int(words[2]))
        elif words[:1] == ["busy"] and len(words) == 2:
            busy = int(words[1]) / 1000
        elif words[:1] == ["keys"] and len(words) == 3:
            keys = (int(words[1]), int(words[2]))
    counts = {}
    if os.path.exists(report):
        counts = dict(line.split()[:2] for line in open(report) if len(line.split()) >= 2)
        os.remove(report)
    return steps, enter, wheel + (busy,) if wheel else None, keys, counts


def actions_table(work, env):
    medium_root = os.path.join(work, "medium")
    for name, numbers in DISCS.items():
        subprocess.run(["/usr/bin/python3", "-W", "ignore", maker, os.path.join(medium_root, name)] + numbers,
                       check=True, env=dict(env, PYTHONPATH=os.path.dirname(maker)))
    print("| action | MB/s | longest GUI freeze | each step: its page's images / their drive time (ratio) |"
          " second disc's first image after Enter | failing file: opens, failed reads | drive requests |")
    print("|---|---|---|---|---|---|---|")
    only = os.environ.get("SLOW_DISC_ACTIONS", "").split()
    for label, disc, action, fail in ACTIONS:
        if only and action not in only:
            continue
        for medium in media:
            if medium == "fast":
                continue
            steps, enter, wheel, keys, counts = act(medium_root, disc, action, fail, medium, env,
                                                    os.path.join(work, "report"))
            # The paging's moves, and cine begun beside the wheel, have no page of their own: the
            # landing is timed. The zip's start is timed twice: to its small members' cells, then
            # to every cell.
            shown = [s for s in steps if (s[0] != "start" or len(steps) == 1 or action == "zip")
                     and s[0] not in ("moves", "cine")]
            # Cine plays a set time: its step has no page to time.
            shown = [] if action == "cine" else shown
            pages = "; ".join("%s %.2f / %.2f s (%s)" % (n, page, drive, "%.2fx" % (page / drive) if drive else "-")
                              for n, _, page, drive in shown) or "-"
            pages = "plays 2 s" if action == "cine" else pages
            if wheel is not None:
                # No read comes before the drive's request under way ends: the landing past it.
                busy = wheel[2] or 0
                landing = [s for s in shown if s[0] == "landing"]
                past = "%.2fx" % ((landing[0][2] - busy) / landing[0][3]) if landing and landing[0][3] else "-"
                pages += "; image asked %d, shown %d%s; the drive's request under way at the last notch" \
                         " ended %.2f s after it (landing past it: %s)" % (
                             wheel[0], wheel[1], "" if wheel[0] == wheel[1] else " (a step lost)", busy, past)
            if keys is not None:
                pages += "; keys %d, %d that did not move the grid" % keys
            stall = "%.2f s" % max(s[1] for s in steps) if steps else "-"
            failing = "%s, %s" % (counts.get("failing_opens", "-"), counts.get("failed_reads", "-")) if fail else ""
            print("| %s | %s | %s | %s | %s | %s | %s |" % (label, medium, stall, pages,
                                                            "%.2f s" % enter if enter is not None else "", failing,
                                                            counts.get("seeks", "-")), flush=True)

def cell(values, fmt="%.2f"):
    return " / ".join("-" if v is None else fmt % v for v in values)

if not actions:
    print("| disc | medium | first image | all cells on screen | longest GUI freeze | close to exit |"
          " close taken up to exit |")
    print("|---|---|---|---|---|---|---|")
with tempfile.TemporaryDirectory() as work:
    os.chmod(work, 0o700)
    env = offscreen_env(work)
    if actions:
        actions_table(work, env)
        discs = []
    for kind in discs:
        disc = os.path.join(work, kind)
        subprocess.run(["/usr/bin/python3", "-W", "ignore", maker, disc, kind], check=True,
                       env=dict(env, PYTHONPATH=os.path.dirname(maker)))
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
if not actions:
    print("(each cell: fast / 6 / 1.2 MB/s as listed; 100 ms a seek; - where the run gave no figure;"
          " runs stop %d s after start)" % (LIMIT_MS // 1000))
PY
