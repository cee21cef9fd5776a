// Measuring what a listener hears: pitch and loudness.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tone {

// Fundamental in Hz from upward crossings of the mean (hysteresis a tenth of the
// RMS), interpolated between samples, over every whole period; 0.0 for silence or
// DC. Well under a cent for a few hundred periods of a periodic tone.
double measure_frequency(const int16_t* x, std::size_t n, double rate);
// The strongest spectral line in Hz, DC excluded (Hann window, zero-padded FFT,
// parabola on the log magnitude): also for several crossings per period.
double spectral_peak(const int16_t* x, std::size_t n, double rate);
double rms(const int16_t* x, std::size_t n);  // DC included; 0.0 when empty
double cents(double f, double reference);  // signed, 100 per semitone

}  // namespace tone
