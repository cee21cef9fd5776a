#!/usr/bin/env bash
# Speed of the offline renderer: frames per second and real-time factor for the
# bundled patch and for a generated patch of 64 keyboard-driven oscillators.
# Usage: scripts/render-speed.sh [BUILD_DIR] [FRAMES]   (defaults: build, 2205000 = 50 s)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
FRAMES=${2:-2205000}
RENDER="$PWD/$BUILD/tev-render"
TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT

# 64 saw oscillators on three keyboards, eight mixers of eight inputs, eight amplifiers
# (the last three declared are the key voices).
{
  echo "KEY3;"; echo "KEY2;"; echo "KEY1;"
  for i in $(seq 1 64); do
    echo "VCO$i;*TYPE=2;*AMOUNT=1;KEY$(( (i - 1) % 3 + 1 )):NOTE;*NOTE=$(( i % 12 ));"
  done
  for m in $(seq 1 8); do
    line="MIXER$m;"
    for j in $(seq 1 8); do line+="VCO$(( (m - 1) * 8 + j )):IN$j;"; done
    echo "$line"
  done
  for m in $(seq 8 -1 4); do echo "VCA$m;*ATTACK=1;*SUSTAIN=1;MIXER$m:OUT;"; done
  for m in 3 2 1; do echo "VCA$m;*ATTACK=1;*SUSTAIN=1;MIXER$m:OUT;KEY$m:GATE;"; done
} > "$TMP/osc64.TSY"
"$RENDER" --check "$TMP/osc64.TSY" >/dev/null || { echo "the generated patch has problems" >&2; exit 1; }

measure() {  # dir patch label
  local start end
  start=$(date +%s.%N)
  (cd "$1" && "$RENDER" --quiet --frames "$FRAMES" --event 0:down:z --event 0:down:a \
      --event 0:down:q "$2" "$TMP/out.wav")
  end=$(date +%s.%N)
  awk -v f="$FRAMES" -v s="$start" -v e="$end" -v l="$3" \
    'BEGIN { t = e - s; printf "%-28s %9d frames in %6.2f s: %11.0f frames/s, %6.1f x real time\n", l, f, t, f / t, f / 44100 / t }'
}

measure patches SYNTH_2.TSY "patches/SYNTH_2.TSY"
measure "$TMP" osc64.TSY "64 keyboard oscillators"
