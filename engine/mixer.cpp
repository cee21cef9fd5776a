#include "engine/mixer.h"

MIXER::MIXER() {
  OUTL = 0.0f;
  name[0] = '\0';
}

int MIXER::evolue() {
  // The graph only evaluates mixers with inputs; a direct call on an empty one gives 0.
  if (nbr_inputs <= 0) {
    OUTL = 0.0f;
    return 1;
  }
  // Integer quotient: 3333 for three inputs, 1428 for seven.
  const float g = static_cast<float>(10000 / nbr_inputs);
  const int n = nbr_inputs < kMaxInputs ? nbr_inputs : kMaxInputs;
  float sum = 0.0f;
  for (int i = 0; i < n; i++) sum = static_cast<float>(static_cast<double>(g) * inputs[i] + sum);
  OUTL = sum;
  return 1;
}
