#!/usr/bin/env bash
# Installs what is missing, builds and runs every test.
#   ./test.sh             optimised build in build/
#   ./test.sh --sanitize  AddressSanitizer + UndefinedBehaviorSanitizer build in build-san/
#   ./test.sh --tsan      ThreadSanitizer build in build-tsan/
#   ./test.sh --format    checks that every C and C++ file is formatted, builds nothing
set -euo pipefail
cd "$(dirname "$0")"

sanitize=0
tsan=0
format=0
for arg in "$@"; do
  case "$arg" in
    --sanitize) sanitize=1 ;;
    --tsan) tsan=1 ;;
    --format) format=1 ;;
    *) echo "usage: $0 [--sanitize | --tsan | --format]" >&2; exit 2 ;;
  esac
done

if [ "$format" = 1 ]; then
  ./install_missing.sh format
  # Each file in the style of its nearest .clang-format; the version is pinned, as another
  # clang-format lays the same code out differently.
  git ls-files -z -- '*.c' '*.cc' '*.cpp' '*.h' '*.hpp' | xargs -0 clang-format-14 --dry-run --Werror
  echo "format: every file is formatted"
  exit 0
fi

./install_missing.sh tests

jobs=$(nproc)
if [ "$tsan" = 1 ]; then
  dir=build-tsan
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_TSAN=ON -DKV_TESTS=ON -DKV_BENCH=OFF
  # Qt is not built for ThreadSanitizer; the file names only Qt's libraries and GLib, on which
  # Qt's event dispatcher runs. The runtime's own second of sleep in _exit would let a process's
  # threads run on past the end the tests hold it to.
  export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:atexit_sleep_ms=0:suppressions=$PWD/tsan-qt.supp
elif [ "$sanitize" = 1 ]; then
  dir=build-san
  # Benchmarks are timed in the optimised build only.
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKV_SANITIZE=ON -DKV_TESTS=ON -DKV_BENCH=OFF
  export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
else
  dir=build
  # run.sh may have configured this folder without the tests and benchmarks.
  # KV_BENCH=OFF leaves the benchmarks out: CI's two cores go to the tests.
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_TESTS=ON -DKV_BENCH="${KV_BENCH:-ON}"
fi
cmake --build "$dir" -j "$jobs"
export QT_QPA_PLATFORM=offscreen
# Many tests spend most of their time waiting on a simulated slow drive, a timer or a child
# process: two at a time per core keep the cores busy. ThreadSanitizer's runs stay one per core.
test_jobs=$(( jobs * 2 ))
if [ "$tsan" = 1 ]; then
  test_jobs=$jobs
fi
ctest --test-dir "$dir" --output-on-failure -j "$test_jobs"
