#!/usr/bin/env bash
# Instructions per voice and sample (N sustaining sine voices, bench/voices_patch.sh)
# and per sample (the bundled patch, three voices held), counted by callgrind as the
# difference of a 2 s and a 1 s tev-render: start-up, loading and writing the file
# cancel out. Counts do not move with the machine's load, unlike CPU time.
#
# usage: bench/count.sh [N voices (64)]
#   TEV_RENDER=path/to/tev-render (default: build/tev-render)
#   TEV_SIMD=scalar|sse2|avx2|avx512 forces a narrower lane width (valgrind's CPU
#     has no AVX-512: under callgrind avx2 is the widest)
set -euo pipefail
cd "$(dirname "$0")/.."

N=${1:-64}
TEV_RENDER=$(realpath "${TEV_RENDER:-build/tev-render}")
command -v valgrind >/dev/null || { echo "count.sh: valgrind not found" >&2; exit 1; }

WORK=$(mktemp -d /tmp/tev_count.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
# shellcheck source=bench/voices_patch.sh
. bench/voices_patch.sh
voices_patch "$N" > "$WORK/voices.tsy"

# Instructions of one render of $1 seconds; the rest are tev-render's arguments.
instructions() {
  local secs=$1 out="$WORK/cg.$RANDOM"
  shift
  valgrind --tool=callgrind --callgrind-out-file="$out" "$TEV_RENDER" --quiet \
    --seconds "$secs" "$@" >/dev/null 2>&1
  sed -n 's/^summary: *//p' "$out"
}
voices() { instructions "$1" "$WORK/voices.tsy" "$WORK/v.wav"; }
bundled() {
  (cd patches && instructions "$1" --event 0:down:z --event 0:down:a --event 0:down:q \
     SYNTH_2.TSY "$WORK/b.wav")
}

v1=$(voices 1); v2=$(voices 2)
b1=$(bundled 1); b2=$(bundled 2)
awk -v n="$N" -v v1="$v1" -v v2="$v2" -v b1="$b1" -v b2="$b2" 'BEGIN {
  printf "%d voices: %.1f instructions per voice and sample\n", n, (v2 - v1) / (44100 * n)
  printf "bundled patch, three voices held: %.0f instructions per sample\n", (b2 - b1) / 44100
}'
