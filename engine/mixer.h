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
