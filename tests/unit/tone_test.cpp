// The pitch and loudness helpers other tests rely on, checked on synthetic signals.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "support/tone.h"

namespace {

constexpr double kRate = 44100.0;

std::vector<float> sine(double f, double amplitude, std::size_t n, double phase = 0.3) {
  std::vector<float> x(n);
  for (std::size_t i = 0; i < n; i++)
    x[i] = static_cast<float>(amplitude * std::sin(2.0 * M_PI * f * static_cast<double>(i) / kRate + phase));
  return x;
}

TEST(Tone, MeasuresPureTones) {
  struct Case {
    double f, amplitude;
    std::size_t n;
  };
  const Case cases[] = {
      {27.5, 1.0, 44100}, {440.0, 1.0, 44100}, {441.3, 0.01, 22050}, {1000.0, 20000.0, 8192},
      {4186.0, 1.0, 44100}, {12000.0, 1.0, 44100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.f);
    const std::vector<float> x = sine(c.f, c.amplitude, c.n);
    EXPECT_NEAR(tone::cents(tone::measure_frequency(x.data(), x.size(), kRate), c.f), 0.0, 0.5);
    EXPECT_NEAR(tone::cents(tone::spectral_peak(x.data(), x.size(), kRate), c.f), 0.0, 5.0);
    EXPECT_NEAR(tone::rms(x.data(), x.size()), c.amplitude / std::sqrt(2.0), c.amplitude * 0.01);
  }
}

TEST(Tone, Int16SignalsWithOffsetAndNoise) {
  std::mt19937 rng(7);
  std::normal_distribution<double> noise(0.0, 300.0);
  std::vector<int16_t> x(44100);
  for (std::size_t i = 0; i < x.size(); i++)
    x[i] = static_cast<int16_t>(std::lround(1000.0 + 10000.0 * std::sin(2.0 * M_PI * 330.0 * i / kRate) + noise(rng)));
  EXPECT_NEAR(tone::cents(tone::measure_frequency(x.data(), x.size(), kRate), 330.0), 0.0, 1.0);
  EXPECT_NEAR(tone::cents(tone::spectral_peak(x.data(), x.size(), kRate), 330.0), 0.0, 5.0);
}

TEST(Tone, SilenceAndDegenerateInputs) {
  const std::vector<float> zeros(1000, 0.0f), dc(1000, 5.0f);
  EXPECT_EQ(tone::measure_frequency(zeros.data(), zeros.size(), kRate), 0.0);
  EXPECT_EQ(tone::measure_frequency(dc.data(), dc.size(), kRate), 0.0);
  EXPECT_EQ(tone::spectral_peak(zeros.data(), zeros.size(), kRate), 0.0);
  EXPECT_EQ(tone::measure_frequency(zeros.data(), 0, kRate), 0.0);
  EXPECT_EQ(tone::rms(zeros.data(), 0), 0.0);
  EXPECT_EQ(tone::rms(dc.data(), dc.size()), 5.0);
  EXPECT_NEAR(tone::cents(880.0, 440.0), 1200.0, 1e-9);
}

}  // namespace
