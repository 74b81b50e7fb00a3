#!/usr/bin/env bash
# The whole test suite: a normal build (warnings are errors), an AddressSanitizer +
# UndefinedBehaviorSanitizer build, a ThreadSanitizer build of the threaded suites,
# and a short run of every fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

run_suite() {  # build-dir cmake-args... -- ctest-args...
  local dir=$1; shift
  local cmake_args=() ctest_args=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do cmake_args+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  ctest_args=("$@")
  echo "=== $dir"
  cmake -S . -B "$dir" -G Ninja -DCL_WERROR=ON "${cmake_args[@]}" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" "${ctest_args[@]}"
}

run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo -- --no-tests=error
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build-asan -DCMAKE_BUILD_TYPE=Debug "-DCL_SANITIZE=address,undefined"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  run_suite build-tsan -DCMAKE_BUILD_TYPE=Debug -DCL_SANITIZE=thread -- -L tsan --no-tests=error
scripts/fuzz-smoke.sh
echo "=== all tests passed"
