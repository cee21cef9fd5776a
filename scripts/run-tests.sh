#!/usr/bin/env bash
# The whole test suite on a fresh Debian machine: installs what it needs, then
#   1. the normal build and every test;
#   2. the suite again under AddressSanitizer + UndefinedBehaviorSanitizer (end-to-end
#      tests, label e2e, excluded: they drive the same binaries through X and sound);
#   3. the concurrency tests (label concurrency) under ThreadSanitizer;
#   4. every fuzz target for TEV_FUZZ_SECONDS (default 30: six targets in the time
#      three took at 60) under libFuzzer.
# Each build has its own folder. Exits non-zero when anything fails; prints the time
# of every stage. TEV_STAGES (default "normal asan tsan fuzz") picks stages.
set -euo pipefail
cd "$(dirname "$0")/.."

JOBS=${JOBS:-2}
STAGES=${TEV_STAGES:-normal asan tsan fuzz}
FUZZ_SECONDS=${TEV_FUZZ_SECONDS:-30}

bash scripts/install-deps.sh

timings=()
stage() {
  local name=$1
  shift
  local t0=$SECONDS
  echo "=== stage $name"
  "$@"
  timings+=("$name $((SECONDS - t0))s")
  echo "=== stage $name passed in $((SECONDS - t0))s"
}
want() { [[ " $STAGES " == *" $1 "* ]]; }

normal() {
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
  cmake --build build -j"$JOBS"
  (cd build && ctest --output-on-failure -j"$JOBS")
}

# Sanitizer runtime settings: every report is fatal, with a stack.
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/tests/sanitizers/lsan.supp:print_suppressions=0}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

asan() {
  cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTEV_SANITIZE=ON \
    -DTEV_BUILD_BENCH=OFF
  cmake --build build-asan -j"$JOBS"
  (cd build-asan && ctest --output-on-failure -j"$JOBS" -LE e2e)
}

# Only the concurrency test binary is built (ctest label "concurrency": the key
# thread pushing operations while the audio thread renders).
tsan() {
  cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTEV_TSAN=ON \
    -DTEV_BUILD_BENCH=OFF
  local targets
  targets=$(cmake --build build-tsan --target help)
  if ! grep -q ' tev_concurrency_tests$' <<<"$targets"; then
    echo "no concurrency test binary: nothing to run under ThreadSanitizer"
    return 0
  fi
  cmake --build build-tsan -j"$JOBS" --target tev_concurrency_tests
  (cd build-tsan && ctest --output-on-failure -j"$JOBS" -L concurrency --no-tests=error)
}

fuzz() {
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTEV_FUZZ=ON -DTEV_BUILD_BENCH=OFF
  cmake --build build-fuzz -j"$JOBS" --target fuzz_targets
  # libFuzzer's own defaults: it reports and keeps the input itself.
  ASAN_OPTIONS= LSAN_OPTIONS= bash scripts/fuzz.sh "$FUZZ_SECONDS" build-fuzz
}

for s in normal asan tsan fuzz; do
  if want $s; then stage $s $s; fi
done
printf 'stage times: %s\n' "${timings[*]}"
