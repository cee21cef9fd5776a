// Step sequencer: up to 16 notes, divider steps per second (per evaluation count).
#pragma once

#include <cstdint>

#include "engine/output.h"

class SEQUENCER : public OUTPUT {
 public:
  static constexpr int kMaxSteps = 16;

  // Reseeds rand() with `seed` (the live synth passes its millisecond clock), then
  // draws the 16 notes (88..99).
  explicit SEQUENCER(uint32_t seed = 0);

  // Counts one evaluation; at the end of a step moves to the next one and sets
  // OUTL to its note's frequency (0 for a rest). gate pulses on step starts.
  int evolue() override;

  float divider = 2.0f;  // steps per second: a step lasts 44100 / divider evaluations
  int nbr_step = 16;
  int step = 0;
  int notes[kMaxSteps];  // 0 is a rest
  float step_counter = 0.0f;
  char name[800];
  int gate = 0;
};
