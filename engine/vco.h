// Oscillator: one waveform sample per evaluation, phase in cycles.
#pragma once

#include "engine/output.h"

class VCO : public OUTPUT {
 public:
  // The loader builds every oscillator as VCO(1.0, 440.0, SINE).
  VCO(float amount, float freq, type_generateur type);

  // Advances the phase by freq/44100 cycles (one subtraction at most when it passes
  // 1.0), then computes OUTL for the waveform from the current amount, freq and
  // phase_offset. Returns 1.
  int evolue() override;

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
