// Oscillator: one waveform sample per evaluation, phase in cycles.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "engine/convert.h"
#include "engine/output.h"
#include "engine/sample_rate.h"

class VCO : public OUTPUT {
 public:
  // The loader builds every oscillator as VCO(1.0, 440.0, SINE).
  VCO(float amount, float freq, type_generateur type);

  // Advances the phase by freq/44100 cycles (one subtraction at most when it passes
  // 1.0), then computes OUTL for the waveform from the current amount, freq and
  // phase_offset. Returns 1.
  int evolue() override;

  // evolue in two halves, for a caller that steps many oscillators' phases before
  // their waveforms. step_phase advances the phase and returns the argument
  // (phase + offset) x 2pi; step_wave computes OUTL from it and the current amount.
  double step_phase();
  void step_wave(double arg);

  // Every waveform but the sine, from the argument that step_phase has formed.
  // Returns 1.
  int evolue_waveform(double arg);

  // For a caller that computes many oscillators' sines at once (engine/fast_sine.h):
  // the sine's OUTL is float(sin(arg) x amount), the pulse's comes from
  // s = float(sin(arg)); the ramps need no argument.
  void step_pulse(float s);
  void step_saw();
  void step_half_saw();

  float phase = 0.0f;              // cycles; normally in [0, 1]
  float base_phase_offset = 1.0f;  // restored into phase_offset by the graph
  float base_amount;               // *AMOUNT
  float base_freq;                 // *FREQ, or the keyboard/sequencer note, Hz
  float phase_offset = 1.0f;       // current, target of MOD_PHASE (cycles)
  float amount;                    // current, target of MOD_AMP
  float freq;                      // current, target of MOD_FREQ (Hz); see freq_set
  type_generateur type;

  // Whoever writes freq calls this before the next step: the step reads freq / 44100
  // formed here, which keeps the division where freq changes (the loader, the
  // modulations, the retune, the sequencers), not in every step.
  void freq_set() { inc_ = step_of(freq); }
  void set_freq(float f) {
    freq = f;
    inc_ = step_of(f);
  }
  double inc() const { return inc_; }

  // The arithmetic of one step, on values rather than fields, for a caller that
  // steps an oscillator through many samples at once (the graph's runs): the same
  // operations in the same order as the members that use them.
  static double step_of(float f) { return static_cast<double>(f) / kSampleRate; }
  static float next_phase(float phase, double inc);
  static double argument(float phase, float phase_offset);
  static float pulse(float s, float amount);
  static float saw(float amount, float phase);
  static float half_saw(float amount, float phase);
  // x + v x x, the modulation of a field by a source's output v: the product is
  // rounded to float, then the sum.
  static void modulate(float& x, float v) {
    const float product = static_cast<float>(static_cast<double>(v) * x);
    x = static_cast<float>(static_cast<double>(x) + product);
  }

 private:
  double inc_;  // freq / 44100 in double, for the freq last set. Audio thread only.

 public:
  // Last: the fields every sample reads share a cache line with OUTL.
  char name[80];
};

// Defined here so that the graph's passes, which call them qualified, inline them.
inline float VCO::next_phase(float phase, double inc) {
  // Sums and products are formed in double and rounded once when stored.
  float p = static_cast<float>(static_cast<double>(phase) + inc);
  // A difference of two floats rounds to the same float whether formed in float or
  // in double, so the float subtraction is the double one.
  if (p > 1.0f) p = p - 1.0f;
  return p;
}

inline double VCO::argument(float phase, float phase_offset) {
  // Slightly short of 2*pi; a full cycle of phase + offset is that much short too.
  constexpr double kTwoPi = 6.2831853;
  return (static_cast<double>(phase) + static_cast<double>(phase_offset)) * kTwoPi;
}

inline double VCO::step_phase() {
  const float p = next_phase(phase, inc_);
  phase = p;
  return argument(p, phase_offset);
}

inline float VCO::pulse(float s, float amount) {
  // Each test sees the value the previous one left, so an amount in (0, 0.5]
  // is cleared again by the second test.
  float v = s;
  if (v > 0.5) v = amount;
  if (v <= 0.5 && v >= 0) v = 0.0f;
  if (v < 0 && v >= -0.5) v = 0.0f;
  if (v < -0.5) v = -amount;
  return v;
}

inline float VCO::saw(float amount, float phase) {
  const double a = amount;
  // The threshold is 5.0, not 0.5: inside [0, 1] only the first ramp plays.
  double y = phase < 5.0f ? a * phase - a / 2.0f : 1 - a * phase - a / 2.0f;
  const float v = static_cast<float>(y);
  return static_cast<float>(v * 1.5);
}

inline float VCO::half_saw(float amount, float phase) {
  const double a = amount;
  const float v = static_cast<float>(a * phase - a / 2.0f);
  return static_cast<float>(v / 2.0f);
}

inline void VCO::step_pulse(float s) { OUTL = pulse(s, amount); }
inline void VCO::step_saw() { OUTL = saw(amount, phase); }
inline void VCO::step_half_saw() { OUTL = half_saw(amount, phase); }

inline void VCO::step_wave(double arg) {
  // The sine is what nearly every patch runs at audio rate: it stays inline.
  if (type == SINE)
    OUTL = static_cast<float>(std::sin(arg) * static_cast<double>(amount));
  else
    evolue_waveform(arg);
}

inline int VCO::evolue() {
  step_wave(step_phase());
  return 1;
}
