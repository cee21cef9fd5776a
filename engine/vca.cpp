#include "engine/vca.h"

#include <cstring>

VCA::VCA() {
  OUTL = 0.0f;
  name[0] = '\0';
}

int VCA::evolue() {
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
