#!/usr/bin/env bash
# Builds the OVERLAY.XML reader's fuzzer with clang (libFuzzer, ASan, UBSan) and runs it.
#   app/viewer/fuzz/run_fuzz.sh [seconds] [extra libFuzzer options...]
# New findings land in build-fuzz/; the committed corpus stays small: merge with
#   build-fuzz/xmlfileaccess_fuzz -merge=1 app/viewer/fuzz/corpus build-fuzz/overlay-corpus
set -euo pipefail
root=$(cd "$(dirname "$0")/../../.." && pwd)
out=$root/build-fuzz
seconds=${1:-60}
shift || true
mkdir -p "$out/overlay-corpus"
# Qt is built with g++; its headers and libraries serve clang as well (no sanitizers inside Qt).
clang++ -std=c++20 -g -O1 -fPIC -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
    -I"$root/app/viewer/cornertext/include" -I"$root/app/viewer/fuzz" $(pkg-config --cflags Qt6Core) \
    "$root"/app/viewer/cornertext/source/*.cpp \
    "$root/app/viewer/fuzz/xmlfileaccessfuzzentry.cpp" "$root/app/viewer/fuzz/xmlfileaccess_fuzz.cpp" \
    $(pkg-config --libs Qt6Core) -o "$out/xmlfileaccess_fuzz"
cd "$out"
exec ./xmlfileaccess_fuzz -max_total_time="$seconds" -rss_limit_mb=1024 -max_len=4096 -timeout=5 \
    -dict="$root/app/viewer/fuzz/overlay.dict" "$@" overlay-corpus "$root/app/viewer/fuzz/corpus"
