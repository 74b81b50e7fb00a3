#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer included) and runs each
# for a few seconds from its seed corpus. Longer runs by hand:
#   build-fuzz/bin/fuzz_<name> -max_total_time=600 fuzz/corpus/<name>
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-5}
ls fuzz/fuzz_*.cpp >/dev/null 2>&1 || { echo "no fuzz targets"; exit 0; }
echo "=== build-fuzz"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCL_FUZZ=ON -DCL_SANITIZE=address,undefined >/dev/null
targets=$(for f in fuzz/fuzz_*.cpp; do basename "$f" .cpp; done)
[ -d tools/fuzz-seeds ] && targets="$targets fuzz-seeds"
cmake --build build-fuzz -j "$(nproc)" --target $targets
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for target in build-fuzz/bin/fuzz_*; do
  name=$(basename "$target"); name=${name#fuzz_}
  mkdir -p "$work/$name"
  # Seeds: the committed corpus plus whatever the seed writer makes for this target.
  [ -d "fuzz/corpus/$name" ] && cp -r "fuzz/corpus/$name/." "$work/$name/"
  [ -x build-fuzz/bin/fuzz-seeds ] && build-fuzz/bin/fuzz-seeds "$name" "$work/$name" >/dev/null
  echo "--- fuzz_$name (${seconds}s)"
  "$target" -max_total_time="$seconds" -rss_limit_mb=2048 "$work/$name" 2>"$work/$name.log" \
    || { tail -n 60 "$work/$name.log"; exit 1; }
  grep -E "^Done|stat::number_of_executed_units" "$work/$name.log" | tail -n 1 || true
done
