#include "engine/sequencer.h"

#include <cstdlib>

SEQUENCER::SEQUENCER(uint32_t seed) {
  OUTL = 0.0f;
  divider = 2.0f;
  divider_set();
  nbr_step = 16;
  std::srand(seed);
  gate = 0;
  step = 0;
  for (int i = 0; i < kMaxSteps; i++) notes[i] = std::rand() % 12 + 88;
  step_counter = 0.0f;
  name[0] = '\0';
}
