// Measuring what a listener hears in a rendered signal: pitch and loudness.
// Shared by unit and end-to-end tests.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tone {

// Fundamental frequency in Hz from upward crossings of the signal's mean, located
// between samples by linear interpolation and averaged over every whole period in
// the buffer. A hysteresis of a tenth of the RMS keeps noise and ripple from adding
// crossings. Returns 0.0 when fewer than two crossings are found (silence, DC).
// Accurate to well under a cent for periodic tones of a few hundred periods.
double measure_frequency(const float* x, std::size_t n, double rate);
double measure_frequency(const int16_t* x, std::size_t n, double rate);

// Frequency in Hz of the strongest spectral line (DC excluded): Hann window,
// zero-padded FFT, parabolic interpolation on the log magnitude around the peak bin.
// Unlike measure_frequency it also works on signals with several crossings per period.
double spectral_peak(const float* x, std::size_t n, double rate);
double spectral_peak(const int16_t* x, std::size_t n, double rate);

// Root mean square of the values (DC included). 0.0 for an empty buffer.
double rms(const float* x, std::size_t n);
double rms(const int16_t* x, std::size_t n);

// Signed distance from `reference` to `f` in cents (100 per equal-tempered semitone).
double cents(double f, double reference);

}  // namespace tone
