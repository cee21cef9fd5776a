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

// Defined here so that the graph's envelope pass inlines it.
inline int VCA::evolue() {
  if (bypass != 0) {
    OUTL = 1.0f;
    return 1;
  }
  if (active != 1) {
    OUTL = 0.0f;
    return 0;
  }

  const float t = elapsed;
  const double A = attack_time, L = attack_level, D = decay_time, S = sustain_level,
               R = release_time;
  const float AD = static_cast<float>(A + D);

  enum { ATTACK, DECAY, SUSTAIN, RELEASE, END } phase;
  if (t < A) {
    phase = ATTACK;
  } else if (t >= A && t < AD) {
    phase = released ? RELEASE : (S == 0.0 ? DECAY : SUSTAIN);
  } else {
    phase = END;
  }
  // Matters only for negative parameters.
  if (t >= R + A + AD) phase = END;

  switch (phase) {
    case ATTACK:
      OUTL = static_cast<float>(t * L / A);
      elapsed = static_cast<float>(t + 0.005);
      break;
    case DECAY:
      OUTL = static_cast<float>(L - (t - A) * L / D);
      elapsed = static_cast<float>(t + 0.005);
      break;
    case SUSTAIN:
      // Falls 0.1 % per evaluation towards S, then sits at L x S.
      if (OUTL > S)
        OUTL = static_cast<float>(static_cast<double>(OUTL) - static_cast<double>(OUTL) / 1000.0f);
      else
        OUTL = static_cast<float>(L * S);
      break;
    case RELEASE:
      if (R != 0.0)
        OUTL = static_cast<float>(OUTL - OUTL / (R * 100.0f));
      else
        OUTL = 0.0f;
      break;
    case END:
      OUTL = 0.0f;
      active = 0;
      break;
  }
  return 1;
}
