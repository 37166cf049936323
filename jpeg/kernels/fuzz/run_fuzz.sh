#!/usr/bin/env bash
# Builds the Huffman kernels' fuzzer with clang (libFuzzer, ASan, UBSan) and runs it. It decodes
# each input at every level the processor has and traps when a level disagrees with level 0.
#   jpeg/kernels/fuzz/run_fuzz.sh [seconds] [extra libFuzzer options...]
# New findings land in build-fuzz/huffman/; merge into the small committed corpus with
#   build-fuzz/huffman/huffman_fuzz -merge=1 jpeg/kernels/fuzz/corpus build-fuzz/huffman/corpus
set -euo pipefail
root=$(cd "$(dirname "$0")/../../.." && pwd)
k=$root/jpeg/kernels
out=$root/build-fuzz/huffman
seconds=${1:-60}
shift || true
mkdir -p "$out/corpus"
srcs=("$k"/processor/*.cpp "$k"/memory/*.cpp "$k"/transform/*.cpp "$k"/huffman/*.cpp "$k"/lossless/*.cpp
      "$k"/colour/*.cpp "$k"/quanttable/*.cpp
      "$root"/platform/source/*.cpp)
objs=()
for s in "${srcs[@]}"; do
  flags=()
  case "$s" in
    *_sse2.cpp) flags=(-msse2) ;; *_sse3.cpp) flags=(-msse3) ;;
    *_ssse3.cpp) flags=(-mssse3) ;; *_avx2.cpp) flags=(-mavx2) ;; *_avx512.cpp) flags=(-mavx512f) ;;
  esac
  o=$out/$(echo "${s#$root/}" | tr / _).o
  clang++ -std=c++20 -g -O1 -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all "${flags[@]}" \
      -I"$k" -I"$k/tests" -I"$k/fuzz" -I"$root/platform/include" -c "$s" -o "$o"
  objs+=("$o")
done
clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
    -I"$k" -I"$k/tests" -I"$k/fuzz" -I"$root/platform/include" \
    "$k/fuzz/huffman_fuzz_entry.cpp" "$k/fuzz/huffman_fuzz.cpp" "${objs[@]}" -o "$out/huffman_fuzz"
cd "$out"
exec ./huffman_fuzz -max_total_time="$seconds" -rss_limit_mb=1024 -max_len=4096 -timeout=5 "$@" \
    corpus "$k/fuzz/corpus"
