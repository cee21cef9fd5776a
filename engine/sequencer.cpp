#include "engine/sequencer.h"

#include <cstdlib>

#include "engine/note_table.h"
#include "engine/sample_rate.h"

SEQUENCER::SEQUENCER(uint32_t seed) {
  OUTL = 0.0f;
  divider = 2.0f;
  nbr_step = 16;
  std::srand(seed);
  gate = 0;
  step = 0;
  for (int i = 0; i < kMaxSteps; i++) notes[i] = std::rand() % 12 + 88;
  step_counter = 0.0f;
  name[0] = '\0';
}

int SEQUENCER::evolue() {
  if (step >= nbr_step || step < 0) step = 0;
  gate = 0;
  if (step_counter == 0.0f) gate = 1;
  step_counter = static_cast<float>(step_counter + 1.0);
  // Kept unrounded: the step length in evaluations is P rounded up.
  const double P = static_cast<double>(kSampleRate) / static_cast<double>(divider);
  if (step_counter >= P) {
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
