#include "support/tone.h"

#include <fftw3.h>

#include <cmath>
#include <vector>

namespace tone {

double measure_frequency(const int16_t* p, std::size_t n, double rate) {
  if (n < 3 || rate <= 0.0) return 0.0;
  const std::vector<double> x(p, p + n);
  double mean = 0.0, var = 0.0;
  for (double v : x) mean += v / static_cast<double>(n);
  for (double v : x) var += (v - mean) * (v - mean) / static_cast<double>(n);
  const double hysteresis = 0.1 * std::sqrt(var);
  if (hysteresis == 0.0) return 0.0;
  bool armed = false;
  double first = -1.0, last = -1.0;
  std::size_t count = 0;
  for (std::size_t i = 1; i < n; i++) {
    if (x[i - 1] < mean - hysteresis) armed = true;
    if (armed && x[i - 1] < mean && x[i] >= mean) {
      last = static_cast<double>(i - 1) + (mean - x[i - 1]) / (x[i] - x[i - 1]);
      if (count++ == 0) first = last;
      armed = false;
    }
  }
  if (count < 2 || last <= first) return 0.0;
  return static_cast<double>(count - 1) * rate / (last - first);
}

// Hann window, 4x zero padding, parabola through the log magnitudes around the peak.
double spectral_peak(const int16_t* x, std::size_t n, double rate) {
  if (n < 4) return 0.0;
  std::size_t size = 1;
  while (size < 4 * n) size <<= 1;
  std::vector<double> in(size, 0.0);
  for (std::size_t i = 0; i < n; i++)
    in[i] = x[i] * (0.5 - 0.5 * std::cos(2 * M_PI * static_cast<double>(i) / (n - 1)));
  std::vector<fftw_complex> out(size / 2 + 1);
  fftw_plan plan = fftw_plan_dft_r2c_1d(static_cast<int>(size), in.data(), out.data(), FFTW_ESTIMATE);
  fftw_execute(plan);
  fftw_destroy_plan(plan);
  std::vector<double> mag(out.size());
  for (std::size_t k = 0; k < out.size(); k++)
    mag[k] = std::log(std::hypot(out[k][0], out[k][1]) + 1e-12);
  std::size_t best = 1;
  for (std::size_t k = 2; k + 1 < mag.size(); k++)
    if (mag[k] > mag[best]) best = k;
  const double a = mag[best - 1], b = mag[best], c = mag[best + 1];
  const double shift = (a - 2 * b + c) != 0.0 ? 0.5 * (a - c) / (a - 2 * b + c) : 0.0;
  return (static_cast<double>(best) + shift) * rate / static_cast<double>(size);
}

double rms(const int16_t* x, std::size_t n) {
  double s = 0.0;
  for (std::size_t i = 0; i < n; i++) s += static_cast<double>(x[i]) * x[i];
  return n ? std::sqrt(s / static_cast<double>(n)) : 0.0;
}

double cents(double f, double reference) { return 1200.0 * std::log2(f / reference); }

}  // namespace tone
