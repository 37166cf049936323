#!/usr/bin/env bash
# Builds the JIS to Shift-JIS converter's fuzzer with clang (libFuzzer, ASan, UBSan) and runs it.
#   app/shell/core/fuzz/run_fuzz.sh [seconds] [extra libFuzzer options...]
# New findings land in build-fuzz/; the committed corpus stays small: merge with
#   build-fuzz/jis_fuzz -merge=1 app/shell/core/fuzz/corpus build-fuzz/jis-corpus
set -euo pipefail
root=$(cd "$(dirname "$0")/../../../.." && pwd)
out=$root/build-fuzz
seconds=${1:-60}
shift || true
mkdir -p "$out/jis-corpus"
# Qt and the platform library are built with g++; their headers serve clang as well.
clang++ -std=c++20 -g -O1 -fPIC -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
    -I"$root/app/shell/core/include" -I"$root/app/shell/core/fuzz" -I"$root/platform/include" \
    $(pkg-config --cflags Qt6Core) \
    "$root/app/shell/core/source/xev_utility.cpp" "$root"/platform/source/*.cpp \
    "$root/app/shell/core/fuzz/jisfuzzentry.cpp" "$root/app/shell/core/fuzz/jis_fuzz.cpp" \
    $(pkg-config --libs Qt6Core) -lpthread -o "$out/jis_fuzz"
cd "$out"
exec ./jis_fuzz -max_total_time="$seconds" -rss_limit_mb=1024 -max_len=1024 -timeout=5 \
    -dict="$root/app/shell/core/fuzz/jis.dict" "$@" jis-corpus "$root/app/shell/core/fuzz/corpus"
