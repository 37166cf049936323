#!/usr/bin/env bash
# Builds one libFuzzer harness (CMake's KV_FUZZ build: clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, in build-fuzz/) and runs it on its committed corpus.
#   ./fuzz.sh HARNESS [seconds] [extra libFuzzer options...]     (60 seconds unless given)
# HARNESS and its corpus:
#   pyr_dataset_fuzz   pyr/fuzz/corpus                 DICOM datasets
#   vek_dicominfo_fuzz vek/fuzz/corpus                 DICOM files and their frames' chains
#   vek_dicomdir_fuzz  vek/fuzz/corpus_dicomdir        the DICOMDIR reader
#   vek_rleframe_fuzz  vek/fuzz/corpus_rle             one RLE frame
#   vek_jpeg_fuzz      vek/fuzz/corpus_jpeg            one JPEG stream through the readers
#   jpeg_header_fuzz   jpeg/codec/fuzz/corpus          the codec's header reading
#   huffman_fuzz       jpeg/kernels/fuzz/corpus        the Huffman kernels, each level against level 0
#   jis_fuzz           app/base/messages/fuzz/corpus   JIS to Shift-JIS conversion
#   zip_fuzz           app/base/archive/fuzz/corpus    the zip reader
#   xmlfileaccess_fuzz app/base/cornertext/fuzz/corpus the OVERLAY.XML reader
#   platprofile_fuzz   platform/fuzz/corpus            the settings-file reader
# New inputs land in build-fuzz/corpus/HARNESS, findings in build-fuzz/, the log of a harness
# run in jobs in build-fuzz/run/HARNESS/ (so two harnesses at once keep their own); the
# committed corpus stays small: merge with
#   build-fuzz/fuzz/HARNESS -merge=1 COMMITTED_CORPUS build-fuzz/corpus/HARNESS
set -euo pipefail
root="$(cd "$(dirname "$0")" && pwd)"
[ $# -ge 1 ] || { sed -n '2,/^set -e/p' "$0" | sed '$d' >&2; exit 2; }
harness=$1
seconds=${2:-60}
shift $(( $# >= 2 ? 2 : 1 ))

options=(-rss_limit_mb=1024 -max_len=4096 -timeout=5)
vek=(-rss_limit_mb=2048 -max_len=16384 -timeout=5 -jobs=1)
case $harness in
  pyr_dataset_fuzz) corpus=pyr/fuzz/corpus; options=(-rss_limit_mb=1024 -max_len=8192 -timeout=5 -dict="$root/pyr/fuzz/dicom.dict") ;;
  vek_dicominfo_fuzz) corpus=vek/fuzz/corpus; options=("${vek[@]}" -dict="$root/pyr/fuzz/dicom.dict") ;;
  vek_dicomdir_fuzz) corpus=vek/fuzz/corpus_dicomdir; options=("${vek[@]}" -dict="$root/pyr/fuzz/dicom.dict") ;;
  vek_rleframe_fuzz) corpus=vek/fuzz/corpus_rle; options=("${vek[@]}") ;;
  vek_jpeg_fuzz) corpus=vek/fuzz/corpus_jpeg; options=("${vek[@]}" -dict="$root/jpeg/codec/fuzz/jpeg.dict") ;;
  jpeg_header_fuzz) corpus=jpeg/codec/fuzz/corpus; options+=(-dict="$root/jpeg/codec/fuzz/jpeg.dict") ;;
  huffman_fuzz) corpus=jpeg/kernels/fuzz/corpus ;;
  jis_fuzz) corpus=app/base/messages/fuzz/corpus; options=(-rss_limit_mb=1024 -max_len=1024 -timeout=5 -dict="$root/app/base/messages/fuzz/jis.dict") ;;
  # Past the largest archive comment (65,535 bytes) and a name longer than any path.
  zip_fuzz) corpus=app/base/archive/fuzz/corpus; options=(-rss_limit_mb=1024 -max_len=73728 -timeout=5 -jobs=1 -workers=1) ;;
  xmlfileaccess_fuzz) corpus=app/base/cornertext/fuzz/corpus; options+=(-dict="$root/app/base/cornertext/fuzz/overlay.dict") ;;
  platprofile_fuzz) corpus=platform/fuzz/corpus ;;
  *) echo "unknown harness $harness (see $0)" >&2; exit 2 ;;
esac

"$root/install_missing.sh" fuzz
out="$root/build-fuzz"
[ -f "$out/build.ninja" ] || cmake -S "$root" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DKV_FUZZ=ON -DKV_TESTS=OFF -DKV_BENCH=OFF
cmake --build "$out" -j "$(nproc)" --target "$harness"
mkdir -p "$out/corpus/$harness" "$out/run/$harness"
# libFuzzer writes a job's log as fuzz-N.log where it runs: each harness runs in its own folder.
cd "$out/run/$harness"
exec "$out/fuzz/$harness" -max_total_time="$seconds" -artifact_prefix="$out/" "${options[@]}" "$@" \
    "$out/corpus/$harness" "$root/$corpus"
