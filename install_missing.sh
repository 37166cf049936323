#!/usr/bin/env bash
# Installs the Debian packages that a task needs and that are missing, through sudo when not root.
#   install_missing.sh viewer   building and starting the viewer (run.sh)
#   install_missing.sh tests    that, and the test frameworks, peers and tools of the tests and
#                               benchmarks (test.sh)
#   install_missing.sh fuzz     that of the viewer, and clang (fuzz.sh)
#   install_missing.sh format   that of the viewer, and clang-format (test.sh --format)
set -euo pipefail
# The build tools, Qt, minizip over zlib (the archive inflates members itself), the fonts of
# Japanese names, and python3 with Pillow, which draws the built-in bitmaps at build time.
viewer=(cmake ninja-build g++ pkg-config qt6-base-dev libminizip-dev zlib1g-dev fonts-noto-cjk python3-pil)
tests=(clang libgtest-dev libgmock-dev libbenchmark-dev locales python3-numpy python3-pydicom
       dcmtk libdcmtk-dev libgdcm-dev libgdcm-tools libturbojpeg0-dev libjpeg62-turbo-dev libjpeg-turbo-progs
       libopencv-imgproc-dev unzip clang-format-14 xvfb bindfs)
fuzz=(clang)
format=(clang-format-14)
wanted=("${viewer[@]}")
for task in "$@"; do
  case "$task" in
    viewer) ;;
    tests) wanted+=("${tests[@]}") ;;
    fuzz) wanted+=("${fuzz[@]}") ;;
    format) wanted+=("${format[@]}") ;;
    *) echo "usage: $0 viewer|tests|fuzz|format" >&2; exit 2 ;;
  esac
done
missing=()
for p in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -gt 0 ] || exit 0
echo "installing: ${missing[*]}"
sudo=()
[ "$(id -u)" = 0 ] || sudo=(sudo)
# sudo drops the environment, so the setting goes through env.
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
