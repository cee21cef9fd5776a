// Envelope amplifier: level (OUTL) through attack, decay, sustain and release,
// output = level x input.
#pragma once

#include "engine/output.h"

class VCA : public OUTPUT {
 public:
  VCA();

  // Level x input, not clamped.
  float get_OUTL() override { return static_cast<float>(static_cast<double>(OUTL) * input); }

  // One envelope step. Returns 0 when the envelope is idle (and not bypassed), else 1.
  int evolue() override;

  // Restart from level 0 whatever the state.
  void TRIG() {
    OUTL = 0.0f;
    elapsed = 0.0f;
    active = 1;
    released = 0;
  }
  // Mark the key released; the envelope goes into its release once past the attack.
  void UNTRIG() { released = 1; }

  // The clock advances 0.005 per evaluation (220.5 units a second), so the
  // times below are in those units: the default attack lasts 200 evaluations.
  float elapsed = 0.0f;
  float input = 0.0f;  // written each sample from the feeding mixer; 0 keeps an unfed amplifier silent
  char name[80];
  int active = 0;
  int released = 0;
  float attack_time = 1.0f;
  float attack_level = 1.0f;
  float decay_time = 100.0f;
  float decay_level = 0.0f;    // not read
  float sustain_time = 0.0f;   // not read
  float sustain_level = 0.0f;
  float release_time = 0.0f;   // release loses 1/(100 x R) of the level per evaluation
  float release_level = 0.0f;  // not read
  int bypass = 0;
};
