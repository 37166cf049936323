#!/usr/bin/env bash
# The viewer's end when its X server goes: the real viewer on a private Xvfb imports a zip whose
# first member (10 MB) comes out of the tests' slow medium, and the server is killed during that
# copy or once it is whole, at moments spread over the first second; a run that ended by a
# signal or left anything under its temporary folder is counted. Prints the counts.
#   bench/x_loss_end.sh [build folder, default build] [runs, default 40]
# The build folder needs the tests (-DKV_TESTS=ON); Xvfb comes with install_missing.sh tests.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
runs=${2:-40}
cmake --build "$build" --target app_shell_main_tests kestro kv_slowdisc -j4 >/dev/null
KV_X_LOSS_RUNS=$runs QT_QPA_PLATFORM=offscreen "$build/app/shell/main/app_shell_main_tests" \
  --gtest_filter='SlowDiscViewerTest.LosingTheXServerDuringOrAfterAnExtractionLeavesNothingAndCrashesNothing' |
  grep -E 'figures|left,|ended by a signal|OK|FAILED' || true
