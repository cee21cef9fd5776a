#!/usr/bin/env bash
# Runs every libFuzzer target for a bounded time, starting from its seed corpus and
# its past failures. Any crash, leak, timeout or out-of-memory fails the run, and the
# input that caused it is copied into tests/fuzz/regressions/<target>/ so that ctest
# replays it from then on (commit it with the fix).
#
# usage: scripts/fuzz.sh [seconds per target, default 60] [build dir, default build-fuzz]
# TEV_FUZZ_TARGETS="fuzz_load_tsy" picks targets.
# The build dir must hold the targets: CC=clang CXX=clang++ cmake -S . -B build-fuzz
# -DTEV_FUZZ=ON && cmake --build build-fuzz --target fuzz_targets
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
SECS=${1:-60}
BUILD=$(cd "${2:-build-fuzz}" && pwd)
WORK=$ROOT/tests/fuzz/work
TARGETS=(${TEV_FUZZ_TARGETS:-fuzz_tstr_parser fuzz_load_tsy fuzz_load_wav fuzz_midi_file fuzz_midi_map
  fuzz_render_args})

# Leaks inside third-party libraries (libsmf on a refused header) are known and
# suppressed with their reasons; every leak of ours fails the run.
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$ROOT/tests/sanitizers/lsan.supp:print_suppressions=0}

status=0
for t in "${TARGETS[@]}"; do
  corpus=$WORK/$t/corpus
  artifacts=$WORK/$t/artifacts
  rm -rf "$artifacts"
  mkdir -p "$corpus" "$artifacts"
  # Seeds and past failures start every run; what a run adds stays in the work corpus.
  cp -n "$ROOT"/tests/fuzz/corpus/$t/* "$corpus"/ 2>/dev/null || true
  cp -n "$ROOT"/tests/fuzz/regressions/$t/* "$corpus"/ 2>/dev/null || true
  case $t in
    fuzz_load_wav) maxlen=16384 ;;
    *) maxlen=4096 ;;
  esac
  # A target's own dictionary where it has one, else the patch words.
  dict=$ROOT/tests/fuzz/$t.dict
  [ -f "$dict" ] || dict=$ROOT/tests/fuzz/tsy.dict
  log=$WORK/$t/log
  start=$(date +%s)
  # -timeout: one input that runs 10 s is a hang (a normal one takes milliseconds).
  # -rss_limit_mb: a sampler's 16 MB buffer is committed only where written, so 2 GB
  # means runaway allocation. Leak detection stays on (ASan's default).
  "$BUILD/$t" -max_total_time="$SECS" -timeout=10 -rss_limit_mb=2048 -max_len=$maxlen \
    -dict="$dict" -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "$corpus" </dev/null >"$log" 2>&1
  rc=$?
  took=$(( $(date +%s) - start ))
  execs=$(grep -m1 '^stat::number_of_executed_units' "$log" | awk '{print $2}')
  last=$(grep -E '^#[0-9]+' "$log" | tail -1)
  cov=$(sed -n 's/.*cov: \([0-9]*\).*/\1/p' <<<"$last")
  ft=$(sed -n 's/.*ft: \([0-9]*\).*/\1/p' <<<"$last")
  echo "fuzz $t: ${took}s, ${execs:-?} executions, cov ${cov:-?}, ft ${ft:-?}, corpus $(ls "$corpus" | wc -l) files, exit $rc"
  if [ $rc -ne 0 ] || [ -n "$(ls -A "$artifacts")" ]; then
    status=1
    grep -E 'ERROR|SUMMARY|Test unit written' "$log" | head -20
    tail -60 "$log"
    mkdir -p "$ROOT/tests/fuzz/regressions/$t"
    for a in "$artifacts"/*; do
      [ -e "$a" ] || continue
      cp "$a" "$ROOT/tests/fuzz/regressions/$t/"
      echo "kept $(basename "$a") in tests/fuzz/regressions/$t/"
    done
  fi
done
exit $status
