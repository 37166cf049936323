#!/usr/bin/env bash
# Large discs through the real frame, offscreen: the time, longest GUI stall, peak RSS and
# threads of opening 200,000 records (50,000 patients), of a double-click on a patient bar
# among them, and of 30,000 report series. The figures are printed, never asserted: the
# tests that make these discs assert only counts (bar widgets, notices, opens).
#   bench/large_discs.sh [BUILD_DIR]    (an optimised build with KV_TESTS=ON; default build/)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build}"
tests="$build/app/shell/frame/app_frame_tests"
[ -x "$tests" ] || { echo "no $tests: build app_frame_tests first" >&2; exit 1; }
echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
QT_QPA_PLATFORM=offscreen "$tests" \
    --gtest_filter='LargeDiscTest.ReportSeries*:LargeDiscTest.ManyPatients*:LargeWidgetsTest.*' 2>&1 |
    grep -E '^\[ measured \]|^\[  (FAILED|PASSED) '
