#!/usr/bin/env bash
# Renders workload (b), N sustaining sine voices, for 60 s with tev-render and with
# the equivalent Csound orchestra at ksmps=1 and ksmps=64, and workload (a), the
# bundled patch with its three voices held, with tev-render, alternating the runs,
# and prints the median CPU time (user + system) of each, the ratios and the bundled
# patch's real-time factor.
#
# usage: bench/compare.sh [N voices (64)] [runs of each (5)] [seconds (60)]
#   TEV_RENDER=path/to/tev-render (default: build/tev-render)
#   TEV_RENDER_BASE=path/to/another/tev-render: also times the voices and the bundled
#     patch with it, side by side (a build of an earlier commit, say), and prints the
#     speed-ups
#
# The voice patch is bench/voices_patch.sh's.
set -euo pipefail
cd "$(dirname "$0")/.."

N=${1:-64}
RUNS=${2:-5}
SECONDS_=${3:-60}
TEV_RENDER=${TEV_RENDER:-build/tev-render}

if [ ! -x "$TEV_RENDER" ]; then
  echo "compare.sh: $TEV_RENDER not found; build the project first" >&2
  exit 1
fi

# Csound is needed by this comparison only (scripts/install-deps.sh installs it).
if ! command -v csound >/dev/null 2>&1; then
  echo "compare.sh: csound not found; run scripts/install-deps.sh" >&2
  exit 1
fi

WORK=$(mktemp -d /tmp/tev_compare.XXXXXX)
trap 'rm -rf "$WORK"' EXIT

# shellcheck source=bench/voices_patch.sh
. bench/voices_patch.sh
voices_patch "$N" > "$WORK/voices.tsy"

# --- the Csound orchestra: the same voices, phasor + sin times a sustaining envelope
# (attack of 200 samples, then 1.0 until the note ends), summed into a 16-bit WAV.
orc() {
  cat <<ORC
sr = 44100
ksmps = $1
nchnls = 2
0dbfs = 32768

instr 1
  aph  phasor p4
  asig = sin(aph * 6.2831853) * 100
  kenv linsegr 0, 0.0045, 1, 0.01, 0
  aout = asig * kenv
       outs aout, aout
endin
ORC
}
orc 1 > "$WORK/k1.orc"
orc 64 > "$WORK/k64.orc"
for ((i = 0; i < N; i++)); do
  echo "i1 0 $SECONDS_ $((220 + 7 * i))"
done > "$WORK/voices.sco"

# CPU time (user + system) of one command, in seconds. Taken as a difference: a
# python3 started through a wrapper (pyenv, say) already counts the wrapper's own
# children, tens of milliseconds.
cpu() {
  python3 - "$@" <<'PY'
import resource, subprocess, sys
t = lambda r: r.ru_utime + r.ru_stime
before = t(resource.getrusage(resource.RUSAGE_CHILDREN))
subprocess.run(sys.argv[1:], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
print(f"{t(resource.getrusage(resource.RUSAGE_CHILDREN)) - before:.3f}")
PY
}

# The bundled patch renders from its own folder (its samples are relative to it),
# voices 0, 1 and 2 pressed before the first frame and held.
absolute() { echo "$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"; }
bundled() {
  (cd patches && cpu "$1" --quiet --seconds "$SECONDS_" \
     --event 0:down:z --event 0:down:a --event 0:down:q SYNTH_2.TSY "$WORK/bundled.wav")
}
TEV_ABS=$(absolute "$TEV_RENDER")
BASE_ABS=""
if [ -n "${TEV_RENDER_BASE:-}" ]; then BASE_ABS=$(absolute "$TEV_RENDER_BASE"); fi

CS=(csound -d -m0 --nodisplays -W -s)
tev=() ; k1=() ; k64=() ; bun=() ; base=() ; basev=()
for ((r = 1; r <= RUNS; r++)); do
  t=$(cpu "$TEV_RENDER" --quiet "$WORK/voices.tsy" "$WORK/tev.wav" --seconds "$SECONDS_")
  a=$(cpu "${CS[@]}" -o "$WORK/k1.wav" "$WORK/k1.orc" "$WORK/voices.sco")
  b=$(cpu "${CS[@]}" -o "$WORK/k64.wav" "$WORK/k64.orc" "$WORK/voices.sco")
  c=$(bundled "$TEV_ABS")
  line="run $r: tev-render ${t}s  csound ksmps=1 ${a}s  csound ksmps=64 ${b}s  bundled patch ${c}s"
  if [ -n "$BASE_ABS" ]; then
    d=$(bundled "$BASE_ABS")
    e=$(cpu "$BASE_ABS" --quiet "$WORK/voices.tsy" "$WORK/base.wav" --seconds "$SECONDS_")
    line+="  (base: voices ${e}s, bundled ${d}s)"
    base+=("$d"); basev+=("$e")
  fi
  echo "$line"
  tev+=("$t"); k1+=("$a"); k64+=("$b"); bun+=("$c")
done

python3 - "$N" "$SECONDS_" "${tev[*]}" "${k1[*]}" "${k64[*]}" "${bun[*]}" "${base[*]:-}" "${basev[*]:-}" <<'PY'
import statistics, sys
n, secs = int(sys.argv[1]), float(sys.argv[2])
tev, k1, k64, bun = (statistics.median(map(float, a.split())) for a in sys.argv[3:7])
per = lambda t: t * 1e9 / (secs * 44100 * n)
print(f"N={n} voices, {secs:g} s of sound, median CPU time of each:")
print(f"  tev-render        {tev:8.3f} s  ({per(tev):6.1f} ns per voice and sample)")
print(f"  csound ksmps=1    {k1:8.3f} s  ({per(k1):6.1f} ns per voice and sample)")
print(f"  csound ksmps=64   {k64:8.3f} s  ({per(k64):6.1f} ns per voice and sample)")
print(f"ratio csound ksmps=1  / tev-render: {k1 / tev:.2f}  (goal: at least 10)")
print(f"ratio csound ksmps=64 / tev-render: {k64 / tev:.2f}  (goal: at least 3)")
rtf = secs / bun if bun > 0 else float("inf")
print(f"bundled patch, three voices held: {bun:.3f} s, real-time factor {rtf:.0f}"
      f" ({100 / rtf:.2f} % of a core; goal: above 300)")
if sys.argv[7].strip():
    b = statistics.median(map(float, sys.argv[7].split()))
    v = statistics.median(map(float, sys.argv[8].split()))
    print(f"  base tev-render: voices {v:.3f} s (speed-up {v / tev:.2f}, csound ksmps=1 / base"
          f" {k1 / v:.2f}, ksmps=64 / base {k64 / v:.2f}); bundled {b:.3f} s, real-time factor"
          f" {secs / b:.0f}, speed-up {b / bun:.2f}")
PY
