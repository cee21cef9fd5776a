// Module base: every processing unit holds one output value and steps once per sample.
#pragma once

#include <cstdint>

// Waveform of an oscillator. Stored as a 32-bit value; anything outside 0..5
// (compared unsigned) is silent.
enum type_generateur : int32_t {
  SILENT = 0,
  SINE = 1,
  SAW = 2,
  HALF_SAW = 3,
  PULSE = 4,
  NOISE = 5,
};

class OUTPUT {
 public:
  // Slot order matters to nobody outside this file, but it is kept as designed:
  // get_OUTL first, evolue second.
  virtual float get_OUTL() {
    if (OUTL > 32000.0f) OUTL = 32000.0f;
    if (OUTL < -32000.0f) OUTL = -32000.0f;
    return OUTL;
  }
  virtual int evolue() = 0;

  float OUTL = 0.0f;

 protected:
  // Modules live for the whole process and are never deleted through the base.
  ~OUTPUT() = default;
};
