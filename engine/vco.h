// Oscillator: one waveform sample per evaluation, phase in cycles.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "engine/convert.h"
#include "engine/output.h"

class VCO : public OUTPUT {
 public:
  // The loader builds every oscillator as VCO(1.0, 440.0, SINE).
  VCO(float amount, float freq, type_generateur type);

  // Advances the phase by freq/44100 cycles (one subtraction at most when it passes
  // 1.0), then computes OUTL for the waveform from the current amount, freq and
  // phase_offset. Returns 1.
  int evolue() override;

  // Every waveform but the sine, from the argument (phase + offset) x 2pi that
  // evolue has formed. Returns 1.
  int evolue_waveform(double arg);

  char name[80];
  float phase = 0.0f;              // cycles; normally in [0, 1]
  float base_phase_offset = 1.0f;  // restored into phase_offset by the graph
  float base_amount;               // *AMOUNT
  float base_freq;                 // *FREQ, or the keyboard/sequencer note, Hz
  float phase_offset = 1.0f;       // current, target of MOD_PHASE (cycles)
  float amount;                    // current, target of MOD_AMP
  float freq;                      // current, target of MOD_FREQ (Hz)
  type_generateur type;
};

// Defined here so that the graph's passes, which call it qualified, inline it.
inline int VCO::evolue() {
  // Slightly short of 2*pi; a full cycle of phase + offset is that much short too.
  constexpr double kTwoPi = 6.2831853;
  // Sums and products are formed in double and rounded once when stored.
  phase = static_cast<float>(static_cast<double>(phase) + static_cast<double>(freq) / 44100.0f);
  if (phase > 1.0f) phase = static_cast<float>(static_cast<double>(phase) - 1.0);

  const double a = amount;
  const double arg = (static_cast<double>(phase) + phase_offset) * kTwoPi;

  // The sine is what nearly every patch runs at audio rate: it stays inline.
  if (type == SINE) {
    OUTL = static_cast<float>(std::sin(arg) * a);
    return 1;
  }
  return evolue_waveform(arg);
}
