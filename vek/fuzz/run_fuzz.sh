#!/usr/bin/env bash
# Builds a DICOM fuzzer with clang (libFuzzer, ASan, UBSan) and runs it.
#   vek/fuzz/run_fuzz.sh [seconds] [extra libFuzzer options...]
#   VEK_FUZZ_TARGET=dicomdir vek/fuzz/run_fuzz.sh ...   the DICOMDIR reader (corpus_dicomdir)
# Only the framework and the DICOM extension are built: the fuzzer needs nothing else.
# New findings land in build-fuzz-vek/; the committed corpus stays small: merge with
#   build-fuzz-vek/vek_dicominfo_fuzz -merge=1 vek/fuzz/corpus build-fuzz-vek/corpus
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
out=$root/build-fuzz-vek
seconds=${1:-60}
target=${VEK_FUZZ_TARGET:-dicominfo}
case $target in
  dicominfo) corpus=corpus ;;
  dicomdir) corpus=corpus_dicomdir ;;
  *) echo "unknown target $target" >&2; exit 2 ;;
esac
shift || true
mkdir -p "$out/corpus_$target" "$out/obj"
includes=(-I"$root/pyr/include" -I"$root/platform/include" -I"$root/vek/framework/include" -I"$root/vek/fuzz")
for dir in "$root"/vek/core/*/include "$root"/vek/extension/*/include; do includes+=(-I"$dir"); done
flags=(-std=c++20 -g -O1 -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all)
sources=("$root"/pyr/source/*.cpp "$root"/platform/source/*.cpp "$root/vek/fuzz/vekfuzzentry.cpp"
         "$root/vek/fuzz/vek${target}_fuzz.cpp")
while IFS= read -r -d '' f; do sources+=("$f"); done < <(find "$root/vek/framework" "$root/vek/extension/dicom" -name "*.cpp" -print0)
# Objects are kept between runs by their sources' times; a changed header rebuilds them all.
if [ -e "$out/obj/.stamp" ] && [ -n "$(find "$root/pyr" "$root/platform" "$root/vek/framework" "$root/vek/extension" \
      "$root/vek/fuzz" \( -name '*.h' -o -name '*.inc' \) -newer "$out/obj/.stamp" -print -quit)" ]; then
  rm -f "$out"/obj/*.o
fi
touch "$out/obj/.stamp"
objects=()
for src in "${sources[@]}"; do
  obj="$out/obj/$(echo "${src#$root/}" | tr '/' '_').o"
  [ "$obj" -nt "$src" ] || clang++ "${flags[@]}" "${includes[@]}" -c "$src" -o "$obj" &
  objects+=("$obj")
  while [ "$(jobs -r | wc -l)" -ge 4 ]; do wait -n; done
done
wait
clang++ -fsanitize=fuzzer,address,undefined "${objects[@]}" -o "$out/vek_${target}_fuzz"
cd "$out"
exec ./vek_${target}_fuzz -max_total_time="$seconds" -rss_limit_mb=2048 -max_len=16384 -timeout=5 \
    -dict="$root/pyr/fuzz/dicom.dict" "$@" "corpus_$target" "$root/vek/fuzz/$corpus"
