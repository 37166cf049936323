#!/usr/bin/env bash
# Builds the viewer and starts it on the sample disc, or on the DICOMDIR, zip archive or DICOM file
# given.
#   ./run.sh [PATH]                      on the screen ($DISPLAY or $WAYLAND_DISPLAY)
#   ./run.sh --screenshot FILE [PATH]    no screen: saves the window, once the first images
#                                        have loaded, as a 1280 x 1024 PNG
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
caller="$PWD"

shot=""
if [ "${1:-}" = "--screenshot" ]; then
  [ $# -ge 2 ] || { echo "usage: $0 --screenshot FILE [PATH]" >&2; exit 2; }
  shot="$2"
  shift 2
  case "$shot" in /*) ;; *) shot="$caller/$shot" ;; esac
fi
target="${1:-$here/sample/DICOMDIR}"
case "$target" in /*) ;; *) target="$caller/$target" ;; esac

if [ -z "$shot" ] && [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display (neither DISPLAY nor WAYLAND_DISPLAY is set)." >&2
  echo "Without a screen, save the window as an image instead: $0 --screenshot shot.png [PATH]" >&2
  exit 1
fi

# Only what the viewer needs: the tests' frameworks and peers are test.sh's.
"$here/install_missing.sh" viewer

cd "$here"
# KV_BUILD_DIR: another build folder (the tests use their own). A folder test.sh configured
# keeps its tests; a new one gets the viewer alone.
build="${KV_BUILD_DIR:-$here/build}"
started=$SECONDS
[ -f "$build/build.ninja" ] || cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_TESTS=OFF -DKV_BENCH=OFF
cmake --build "$build" -j "$(nproc)" --target kestro
echo "viewer built in $((SECONDS - started)) s: $build/viewer/kestro"
viewer="$build/viewer"
printf '[Options]\r\nModeOrvix=1\r\nModeSupportSR=1\r\n' > "$viewer/ZYLV.INI"

if [ -z "$shot" ]; then
  exec "$viewer/kestro" "$target"
fi

# Offscreen on a 1280 x 1024 screen, in a runtime folder of its own so that a viewer already
# running does not take the start-up over.
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
chmod 700 "$work"
printf '{ "screens": [ { "name": "shot", "x": 0, "y": 0, "width": 1280, "height": 1024, "logicalDpi": 96 } ] }\n' \
  > "$work/screen.json"
XDG_RUNTIME_DIR="$work" QT_QPA_PLATFORM="offscreen:configfile=$work/screen.json" \
  "$viewer/kestro" --screenshot "$shot" /Agree "$target"
