#!/usr/bin/env bash
# A zip of a few MB whose twelve central-directory entries name one local header of a large
# member (a 64 x 64 image in pixel data padded with zeros, deflated), opened by the real program
# offscreen with --screenshot, then the sample disc opened by a next start in the same temporary
# folder. Prints what the temporary folder held at most during the first run (each file once,
# sampled every 20 ms), what its end left, and what the next start left. KV_NEXT_SECONDS=S runs
# the next start for S seconds, ended by SIGTERM, instead of a screenshot run; KV_SYNC_BEFORE_NEXT=1
# writes the first run's files out before it.
#   bench/zip_aliases.sh [build folder, default build] [member MiB, default 1954] [next start's build]
# The default folder's viewer is brought up to date first; one given is used as it is, so that a
# build of another commit can be measured beside this one.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
mib=${2:-1954}
next=$(cd "${3:-$build}" && pwd)
if [ -z "${1:-}" ]; then
    cmake --build "$build" --target kestro -j "${JOBS:-4}" >/dev/null
fi
command -v dcmmkdir >/dev/null || { echo "dcmmkdir is missing (apt-get install dcmtk)"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 700 "$work"
PYTHONPATH="$root/bench" PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 - "$build/viewer/kestro" "$root/sample/DICOMDIR" "$work" "$mib" "$next/viewer/kestro" <<'PY'
import os, struct, subprocess, sys, threading, time, zlib
from viewer_run import held_bytes

viewer, sample, work, mib, next_viewer = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5]
entries = 12

def element(group, number, vr, value):
    if len(value) % 2:
        value += b"\0" if vr == "UI" else b" "
    if vr in ("OB", "OW", "SQ", "UT", "UN"):
        return struct.pack("<HH2sHI", group, number, vr.encode(), 0, len(value)) + value
    return struct.pack("<HH2sH", group, number, vr.encode(), len(value)) + value

def image_head(instance, pixel_bytes):
    sc = b"1.2.840.10008.5.1.4.1.1.7"
    meta = (element(2, 1, "OB", b"\0\1") + element(2, 2, "UI", sc) + element(2, 3, "UI", instance) +
            element(2, 0x10, "UI", b"1.2.840.10008.1.2.1"))
    body = (element(8, 0x16, "UI", sc) + element(8, 0x18, "UI", instance) + element(8, 0x20, "DA", b"20260101") +
            element(8, 0x30, "TM", b"120000") + element(8, 0x50, "SH", b"") + element(8, 0x60, "CS", b"OT") +
            element(0x10, 0x10, "PN", b"Alias^Zip") + element(0x10, 0x20, "LO", b"Z1") +
            element(0x10, 0x30, "DA", b"") + element(0x10, 0x40, "CS", b"") +
            element(0x20, 0x0D, "UI", b"1.2.62.11.3") + element(0x20, 0x0E, "UI", b"1.2.62.11.2." + instance[-2:]) +
            element(0x20, 0x10, "SH", b"1") + element(0x20, 0x11, "IS", b"1") + element(0x20, 0x13, "IS", b"1") +
            element(0x28, 2, "US", struct.pack("<H", 1)) + element(0x28, 4, "CS", b"MONOCHROME2") +
            element(0x28, 0x10, "US", struct.pack("<H", 64)) + element(0x28, 0x11, "US", struct.pack("<H", 64)) +
            element(0x28, 0x100, "US", struct.pack("<H", 16)) + element(0x28, 0x101, "US", struct.pack("<H", 16)) +
            element(0x28, 0x102, "US", struct.pack("<H", 15)) + element(0x28, 0x103, "US", struct.pack("<H", 0)) +
            struct.pack("<HH2sHI", 0x7FE0, 0x10, b"OW", 0, pixel_bytes))
    return b"\0" * 128 + b"DICM" + element(2, 0, "UL", struct.pack("<I", len(meta))) + meta + body

frame = (b"\xff\x0f" * 64 * 32) + (b"\0\0" * 64 * 32)
zeros = mib << 20

# The DICOMDIR from twelve small files of the same names; the archive's member is the large one.
src = os.path.join(work, "src")
os.makedirs(os.path.join(src, "IMG"))
for e in range(entries):
    with open(os.path.join(src, "IMG", "M%02d" % e), "wb") as f:
        f.write(image_head(b"1.2.62.11.1.%02d" % e, len(frame)) + frame)
