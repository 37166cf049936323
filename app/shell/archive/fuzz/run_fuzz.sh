#!/usr/bin/env bash
# Builds the zip reader's fuzzer with clang (libFuzzer, ASan, UBSan) and runs it on one worker.
#   app/shell/archive/fuzz/run_fuzz.sh [seconds] [extra libFuzzer options...]
# New findings land in build-fuzz/; the committed corpus stays small: merge with
#   build-fuzz/zip_fuzz -merge=1 app/shell/archive/fuzz/corpus build-fuzz/zip-corpus
set -euo pipefail
root=$(cd "$(dirname "$0")/../../../.." && pwd)
out=$root/build-fuzz
seconds=${1:-60}
shift || true
mkdir -p "$out/zip-corpus"
clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
    -I"$root/app/shell/archive/include" -I"$root/app/shell/archive/fuzz" -I"$root/platform/include" \
    $(pkg-config --cflags minizip) \
    "$root/app/shell/archive/source/xevziparchive.cpp" "$root"/platform/source/*.cpp \
    "$root/app/shell/archive/fuzz/zipfuzzentry.cpp" "$root/app/shell/archive/fuzz/zip_fuzz.cpp" \
    $(pkg-config --libs minizip) -lpthread -o "$out/zip_fuzz"
cd "$out"
exec ./zip_fuzz -max_total_time="$seconds" -rss_limit_mb=1024 -max_len=4096 -timeout=5 -jobs=1 -workers=1 \
    "$@" zip-corpus "$root/app/shell/archive/fuzz/corpus"
