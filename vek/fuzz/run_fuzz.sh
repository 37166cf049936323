#!/usr/bin/env bash
# Builds a vek fuzzer with clang (libFuzzer, ASan, UBSan) and runs it on one worker.
#   [VEK_FUZZ=dicominfo|dicomdir|rleframe|jpeg] vek/fuzz/run_fuzz.sh [seconds] [extra libFuzzer options...]
# VEK_FUZZ names the harness: dicominfo (DICOM files and their frames' chains, corpus in
# vek/fuzz/corpus), dicomdir (the DICOMDIR reader, vek/fuzz/corpus_dicomdir), rleframe (one RLE
# frame, vek/fuzz/corpus_rle) or jpeg (one JPEG stream through the readers, vek/fuzz/corpus_jpeg).
# New findings land in build-fuzz-vek/; the committed corpus stays small: merge with
#   build-fuzz-vek/vek_dicominfo_fuzz -merge=1 vek/fuzz/corpus build-fuzz-vek/corpus_dicominfo
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
out=$root/build-fuzz-vek
harness=${VEK_FUZZ:-dicominfo}
dict=(-dict="$root/pyr/fuzz/dicom.dict")
case $harness in
  dicominfo) corpus=$root/vek/fuzz/corpus ;;
  dicomdir) corpus=$root/vek/fuzz/corpus_dicomdir ;;
  rleframe) corpus=$root/vek/fuzz/corpus_rle; dict=() ;;
  jpeg) corpus=$root/vek/fuzz/corpus_jpeg; dict=(-dict="$root/jpeg/codec/fuzz/jpeg.dict") ;;
  *) echo "unknown harness $harness" >&2; exit 2 ;;
esac
seconds=${1:-60}
shift || true
mkdir -p "$out/corpus_$harness" "$out/obj"
includes=(-I"$root/pyr/include" -I"$root/platform/include" -I"$root/vek/framework/include" -I"$root/vek/core/include"
          -I"$root/vek/fuzz" -I"$root/jpeg/codec/include" -I"$root/jpeg/kernels")
for dir in "$root"/vek/core/*/include "$root"/vek/extension/*/include; do includes+=(-I"$dir"); done
flags=(-std=c++20 -g -O1 -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all)
sources=("$root"/pyr/source/*.cpp "$root"/platform/source/*.cpp "$root/vek/fuzz/vekfuzzentry.cpp"
         "$root/vek/fuzz/vekjpegfuzzentry.cpp" "$root/vek/fuzz/vek${harness}_fuzz.cpp" "$root"/jpeg/codec/source/*.cpp
         "$root"/jpeg/kernels/{processor,transform,memory,huffman,lossless,colour,quanttable}/*.cpp)
while IFS= read -r -d '' f; do sources+=("$f"); done < <(find "$root/vek/framework" "$root/vek/core" "$root/vek/extension" -name "*.cpp" -print0)
# Objects are kept between runs by their sources' times; a changed header rebuilds them all.
if [ -e "$out/obj/.stamp" ] && [ -n "$(find "$root/pyr" "$root/platform" "$root/vek" "$root/jpeg" \( -name '*.h' -o -name '*.inc' \) \
      -newer "$out/obj/.stamp" -print -quit)" ]; then
  rm -f "$out"/obj/*.o
fi
touch "$out/obj/.stamp"
objects=()
for src in "${sources[@]}"; do
  obj="$out/obj/$(echo "${src#$root/}" | tr '/' '_').o"
  # The kernels' SIMD bodies, each with its own instruction set, as CMake builds them.
  isa=()
  case "$src" in
    *_sse2.cpp) isa=(-msse2) ;; *_sse3.cpp) isa=(-msse3) ;; *_ssse3.cpp) isa=(-mssse3) ;; *_sse41.cpp) isa=(-msse4.1) ;; *_avx2.cpp) isa=(-mavx2) ;; *_avx512.cpp) isa=(-mavx512f) ;;
  esac
  [ "$obj" -nt "$src" ] || clang++ "${flags[@]}" "${isa[@]}" "${includes[@]}" -c "$src" -o "$obj" &
  objects+=("$obj")
  while [ "$(jobs -r | wc -l)" -ge 4 ]; do wait -n; done
done
wait
clang++ -fsanitize=fuzzer,address,undefined "${objects[@]}" -o "$out/vek_${harness}_fuzz"
cd "$out"
exec ./vek_"${harness}"_fuzz -max_total_time="$seconds" -rss_limit_mb=2048 -max_len=16384 -timeout=5 -jobs=1 \
    "${dict[@]}" "$@" "corpus_$harness" "$corpus"
