#!/usr/bin/env bash
# On-demand extraction of one 512 KB member from a 2,000-member archive against Debian's
#   unzip -o ARCHIVE MEMBER -d DIR
# in the same run; the target is a ratio of at most 1.5. Then a load's extraction of a 60 MB
# member deflated 1000 to 1 (a DICOM file whose long zero value lies before its pixels, as
# app/shell/frame/tests/data/write_wide_value_zip.py writes it), its frame's check included,
# against zlib's inflate of the same member written to the same folder: the target is a rate
# of at least two thirds of zlib's. Builds the benchmark first.
#   bench/shell_zip_bench.sh [build folder, default build]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
command -v unzip >/dev/null || { echo "unzip is missing (apt-get install unzip)"; exit 1; }
cmake --build "$build" --target shell_zip_bench -j4 >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 -W ignore "$root/app/shell/frame/tests/data/write_wide_value_zip.py" "$work/wide.zip" 1 60
KV_ZIP_BENCH_WIDE="$work/wide.zip" "$build/bench/shell_zip_bench" --benchmark_repetitions=5 \
    --benchmark_report_aggregates_only=true --benchmark_format=json --benchmark_out="$build/shell_zip_bench.json" \
    --benchmark_out_format=json >/dev/null
/usr/bin/python3 - "$build/shell_zip_bench.json" <<'PY'
import json, os, sys
runs = {b["run_name"].split("/")[0]: b for b in json.load(open(sys.argv[1]))["benchmarks"] if b.get("aggregate_name") == "median"}
ours = runs["BM_ExtractZipMember"]
peer = runs["BM_UnzipPeer"]
ratio = ours["real_time"] / peer["real_time"]
print("ExtractZipMember %.3f ms, unzip %.3f ms, ratio %.2f (target <= 1.5)" % (ours["real_time"], peer["real_time"], ratio))
print("large allocations per extraction: %.2f (the copy buffer only: 1)" % ours["large_allocs"])
wide = runs["BM_ExtractWideMember"]
zlib = runs["BM_InflateWidePeer"]
rate = wide["bytes_per_second"] / zlib["bytes_per_second"]
print("60 MB member: extraction %.0f MB/s (%.1f ms), zlib inflate and write %.0f MB/s (%.1f ms), rate %.2f of zlib's"
      " (target >= 0.67); load %.1f" % (wide["bytes_per_second"] / 1e6, wide["real_time"], zlib["bytes_per_second"] / 1e6,
                                          zlib["real_time"], rate, os.getloadavg()[0]))
if ours["failures"] or peer["failures"] or wide["failures"] or zlib["failures"]:
    sys.exit("extraction failed")
sys.exit(0 if ratio <= 1.5 and ours["large_allocs"] <= 1.0 and rate >= 2 / 3 else 1)
PY
