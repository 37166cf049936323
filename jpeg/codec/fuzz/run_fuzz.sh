#!/usr/bin/env bash
# Builds the header-reading fuzzer with clang (libFuzzer, ASan, UBSan) and runs it on one worker.
#   jpeg/codec/fuzz/run_fuzz.sh [seconds] [extra libFuzzer options...]
# New findings land in build-fuzz/jpeg-corpus; the committed corpus stays small: merge with
#   build-fuzz/jpeg_header_fuzz -merge=1 jpeg/codec/fuzz/corpus build-fuzz/jpeg-corpus
set -euo pipefail
root=$(cd "$(dirname "$0")/../../.." && pwd)
out=$root/build-fuzz
seconds=${1:-60}
shift || true
mkdir -p "$out/jpeg-corpus"
flags=(-std=c++20 -g -O1 -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
       -I"$root/jpeg/codec/include" -I"$root/jpeg/kernels" -I"$root/platform/include" -I"$root/jpeg/codec/fuzz")
# The kernels beneath the decoder: each SIMD body with its own instruction set, as CMake builds them.
mkdir -p "$out/jpeg-kernel-objects"
objects=()
for src in "$root"/jpeg/kernels/{processor,transform,memory,huffman,lossless,colour,quanttable}/*.cpp \
           "$root"/platform/source/platdispatch.cpp; do
    isa=()
    case "$src" in
        *_sse2.cpp) isa=(-msse2) ;; *_sse3.cpp) isa=(-msse3) ;; *_ssse3.cpp) isa=(-mssse3) ;; *_avx2.cpp) isa=(-mavx2) ;; *_avx512.cpp) isa=(-mavx512f) ;;
    esac
    obj="$out/jpeg-kernel-objects/$(basename "$(dirname "$src")")_$(basename "$src" .cpp).o"
    clang++ "${flags[@]}" "${isa[@]}" -c "$src" -o "$obj"
    objects+=("$obj")
done
# The codec's own SIMD bodies likewise.
for src in "$root"/jpeg/codec/source/*.cpp; do
    isa=()
    case "$src" in
        *_sse2.cpp) isa=(-msse2) ;; *_ssse3.cpp) isa=(-mssse3) ;; *_sse41.cpp) isa=(-msse4.1) ;; *_avx2.cpp) isa=(-mavx2) ;; *_avx512.cpp) isa=(-mavx512f) ;;
    esac
    obj="$out/jpeg-kernel-objects/codec_$(basename "$src" .cpp).o"
    clang++ "${flags[@]}" "${isa[@]}" -c "$src" -o "$obj"
    objects+=("$obj")
done
clang++ "${flags[@]}" -fsanitize=fuzzer "${objects[@]}" \
    "$root/jpeg/codec/fuzz/jpegfuzzentry.cpp" "$root/jpeg/codec/fuzz/jpegheader_fuzz.cpp" \
    -o "$out/jpeg_header_fuzz"
cd "$out"
exec ./jpeg_header_fuzz -max_total_time="$seconds" -rss_limit_mb=1024 -max_len=4096 -timeout=5 \
    -dict="$root/jpeg/codec/fuzz/jpeg.dict" "$@" jpeg-corpus "$root/jpeg/codec/fuzz/corpus"