subprocess.run(["dcmmkdir", "-q", "-I", "+r", "+id", src, "-Pgp", "+D", os.path.join(src, "DICOMDIR"),
                *["IMG/M%02d" % e for e in range(entries)]], cwd=src, check=True)
dicomdir = open(os.path.join(src, "DICOMDIR"), "rb").read()

zip_path = os.path.join(work, "aliases.zip")
with open(zip_path, "wb") as out:
    directory = b""
    def local(name, method, crc, packed, size, at):
        global directory
        out.write(struct.pack("<IHHHHHIIIHH", 0x04034b50, 20, 0, method, 0, 0x21, crc, packed, size, len(name), 0) + name)
        for alias in ([name] if name == b"DICOMDIR" else [b"IMG/M%02d" % e for e in range(entries)]):
            directory += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014b50, 20, 20, 0, method, 0, 0x21, crc, packed, size,
                                     len(alias), 0, 0, 0, 0, 0, at) + alias
    local(b"DICOMDIR", 0, zlib.crc32(dicomdir), len(dicomdir), len(dicomdir), 0)
    out.write(dicomdir)
    head = image_head(b"1.2.62.11.1.00", len(frame) + zeros) + frame
    at = out.tell()
    local(b"IMG/M00", 8, 0, 0, 0, at)   # sizes and CRC written once known
    data_at = out.tell()
    z = zlib.compressobj(9, zlib.DEFLATED, -15)
    crc = zlib.crc32(head)
    out.write(z.compress(head))
    block = bytes(1 << 20)
    for _ in range(mib):
        crc = zlib.crc32(block, crc)
        out.write(z.compress(block))
    out.write(z.flush())
    packed, size = out.tell() - data_at, len(head) + zeros
    out.seek(at + 14)
    out.write(struct.pack("<III", crc, packed, size))
    out.seek(0, 2)
    fixed = b""
    record = 0
    while record < len(directory):
        name_length = struct.unpack_from("<H", directory, record + 28)[0]
        entry = bytearray(directory[record:record + 46 + name_length])
        if entry[46:] != b"DICOMDIR":
            struct.pack_into("<III", entry, 16, crc, packed, size)
        fixed += entry
        record += 46 + name_length
    start = out.tell()
    out.write(fixed)
    out.write(struct.pack("<IHHHHIIH", 0x06054b50, 0, 0, entries + 1, entries + 1, len(fixed), start, 0))

temp = os.path.join(work, "tmp")
runtime = os.path.join(work, "run")
os.makedirs(temp)
os.makedirs(runtime, 0o700)
screen = os.path.join(work, "screen.json")
open(screen, "w").write('{ "screens": [ { "name": "shot", "x": 0, "y": 0, "width": 1280, "height": 1024, '
                        '"logicalDpi": 96 } ] }\n')
env = dict(os.environ, TMPDIR=temp, XDG_RUNTIME_DIR=runtime, HOME=work,
           QT_QPA_PLATFORM="offscreen:configfile=" + screen)

def run(viewer, target, shot):
    peak, ended = [0], threading.Event()
    def sample():
        while not ended.wait(0.02):
            peak[0] = max(peak[0], held_bytes(temp))
    sampler = threading.Thread(target=sample)
    sampler.start()
    started = time.monotonic()
    seconds = float(os.environ.get("KV_NEXT_SECONDS", "0")) if shot == "next.png" else 0
    if seconds > 0:
        # A start used for that long, then ended by a signal as a session's end would.
        child = subprocess.Popen([viewer, "/Agree", target], env=env, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
        time.sleep(seconds)
        child.terminate()
        result = subprocess.CompletedProcess(child.args, child.wait())
    else:
        result = subprocess.run([viewer, "--screenshot", os.path.join(work, shot), "/Agree", target], env=env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wall = time.monotonic() - started
    ended.set()
    sampler.join()
    return result.returncode, wall, peak[0]

print("archive %.1f MB, %d entries naming one member of %d MB" %
      (os.path.getsize(zip_path) / 1e6, entries, size >> 20))
status, wall, peak = run(viewer, zip_path, "zip.png")
print("zip run: exit %d in %.1f s, temporary folder held at most %d MB, left after its end %d MB" %
      (status, wall, peak >> 20, held_bytes(temp) >> 20))
if os.environ.get("KV_SYNC_BEFORE_NEXT"):
    os.sync()
status, wall, _ = run(next_viewer, sample, "next.png")
print("next start (sample disc): exit %d in %.1f s, left after it %d MB" % (status, wall, held_bytes(temp) >> 20))
PY
