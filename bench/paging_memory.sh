#!/usr/bin/env bash
# Peak memory of paging a series of 3,000 records (200 files of 512 x 512 x 16 bits, a fast
# disk) end to end by PageDown in the series grid, each run a process of its own: the test
# LongSeriesTest.DISABLED_PagingALongSeriesEndToEnd of app_shell_frame_tests prints its peak
# resident size and the threads it started; /usr/bin/time gives the process's. Never asserted.
#   bench/paging_memory.sh [BUILD_DIR (default build/)] [RUNS (default 10)]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
runs="${2:-10}"
tests="$build/app/shell/frame/app_shell_frame_tests"
[ -x "$tests" ] || { echo "no $tests: build app_shell_frame_tests (KV_TESTS=ON)"; exit 1; }
echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg) (shared machines vary)"
for run in $(seq 1 "$runs"); do
  out=$(QT_QPA_PLATFORM=offscreen /usr/bin/time -v "$tests" --gtest_also_run_disabled_tests \
        --gtest_filter='LongSeriesTest.DISABLED_PagingALongSeriesEndToEnd' 2>&1 || true)
  measured=$(grep -E '^\[ measured \]' <<<"$out" | sed 's/^\[ measured \] //' || true)
  rss=$(grep -E 'Maximum resident set size' <<<"$out" | awk '{print $NF}')
  wall=$(grep -E 'Elapsed \(wall clock\)' <<<"$out" | awk '{print $NF}')
  printf 'run %2d: %s; process peak %d MiB, %s\n' "$run" "${measured:-no figures (failed?)}" $((rss / 1024)) "$wall"
done
