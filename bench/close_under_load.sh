#!/usr/bin/env bash
# The viewer's end during a zip member's copy on an overloaded machine: busy loops beside the
# viewer, which copies a zip's first member (10 MB) out of the tests' slow medium at 2 MB/s, and
# a close of its window 2 s after the start, or SIGTERM 2 s into the copy, run by run; a run
# that left anything under its temporary folder is counted. Prints each end's time from its cause
# (the close asked for, the signal sent) and from the window's going, to the process's end taken
# from outside; their median and most; the machine's load (1, 5, 15 min) then; and the counts.
#   bench/close_under_load.sh [build folder, default build] [runs, default 20] [busy loops, default 24]
# The build folder needs the tests (-DKV_TESTS=ON).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
runs=${2:-20}
loops=${3:-24}
cmake --build "$build" --target app_shell_main_tests slow_disc_viewer kv_slowdisc -j4 >/dev/null
KV_CLOSE_LOAD_RUNS=$runs KV_BUSY_LOOPS=$loops QT_QPA_PLATFORM=offscreen "$build/app/shell/main/app_shell_main_tests" \
  --gtest_filter='SlowDiscViewerTest.AnEndDuringAnExtractionUnderLoadLeavesNothing' |
  grep -E 'figures  \]|left,|Failure|OK|FAILED' || true
