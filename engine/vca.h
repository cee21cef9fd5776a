// Envelope amplifier: level (OUTL) through attack, decay, sustain and release,
// output = level x input.
#pragma once

#include <cstdint>
#include <cstring>

#include "engine/output.h"

class VCA : public OUTPUT {
 public:
  VCA();

  // Level x input, not clamped.
  float get_OUTL() override { return static_cast<float>(static_cast<double>(OUTL) * input); }

  // One envelope step. Returns 0 when the envelope is idle (and not bypassed), else 1.
  int evolue() override;
  // After a step: the next would leave every field as it is (bypassed, idle, or held
  // at L x S no higher than S), and so would every one after it until TRIG or UNTRIG.
  bool holds() const;

  // Restart from level 0 whatever the state.
  void TRIG() {
    OUTL = 0.0f;
    elapsed = 0.0f;
    active = 1;
    released = 0;
    if (lane.steady) *lane.steady = 0;
    if (lane.level) {
      *lane.level = 0.0f;
      *lane.elapsed = 0.0f;
      *lane.active = 1;
      *lane.released = 0;
    }
  }
  // Mark the key released; the envelope goes into its release once past the attack.
  void UNTRIG() {
    released = 1;
    if (lane.steady) *lane.steady = 0;
    if (lane.released) *lane.released = 1;
  }

  // The clock advances 0.005 per evaluation (220.5 units a second), so the
  // times below are in those units: the default attack lasts 200 evaluations.
  float elapsed = 0.0f;
  float input = 0.0f;  // written each sample from the feeding mixer; 0 keeps an unfed amplifier silent
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
  // Where the graph keeps this amplifier's state while it computes it side by side
  // with others (engine/lanes.h VoiceLanes), set by its prepare(); all null
  // otherwise, but for `steady`, which the graph's scalar pass also keeps (the
  // amplifier not stepped while it holds()). The graph's arrays are then the truth and the fields above are
  // written back only by GENERATOR::sync_lanes; TRIG and UNTRIG write both, so that
  // a key or a sequencer reaches the playing state. Audio thread only.
  struct Lane {
    float* level = nullptr;
    float* elapsed = nullptr;
    int32_t* active = nullptr;
    int32_t* released = nullptr;
    int32_t* steady = nullptr;  // cleared: the graph looks at the state again
  } lane;
  // Last: the fields every sample reads share a cache line with OUTL.
  char name[80];
};

// Defined here so that the graph's envelope pass inlines it.
//
// Comparisons of a float with a float widened to double are float comparisons, and
// a sum or product of two floats rounds to the same float whether it is formed in
// float or in double: those stay in float. Everything else (the clock step, the
// ramps, the decays) is formed in double and rounded once, as stored.
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
  const float A = attack_time, D = decay_time, S = sustain_level, R = release_time;
  const float AD = A + D;
  // Beyond every stage: t >= R + A + AD, summed in this order in double. With A, D and
  // R not negative, rounding keeps that sum at or above AD and A, so it never holds
  // while t is below either: only negative (or NaN) parameters need the sum.
  bool beyond = false;
  if (!(A >= 0.0f && D >= 0.0f && R >= 0.0f))
    beyond = static_cast<double>(t) >=
             static_cast<double>(R) + static_cast<double>(A) + static_cast<double>(AD);

  if (t >= A && t < AD && !beyond) {
    if (released) {
      // Loses 1/(100 x R) of the level per evaluation; the clock stands still.
      if (R != 0.0f)
        OUTL = static_cast<float>(static_cast<double>(OUTL) -
                                  static_cast<double>(OUTL) / (static_cast<double>(R) * 100.0));
      else
        OUTL = 0.0f;
    } else if (S != 0.0f) {
      // Sustain: falls 0.1 % per evaluation towards S, then sits at L x S.
      const float level = OUTL;
      if (level > S)
        OUTL = static_cast<float>(static_cast<double>(level) - static_cast<double>(level) / 1000.0);
      else
        OUTL = attack_level * S;
    } else {
      // Decay: a straight fall from L to 0 over D.
      const double L = attack_level;
      OUTL = static_cast<float>(L - (static_cast<double>(t) - A) * L / D);
      elapsed = static_cast<float>(static_cast<double>(t) + 0.005);
    }
  } else if (t < A && !beyond) {
    // Attack: a straight rise from 0 to L over A.
    OUTL = static_cast<float>(static_cast<double>(t) * attack_level / A);
    elapsed = static_cast<float>(static_cast<double>(t) + 0.005);
  } else {
    OUTL = 0.0f;
    active = 0;
  }
  return 1;
}

inline bool VCA::holds() const {
  if (bypass != 0 || active != 1) return true;
  const float A = attack_time, D = decay_time, S = sustain_level, R = release_time;
  const float t = elapsed, held = attack_level * S;
  uint32_t level_bits, held_bits;
  std::memcpy(&level_bits, &OUTL, sizeof level_bits);
  std::memcpy(&held_bits, &held, sizeof held_bits);
  // A decaying envelope (sustain 0), the one most often stepped, fails the first test.
  return S != 0.0f && released == 0 && A >= 0.0f && D >= 0.0f && R >= 0.0f && t >= A &&
         t < A + D && level_bits == held_bits && !(OUTL > S);
}
