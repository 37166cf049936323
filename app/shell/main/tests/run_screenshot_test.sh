#!/usr/bin/env bash
# ./run.sh --screenshot on the sample disc: exit 0 and a 1280 x 1024 PNG whose image area
# holds the MR's large flat greys 85 and 170.
#   run_screenshot_test.sh BUILD_FOLDER
set -euo pipefail
root=$(cd "$(dirname "$0")/../../../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
env -u DISPLAY -u WAYLAND_DISPLAY KV_BUILD_DIR="$1" "$root/run.sh" --screenshot shot.png
/usr/bin/python3 - shot.png <<'PY'
import sys
from PIL import Image
image = Image.open(sys.argv[1])
assert image.size == (1280, 1024), image.size
grey = image.convert("L")
# Right of the study list (332 wide) and between the title (93) and status (43) rows.
area = grey.crop((332, 93, 1280, 1024 - 43))
histogram = area.histogram()
def around(value):
    return sum(histogram[value - 2:value + 3])
# Each quadrant of the MR's first image is far larger than any grey run of the CT's disc.
for value in (85, 170):
    assert around(value) > 20000, "grey %d covers only %d pixels" % (value, around(value))
print("screenshot ok")
PY
