// Sums up to 24 inputs with the truncated gain 10000 / nbr_inputs.
#pragma once

#include "engine/output.h"

class MIXER : public OUTPUT {
 public:
  static constexpr int kMaxInputs = 24;

  MIXER();
  int evolue() override;

  char name[800];
  int nbr_inputs = 0;                // inputs declared on the patch line
  float inputs[kMaxInputs] = {};     // input d (1-based) is inputs[d - 1]
};

// Defined here so that the graph's mixer passes inline it.
inline int MIXER::evolue() {
  // The graph only evaluates mixers with inputs; a direct call on an empty one gives 0.
  if (nbr_inputs <= 0) {
    OUTL = 0.0f;
    return 1;
  }
  // Integer quotient: 3333 for three inputs, 1428 for seven. One input is by far the
  // commonest mixer, and its gain needs no division.
  const float g = static_cast<float>(nbr_inputs == 1 ? 10000 : 10000 / nbr_inputs);
  const int n = nbr_inputs < kMaxInputs ? nbr_inputs : kMaxInputs;
  float sum = 0.0f;
  for (int i = 0; i < n; i++) sum = static_cast<float>(static_cast<double>(g) * inputs[i] + sum);
  OUTL = sum;
  return 1;
}
