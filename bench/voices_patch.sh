# Prints the voice workload to standard output: N x (keyboard, V sine oscillator,
# one-input mixer, sustaining amplifier). Sourced by compare.sh and count.sh.
#
# Voice triggering: tev-render presses keys only for the three key voices, so the
# amplifiers here are triggered by sequencers instead. A sequencer with
# *DIVIDER=0.01 gates once, on its first evaluation (its first step lasts 100 s),
# which retriggers its amplifiers at the second sample; they then run the real
# envelope (attack, then sustain at 1.0) for the whole render. A sequencer is only
# evaluated when it drives an oscillator, hence the silent XVCO_SEQ (its name does
# not begin with V, so the graph never evaluates it). One sequencer per 40 voices
# keeps every line under the loader's 799 characters.
voices_patch() {
  local n=$1 i s line
  echo "#compare_voices"
  echo "XVCO_SEQ;*AMOUNT=0;"
  for ((i = 0; i < n; i++)); do
    echo "KEY_$i;"
    echo "VCO_$i;*TYPE=1;*AMOUNT=0.01;KEY_$i:k;*NOTE=0;"
    echo "MIXER_$i;VCO_$i:IN1;"
    echo "VCA_$i;*SUSTAIN=1;MIXER_$i:x;KEY_$i:k;"
  done
  for ((s = 0; s < n; s += 40)); do
    line="SEQUENCER_$s;*DIVIDER=0.01;XVCO_SEQ:x;"
    for ((i = s; i < s + 40 && i < n; i++)); do line+="VCA_$i:x;"; done
    echo "$line"
  done
}
