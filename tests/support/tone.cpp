#include "support/tone.h"

#include <cmath>
#include <complex>
#include <vector>

namespace tone {
namespace {

std::vector<double> widen(const int16_t* x, std::size_t n) {
  return std::vector<double>(x, x + n);
}
std::vector<double> widen(const float* x, std::size_t n) {
  return std::vector<double>(x, x + n);
}

double frequency_of(const std::vector<double>& x, double rate) {
  const std::size_t n = x.size();
  if (n < 3 || rate <= 0.0) return 0.0;
  double mean = 0.0;
  for (double v : x) mean += v;
  mean /= static_cast<double>(n);
  double var = 0.0;
  for (double v : x) var += (v - mean) * (v - mean);
  const double hysteresis = 0.1 * std::sqrt(var / static_cast<double>(n));
  if (hysteresis == 0.0) return 0.0;

  bool armed = false;
  double first = -1.0, last = -1.0;
  std::size_t count = 0;
  for (std::size_t i = 1; i < n; i++) {
    if (x[i - 1] < mean - hysteresis) armed = true;
    if (armed && x[i - 1] < mean && x[i] >= mean) {
      const double at = static_cast<double>(i - 1) + (mean - x[i - 1]) / (x[i] - x[i - 1]);
      if (count == 0) first = at;
      last = at;
      count++;
      armed = false;
    }
  }
  if (count < 2 || last <= first) return 0.0;
  return static_cast<double>(count - 1) * rate / (last - first);
}

void fft(std::vector<std::complex<double>>& a) {
  const std::size_t n = a.size();
  for (std::size_t i = 1, j = 0; i < n; i++) {
    std::size_t bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(a[i], a[j]);
  }
  for (std::size_t len = 2; len <= n; len <<= 1) {
    const double angle = -2.0 * M_PI / static_cast<double>(len);
    const std::complex<double> step(std::cos(angle), std::sin(angle));
    for (std::size_t i = 0; i < n; i += len) {
      std::complex<double> w(1.0, 0.0);
      for (std::size_t k = 0; k < len / 2; k++) {
        const std::complex<double> u = a[i + k], v = a[i + k + len / 2] * w;
        a[i + k] = u + v;
        a[i + k + len / 2] = u - v;
        w *= step;
      }
    }
  }
}

double peak_of(const std::vector<double>& x, double rate) {
  const std::size_t n = x.size();
  if (n < 4 || rate <= 0.0) return 0.0;
  // Padding to at least twice the length halves the bin spacing the
  // interpolation has to bridge.
  std::size_t size = 1;
  while (size < 2 * n) size <<= 1;
  double mean = 0.0;
  for (double v : x) mean += v;
  mean /= static_cast<double>(n);
  std::vector<std::complex<double>> a(size);
  for (std::size_t i = 0; i < n; i++) {
    const double w = 0.5 - 0.5 * std::cos(2.0 * M_PI * static_cast<double>(i) / static_cast<double>(n - 1));
    a[i] = (x[i] - mean) * w;
  }
  fft(a);
  std::size_t best = 1;
  for (std::size_t k = 1; k < size / 2; k++)
    if (std::abs(a[k]) > std::abs(a[best])) best = k;
  if (std::abs(a[best]) == 0.0) return 0.0;
  double offset = 0.0;
  if (best > 1 && best + 1 < size / 2) {
    const double l = std::log(std::abs(a[best - 1]) + 1e-300);
    const double c = std::log(std::abs(a[best]));
    const double r = std::log(std::abs(a[best + 1]) + 1e-300);
    const double denom = l - 2.0 * c + r;
    if (denom != 0.0) offset = 0.5 * (l - r) / denom;
  }
  return (static_cast<double>(best) + offset) * rate / static_cast<double>(size);
}

template <typename T>
double rms_of(const T* x, std::size_t n) {
  if (n == 0) return 0.0;
  double sum = 0.0;
  for (std::size_t i = 0; i < n; i++) sum += static_cast<double>(x[i]) * static_cast<double>(x[i]);
  return std::sqrt(sum / static_cast<double>(n));
}

}  // namespace

double measure_frequency(const float* x, std::size_t n, double rate) {
  return frequency_of(widen(x, n), rate);
}
double measure_frequency(const int16_t* x, std::size_t n, double rate) {
  return frequency_of(widen(x, n), rate);
}
double spectral_peak(const float* x, std::size_t n, double rate) { return peak_of(widen(x, n), rate); }
double spectral_peak(const int16_t* x, std::size_t n, double rate) { return peak_of(widen(x, n), rate); }
double rms(const float* x, std::size_t n) { return rms_of(x, n); }
double rms(const int16_t* x, std::size_t n) { return rms_of(x, n); }
double cents(double f, double reference) { return 1200.0 * std::log2(f / reference); }

}  // namespace tone
