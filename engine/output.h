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
  virtual float get_OUTL() { return clamp_OUTL(); }
  virtual int evolue() = 0;

  // The clamp behind get_OUTL, callable without the virtual call. The clamped value
  // is kept: a module that does not overwrite OUTL (noise at amount 0) goes on from it.
  // NaN passes through both tests unchanged.
  float clamp_OUTL() { return OUTL = clamped(OUTL); }

  // The clamp's value alone.
  // Each bound replaces v only when its comparison holds: NaN and -0 pass as they
  // are. minss/maxss return their second operand, v, when the comparison fails, which
  // is exactly that, with no branch (GCC leaves a branch for the plain tests, and the
  // intrinsics cost a round trip through an integer register to clear the upper lanes
  // that nothing reads).
  static float clamped(float v) {
#if defined(__SSE__)
    float hi = 32000.0f, lo = -32000.0f;
    __asm__("minss %1, %0" : "+x"(hi) : "xm"(v));
    __asm__("maxss %1, %0" : "+x"(lo) : "x"(hi));
    return lo;
#else
    if (v > 32000.0f) v = 32000.0f;
    if (v < -32000.0f) v = -32000.0f;
    return v;
#endif
  }

  float OUTL = 0.0f;

 protected:
  // Modules live for the whole process and are never deleted through the base.
  ~OUTPUT() = default;
};
