// Sums up to 24 inputs with the truncated gain 10000 / nbr_inputs.
#pragma once

#include <cstring>

#include "engine/output.h"

class MIXER : public OUTPUT {
 public:
  static constexpr int kMaxInputs = 24;

  MIXER();
  int evolue() override;

  int nbr_inputs = 0;                // inputs declared on the patch line
  float inputs[kMaxInputs] = {};     // input d (1-based) is inputs[d - 1]

 private:
  // The gain float(10000 / nbr_inputs) and the nbr_inputs it was computed for, so
  // that the integer division runs when the count changes (at load), not every
  // sample. Audio thread only.
  int gain_inputs_ = 0;
  double gain_ = 0.0;

 public:
  // Last: the fields every sample reads share a cache line with OUTL.
  char name[800];
};

// The mixer input (1-based) a link word chooses: its third character as a digit
// ("IN2" is input 2; "IN12" is input 1 as well); 0 when it chooses no input from 1
// to kMaxInputs, and the source then feeds nothing. Shared by the graph, the loader
// and the patch check.
inline int mixer_input_of(const char* word) {
  if (!word || std::strlen(word) < 3) return 0;
  const int d = word[2] - '0';
  return d >= 1 && d <= MIXER::kMaxInputs ? d : 0;
}

// Defined here so that the graph's mixer passes inline it.
inline int MIXER::evolue() {
  // One input is by far the commonest mixer: gain 10000, no division. 10000 x a float
  // is exact in double, so rounding it once is the float product; the + 0.0 of the
  // running sum stays (it turns -0 into +0). (nbr_inputs is 1 exactly when the
  // count of inputs read, at most 24, is.)
  if (nbr_inputs == 1) {
    OUTL = 10000.0f * inputs[0] + 0.0f;
    return 1;
  }
  // Two inputs, the next commonest: gain 5000, the same two steps without the loop;
  // the first, as with one input, is the float product plus 0.
  if (nbr_inputs == 2) {
    const float first = 5000.0f * inputs[0] + 0.0f;
    OUTL = static_cast<float>(5000.0 * inputs[1] + first);
    return 1;
  }
  const int n = nbr_inputs < kMaxInputs ? nbr_inputs : kMaxInputs;
  // The graph only evaluates mixers with inputs; a direct call on an empty one gives 0.
  if (n <= 0) {
    OUTL = 0.0f;
    return 1;
  }
  // Integer quotient: 3333 for three inputs, 1428 for seven. Each product is exact in
  // double; the sum is rounded in double, then to float, at every step.
  if (nbr_inputs != gain_inputs_) {
    gain_inputs_ = nbr_inputs;
    gain_ = static_cast<float>(10000 / nbr_inputs);
  }
  const double g = gain_;
  float sum = 0.0f;
  for (int i = 0; i < n; i++) sum = static_cast<float>(g * inputs[i] + sum);
  OUTL = sum;
  return 1;
}
