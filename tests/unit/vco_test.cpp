#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <vector>

#include "engine/vco.h"
#include "support/tone.h"

namespace {

constexpr double kRate = 44100.0;

// One evaluation with the phase pinned: freq 0 leaves the phase where it is.
float at_phase(type_generateur type, float amount, float phase, float phase_offset = 1.0f) {
  VCO v(amount, 0.0f, type);
  v.phase = phase;
  v.phase_offset = phase_offset;
  v.evolue();
  return v.OUTL;
}

std::vector<float> render(VCO& v, std::size_t n) {
  std::vector<float> x(n);
  for (std::size_t i = 0; i < n; i++) {
    v.evolue();
    x[i] = v.OUTL;
  }
  return x;
}

TEST(Vco, ConstructorValues) {
  VCO v(0.7f, 123.0f, PULSE);
  EXPECT_STREQ(v.name, "Emptynamed_VCO");
  EXPECT_EQ(v.OUTL, 0.0f);
  EXPECT_EQ(v.phase, 0.0f);
  EXPECT_EQ(v.base_phase_offset, 1.0f);
  EXPECT_EQ(v.phase_offset, 1.0f);
  EXPECT_EQ(v.base_amount, 0.7f);
  EXPECT_EQ(v.amount, 0.7f);
  EXPECT_EQ(v.base_freq, 123.0f);
  EXPECT_EQ(v.freq, 123.0f);
  EXPECT_EQ(v.type, PULSE);
}

TEST(Vco, GetOutlClampsAndWritesBack) {
  struct Case {
    float stored, expected;
  };
  const Case cases[] = {
      {40000.0f, 32000.0f}, {-32000.5f, -32000.0f}, {31999.0f, 31999.0f}, {32000.0f, 32000.0f},
      {-32000.0f, -32000.0f}, {INFINITY, 32000.0f}, {-INFINITY, -32000.0f}, {0.25f, 0.25f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored);
    VCO v(1.0f, 440.0f, SINE);
    v.OUTL = c.stored;
    EXPECT_EQ(v.get_OUTL(), c.expected);
    EXPECT_EQ(v.OUTL, c.expected);
  }
  VCO v(1.0f, 440.0f, SINE);
  v.OUTL = NAN;
  EXPECT_TRUE(std::isnan(v.get_OUTL()));
}

TEST(Vco, PhaseAdvanceAndWrap) {
  struct Case {
    float freq, start;
    int evaluations;
    float expected;
  };
  const Case cases[] = {
      {440.0f, 0.0f, 1, static_cast<float>(440.0 / 44100.0)},
      {44100.0f, 0.0f, 1, 1.0f},  // exactly 1.0 is not wrapped
      {44100.0f, 0.0f, 2, 1.0f},  // 2.0 wraps once, back to 1.0
      {44100.0f, 0.0f, 50, 1.0f},
      {88200.0f, 0.0f, 1, 1.0f},  // 2.0, one subtraction only
      {88200.0f, 0.0f, 3, 3.0f},  // leaves [0, 1] for good
      {-44100.0f, 0.0f, 3, -3.0f},  // no wrap below zero
      {0.0f, 0.5f, 10, 0.5f},
      {441.0f, 0.995f, 1, 0.005f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.freq << " Hz from " << c.start << ", " << c.evaluations);
    VCO v(1.0f, c.freq, SILENT);
    v.phase = c.start;
    for (int i = 0; i < c.evaluations; i++) EXPECT_EQ(v.evolue(), 1);
    EXPECT_NEAR(v.phase, c.expected, 1e-6);
  }
  // 100 cycles of 441 Hz take 10000 evaluations; the float phase keeps the count.
  VCO v(1.0f, 441.0f, SILENT);
  int wraps = 0;
  float last = 0.0f;
  for (int i = 0; i < 10000; i++) {
    v.evolue();
    if (v.phase < last) wraps++;
    last = v.phase;
  }
  EXPECT_NEAR(wraps, 100, 1);
}

TEST(Vco, WaveformsAtTellingPhases) {
  struct Case {
    const char* what;
    type_generateur type;
    float amount, phase, phase_offset, expected;
    double tolerance;
  };
  const Case cases[] = {
      {"sine peak with the default offset", SINE, 2.0f, 0.25f, 1.0f, 2.0f, 1e-5},
      {"sine trough", SINE, 3.0f, 0.75f, 1.0f, -3.0f, 1e-5},
      {"sine offset by a quarter", SINE, 1.0f, 0.0f, 0.25f, 1.0f, 1e-5},
      {"sine zero", SINE, 1.0f, 0.5f, 1.0f, 0.0f, 1e-5},
      {"saw start", SAW, 1.0f, 0.0f, 1.0f, -0.75f, 0.0},
      {"saw middle", SAW, 1.0f, 0.5f, 1.0f, 0.0f, 0.0},
      {"saw three quarters, still the rising ramp", SAW, 1.0f, 0.75f, 1.0f, 0.375f, 1e-7},
      {"saw end", SAW, 1.0f, 1.0f, 1.0f, 0.75f, 0.0},
      {"saw scaled", SAW, 1000.0f, 1.0f, 1.0f, 750.0f, 0.0},
      // Phases 6.0 and 5.5 are wrapped once, to 5.0 and 4.5, on either side of the threshold.
      {"saw at phase 5 takes the second form", SAW, 1.0f, 6.0f, 1.0f, -6.75f, 1e-6},
      {"saw below phase 5 keeps the first form", SAW, 1.0f, 5.5f, 1.0f, 6.0f, 1e-6},
      {"saw offset ignored", SAW, 1.0f, 0.5f, 0.25f, 0.0f, 0.0},
      {"half saw end", HALF_SAW, 1.0f, 1.0f, 1.0f, 0.25f, 0.0},
      {"half saw start", HALF_SAW, 1.0f, 0.0f, 1.0f, -0.25f, 0.0},
      {"half saw scaled", HALF_SAW, 4.0f, 0.75f, 1.0f, 0.5f, 0.0},
      {"silent", SILENT, 1.0f, 0.25f, 1.0f, 0.0f, 0.0},
      {"type 6", static_cast<type_generateur>(6), 1.0f, 0.25f, 1.0f, 0.0f, 0.0},
      {"type -1", static_cast<type_generateur>(-1), 1.0f, 0.25f, 1.0f, 0.0f, 0.0},
      {"type 1000", static_cast<type_generateur>(1000), 1.0f, 0.25f, 1.0f, 0.0f, 0.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_NEAR(at_phase(c.type, c.amount, c.phase, c.phase_offset), c.expected, c.tolerance);
  }
}

TEST(Vco, UnknownTypesSilenceAPreviousValue) {
  for (int type : {0, 6, 7, -1, -5}) {
    SCOPED_TRACE(type);
    VCO v(1.0f, 440.0f, static_cast<type_generateur>(type));
    v.OUTL = 123.0f;
    v.evolue();
    EXPECT_EQ(v.OUTL, 0.0f);
    EXPECT_NEAR(v.phase, 440.0 / 44100.0, 1e-7);
  }
}

TEST(Vco, PulseLevels) {
  // Phase giving a chosen sine value: offset 1.0 adds a whole cycle.
  auto phase_for = [](double s) {
    const double q = std::asin(std::fabs(s)) / (2.0 * M_PI);
    return static_cast<float>(s >= 0 ? q : 0.5 + q);
  };
  struct Case {
    float amount;
    double sine;
    float expected;
  };
  const Case cases[] = {
      {1.0f, 0.8, 1.0f},  {1.0f, 0.3, 0.0f},   {1.0f, -0.3, 0.0f},  {1.0f, -0.8, -1.0f},
      {1.0f, 1.0, 1.0f},  {1.0f, 0.0, 0.0f},   {1.0f, 0.51, 1.0f},  {1.0f, -0.51, -1.0f},
      // An amount up to 0.5 is cleared again by the second test: only the trough remains.
      {0.3f, 0.8, 0.0f},  {0.3f, -0.8, -0.3f}, {0.5f, 0.8, 0.0f},   {0.6f, 0.8, 0.6f},
      {500.0f, 0.9, 500.0f}, {500.0f, -0.9, -500.0f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "amount " << c.amount << " sine " << c.sine);
    EXPECT_EQ(at_phase(PULSE, c.amount, phase_for(c.sine)), c.expected);
  }
}

// Seeds the generator, runs the evaluations and reports how many values they drew.
int draws_used(VCO& v, int evaluations, unsigned seed) {
  std::srand(seed);
  for (int i = 0; i < evaluations; i++) v.evolue();
  const int next = std::rand();
  std::srand(seed);
  for (int used = 0; used < 10 * evaluations + 10; used++)
    if (std::rand() == next) return used;
  return -1;
}

TEST(Vco, NoiseSpecialCases) {
  struct Case {
    const char* what;
    float amount, freq, previous;
    int evaluations;
    int draws;  // -1: not checked
    float expected;
  };
  const Case cases[] = {
      {"amount 0 keeps the value and draws nothing", 0.0f, 440.0f, 7.5f, 5, 0, 7.5f},
      {"k = 1: never an impulse", 1.0f, 439.5f, 0.0f, 200, 200, -0.5f},
      {"k = 1 at the low end", 1.0f, 438.01f, 0.0f, 200, 200, -0.5f},
      {"k = 1, amount 2", 2.0f, 439.9f, 0.0f, 50, 50, -1.0f},
      {"zero divisor k: no impulse, no fault", 1.0f, 437.5f, 3.0f, 200, 200, -0.5f},
      {"zero divisor k at 438", 4.0f, 438.0f, 3.0f, 200, 200, -2.0f},
      {"zero divisor m: no impulse, no fault", -1.115f, 440.0f, 3.0f, 500, -1, 0.5575f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    VCO v(c.amount, c.freq, NOISE);
    v.OUTL = c.previous;
    const int used = draws_used(v, c.evaluations, 99);
    if (c.draws >= 0) {
      EXPECT_EQ(used, c.draws);
    }
    EXPECT_NEAR(v.OUTL, c.expected, 1e-6);
  }
}

TEST(Vco, NoiseTraceFollowsTheRandomSequence) {
  // At 440 Hz (k = 2) an odd first draw takes a second one for the impulse height.
  struct Case {
    float amount, freq;
    int k, m;
  };
  const Case cases[] = {{1.0f, 440.0f, 2, 211}, {1.0f, 441.7f, 3, 211}, {0.5f, 449.0f, 11, 161},
                        {3.0f, 440.9f, 2, 411}, {1.0f, 0.0f, -438, 211}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.freq);
    std::srand(4242);
    std::vector<float> expected;
    for (int i = 0; i < 2000; i++) {
      double d = 0.0;
      const long r1 = std::rand();
      if (r1 % c.k == 1) d = std::rand() % c.m;
      expected.push_back(static_cast<float>((d - c.amount * 50.0) / 100.0));
    }
    const int after = std::rand();
    std::srand(4242);
    VCO v(c.amount, c.freq, NOISE);
    for (int i = 0; i < 2000; i++) {
      v.evolue();
      ASSERT_FLOAT_EQ(v.OUTL, expected[i]) << "evaluation " << i;
    }
    EXPECT_EQ(std::rand(), after);
  }
}

TEST(VcoSound, SinePitchAndLevel) {
  for (double f : {27.5, 110.0, 440.0, 1000.0, 3520.0, 10000.0}) {
    for (float a : {1.0f, 8000.0f}) {
      SCOPED_TRACE(testing::Message() << f << " Hz, amount " << a);
      VCO v(a, static_cast<float>(f), SINE);
      const std::vector<float> x = render(v, 44100);
      EXPECT_NEAR(tone::cents(tone::measure_frequency(x.data(), x.size(), kRate), f), 0.0, 1.0);
      EXPECT_NEAR(tone::spectral_peak(x.data(), x.size(), kRate), f, 1.0);
      EXPECT_NEAR(tone::rms(x.data(), x.size()), a / std::sqrt(2.0), a * 0.005);
    }
  }
}

TEST(VcoSound, RampsSpanTheirRangeAtPitch) {
  struct Case {
    type_generateur type;
    float amount;
    double f, low, high;
  };
  const Case cases[] = {
      {SAW, 1.0f, 440.0, -0.75, 0.75},         {SAW, 1000.0f, 110.0, -750.0, 750.0},
      {SAW, 0.5f, 2000.0, -0.375, 0.375},      {HALF_SAW, 1.0f, 440.0, -0.25, 0.25},
      {HALF_SAW, 400.0f, 55.0, -100.0, 100.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.type << " " << c.amount << " " << c.f);
    VCO v(c.amount, static_cast<float>(c.f), c.type);
    const std::vector<float> x = render(v, 44100);
    const auto [lo, hi] = std::minmax_element(x.begin(), x.end());
    // One step of the ramp is the most the sampled extremes can miss by.
    const double step = (c.high - c.low) * c.f / kRate;
    EXPECT_GE(*lo, c.low - 1e-6 * c.amount);
    EXPECT_LE(*lo, c.low + step);
    EXPECT_LE(*hi, c.high + 1e-6 * c.amount);
    EXPECT_GE(*hi, c.high - step);
    EXPECT_NEAR(tone::cents(tone::measure_frequency(x.data(), x.size(), kRate), c.f), 0.0, 1.0);
  }
}

TEST(VcoSound, PulseIsThreeLevelAtPitch) {
  for (double f : {110.0, 440.0, 1760.0}) {
    for (float a : {1.0f, 5000.0f}) {
      SCOPED_TRACE(testing::Message() << f << " Hz, amount " << a);
      VCO v(a, static_cast<float>(f), PULSE);
      const std::vector<float> x = render(v, 44100);
      std::map<float, int> levels;
      for (float s : x) levels[s]++;
      ASSERT_EQ(levels.size(), 3u);
      EXPECT_EQ(levels.begin()->first, -a);
      EXPECT_EQ(levels.rbegin()->first, a);
      // Each level holds for a third of the cycle.
      for (const auto& [level, count] : levels) EXPECT_NEAR(count / 44100.0, 1.0 / 3.0, 0.01) << level;
      EXPECT_NEAR(tone::cents(tone::measure_frequency(x.data(), x.size(), kRate), f), 0.0, 1.0);
    }
  }
}

TEST(VcoSound, NoiseDensityFollowsFrequency) {
  struct Case {
    float freq;
    double k;
  };
  const Case cases[] = {{440.0f, 2}, {441.0f, 3}, {449.0f, 11}, {539.0f, 101}};
  std::srand(1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.freq);
    VCO v(1.0f, c.freq, NOISE);
    const int n = 200000;
    int impulses = 0;
    float low = 1e9f, high = -1e9f;
    for (int i = 0; i < n; i++) {
      v.evolue();
      if (v.OUTL != -0.5f) impulses++;
      low = std::min(low, v.OUTL);
      high = std::max(high, v.OUTL);
    }
    // One evaluation in k carries an impulse, of height 0..210 (floor -0.5 to 1.6).
    EXPECT_NEAR(impulses / static_cast<double>(n), (1.0 / c.k) * (210.0 / 211.0), 0.1 / c.k);
    EXPECT_EQ(low, -0.5f);
    EXPECT_LE(high, 1.6f + 1e-6f);
    if (c.k <= 11) {
      EXPECT_GE(high, 1.5f);
    }
  }
}

}  // namespace
