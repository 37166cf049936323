#!/usr/bin/env bash
# Installs what is missing, builds and runs every test.
#   ./test.sh             optimised build in build/
#   ./test.sh --sanitize  AddressSanitizer + UndefinedBehaviorSanitizer build in build-san/
#   ./test.sh --tsan      ThreadSanitizer build in build-tsan/
set -euo pipefail
cd "$(dirname "$0")"

sanitize=0
tsan=0
for arg in "$@"; do
  case "$arg" in
    --sanitize) sanitize=1 ;;
    --tsan) tsan=1 ;;
    *) echo "usage: $0 [--sanitize | --tsan]" >&2; exit 2 ;;
  esac
done

./install_missing.sh tests

jobs=$(nproc)
if [ "$tsan" = 1 ]; then
  dir=build-tsan
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_TSAN=ON -DKV_TESTS=ON -DKV_BENCH=OFF
  # Qt is not built for ThreadSanitizer; the file names only Qt's libraries.
  export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tsan-qt.supp
elif [ "$sanitize" = 1 ]; then
  dir=build-san
  # Benchmarks are timed in the optimised build only.
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKV_SANITIZE=ON -DKV_TESTS=ON -DKV_BENCH=OFF
  export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
else
  dir=build
  # run.sh may have configured this folder without the tests and benchmarks.
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_TESTS=ON -DKV_BENCH=ON
fi
cmake --build "$dir" -j "$jobs"
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$dir" --output-on-failure -j "$jobs"
