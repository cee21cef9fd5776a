// Patch text for the voice workloads: N voices, each KEYBOARD -> V sine oscillator ->
// one-input mixer -> sustaining amplifier, optionally with an LFO per voice on the
// oscillator's frequency. Shared by the benchmarks and the allocation test.
#pragma once

#include <cstdio>
#include <string>

namespace tevbench {

struct VoicePatch {
  int voices = 3;
  bool lfo = false;       // an LFO per voice, linked with MOD_FREQ
  bool bypass = false;    // amplifiers with *BYPASS=1 instead of a sustaining envelope
};

// Each voice's amount is 0.01 so that 256 voices at 10000 x amount stay below the
// output clamp (the cost does not depend on it, the sound does).
inline std::string voice_patch_text(const VoicePatch& p) {
  std::string s = "#voices\n";
  char line[256];
  for (int i = 0; i < p.voices; i++) {
    std::snprintf(line, sizeof line, "KEY_%d;\n", i);
    s += line;
    if (p.lfo) {
      // 5 Hz, depth 1 %: a vibrato of about a sixth of a semitone.
      std::snprintf(line, sizeof line, "LFO_%d;*TYPE=1;*FREQ=5;*AMOUNT=0.01;\n", i);
      s += line;
    }
    // *NOTE=0 must be the last parameter field: each parameter field after it would
    // add one more notes_vco entry and shift the pairing of every later oscillator.
    if (p.lfo)
      std::snprintf(line, sizeof line, "VCO_%d;*TYPE=1;*AMOUNT=0.01;KEY_%d:k;LFO_%d:MOD_FREQ;*NOTE=0;\n",
                    i, i, i);
    else
      std::snprintf(line, sizeof line, "VCO_%d;*TYPE=1;*AMOUNT=0.01;KEY_%d:k;*NOTE=0;\n", i, i);
    s += line;
    std::snprintf(line, sizeof line, "MIXER_%d;VCO_%d:IN1;\n", i, i);
    s += line;
    if (p.bypass)
      std::snprintf(line, sizeof line, "VCA_%d;*BYPASS=1;MIXER_%d:x;KEY_%d:k;\n", i, i, i);
    else
      std::snprintf(line, sizeof line, "VCA_%d;*SUSTAIN=1;MIXER_%d:x;KEY_%d:k;\n", i, i, i);
    s += line;
  }
  return s;
}

}  // namespace tevbench
