#!/usr/bin/env bash
# Builds the dataset-reading fuzzer with clang (libFuzzer, ASan, UBSan) and runs it.
#   pyr/fuzz/run_fuzz.sh [seconds] [extra libFuzzer options...]
# New findings land in build-fuzz/; the committed corpus stays small: merge with
#   build-fuzz/pyr_dataset_fuzz -merge=1 pyr/fuzz/corpus build-fuzz/corpus
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
out=$root/build-fuzz
seconds=${1:-60}
shift || true
mkdir -p "$out/corpus"
clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
    -I"$root/pyr/include" -I"$root/platform/include" -I"$root/pyr/fuzz" \
    "$root"/pyr/source/*.cpp "$root"/platform/source/*.cpp \
    "$root/pyr/fuzz/pyrfuzzentry.cpp" "$root/pyr/fuzz/pyrdataset_fuzz.cpp" \
    -o "$out/pyr_dataset_fuzz"
cd "$out"
exec ./pyr_dataset_fuzz -max_total_time="$seconds" -rss_limit_mb=1024 -max_len=8192 -timeout=5 \
    -dict="$root/pyr/fuzz/dicom.dict" "$@" corpus "$root/pyr/fuzz/corpus"
