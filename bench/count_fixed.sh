#!/usr/bin/env bash
# BM_Voices's workload (N sustaining sine voices, no sequencer) counted by callgrind
# through Player::render in 1024-frame blocks: instructions per sample at 16 and 256
# voices (each the difference of a 100-block and a 50-block run), and from the two
# the cost of a voice W and the cost of a sample that does not depend on the voices
# F (per sample: W x N + F). ns per voice at 16 and 256 voices stay within 1.2 times
# of each other while F <= 3.4 W or so.
#
# usage: bench/count_fixed.sh     TEV_BENCH=path/to/tev_bench (default: build/tev_bench)
set -euo pipefail
cd "$(dirname "$0")/.."
TEV_BENCH=$(realpath "${TEV_BENCH:-build/tev_bench}")
command -v valgrind >/dev/null || { echo "count_fixed.sh: valgrind not found" >&2; exit 1; }
WORK=$(mktemp -d /tmp/tev_count.XXXXXX)
trap 'rm -rf "$WORK"' EXIT

instructions() {
  local out="$WORK/cg.$RANDOM"
  valgrind --tool=callgrind --callgrind-out-file="$out" "$TEV_BENCH" --render-voices "$1" "$2" \
    >/dev/null 2>&1
  sed -n 's/^summary: *//p' "$out"
}
a1=$(instructions 16 50); a2=$(instructions 16 100)
b1=$(instructions 256 50); b2=$(instructions 256 100)
awk -v a1="$a1" -v a2="$a2" -v b1="$b1" -v b2="$b2" 'BEGIN {
  frames = 50 * 1024
  c16 = (a2 - a1) / frames; c256 = (b2 - b1) / frames
  w = (c256 - c16) / 240; f = c16 - 16 * w
  printf "per sample: 16 voices %.1f, 256 voices %.1f instructions\n", c16, c256
  printf "W %.2f instructions per voice-sample, F %.1f per sample (F / W %.2f)\n", w, f, f / w
}'
