// Step sequencer: up to 16 notes, divider steps per second (per evaluation count).
#pragma once

#include <cstdint>

#include "engine/note_table.h"
#include "engine/output.h"
#include "engine/sample_rate.h"

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

  // Whoever writes divider calls this before the next evaluation: the step length is
  // formed here rather than divided out at every evaluation.
  void divider_set() { period_ = static_cast<double>(kSampleRate) / static_cast<double>(divider); }
  double period() const { return period_; }
  int nbr_step = 16;
  int step = 0;
  int notes[kMaxSteps];  // 0 is a rest
  float step_counter = 0.0f;
  char name[800];
  int gate = 0;

 private:
  double period_;  // 44100 / divider in double. Audio thread only.
};

// Defined here so that the graph's sequencer passes inline it.
inline int SEQUENCER::evolue() {
  if (step >= nbr_step || step < 0) step = 0;
  gate = 0;
  if (step_counter == 0.0f) gate = 1;
  step_counter = static_cast<float>(step_counter + 1.0);
  // The period kept unrounded: the step length in evaluations is it rounded up.
  if (step_counter >= period_) {
    gate = 0;
    step = step + 1;
    if (!(step < nbr_step) || step >= kMaxSteps) step = 0;
    step_counter = 0.0f;
    const int n = notes[step];
    if (n != 0) {
      gate = 1;
      OUTL = note_in_table(n) ? static_cast<float>(NOTE2FREQ[n]) : 0.0f;
    } else {
      gate = 0;
      OUTL = 0.0f;
    }
  }
  return 1;
}
