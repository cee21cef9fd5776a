#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "engine/vca.h"

namespace {

struct Params {
  float attack = 1.0f, decay = 100.0f, sustain = 0.0f, release = 0.0f;
};

VCA make(const Params& p) {
  VCA v;
  v.attack_time = p.attack;
  v.decay_time = p.decay;
  v.sustain_level = p.sustain;
  v.release_time = p.release;
  return v;
}

// Levels of a triggered envelope, evaluated until it goes idle or `limit` evaluations.
struct Trace {
  std::vector<float> levels;
  int peak_at = 0;  // evaluation (1-based) with the highest level
  int ended_at = -1;  // evaluation that set active to 0
};

Trace run_envelope(VCA& v, int limit) {
  Trace r;
  float peak = -1.0f;
  for (int i = 1; i <= limit && v.active == 1; i++) {
    EXPECT_EQ(v.evolue(), 1);
    r.levels.push_back(v.OUTL);
    if (v.OUTL > peak) {
      peak = v.OUTL;
      r.peak_at = i;
    }
    if (v.active == 0) r.ended_at = i;
  }
  return r;
}

TEST(Vca, ConstructorAndIdleLevel) {
  VCA v;
  EXPECT_EQ(v.OUTL, 0.0f);
  EXPECT_EQ(v.elapsed, 0.0f);
  EXPECT_EQ(v.input, 0.0f);
  EXPECT_EQ(v.active, 0);
  EXPECT_EQ(v.released, 0);
  EXPECT_EQ(v.bypass, 0);
  EXPECT_EQ(v.attack_time, 1.0f);
  EXPECT_EQ(v.attack_level, 1.0f);
  EXPECT_EQ(v.decay_time, 100.0f);
  EXPECT_EQ(v.sustain_level, 0.0f);
  EXPECT_EQ(v.release_time, 0.0f);
  // Never triggered: silent, and an unfed amplifier contributes nothing.
  EXPECT_EQ(v.get_OUTL(), 0.0f);
  for (int i = 0; i < 10; i++) {
    v.input = 1000.0f;
    EXPECT_EQ(v.evolue(), 0);
    EXPECT_EQ(v.OUTL, 0.0f);
    EXPECT_EQ(v.get_OUTL(), 0.0f);
  }
}

TEST(Vca, OutputIsLevelTimesInputUnclamped) {
  struct Case {
    float level, input, expected;
  };
  const Case cases[] = {{2.0f, 30000.0f, 60000.0f}, {1.0f, -40000.0f, -40000.0f}, {0.5f, 3.0f, 1.5f},
                        {0.0f, 32000.0f, 0.0f}};
  for (const Case& c : cases) {
    VCA v;
    v.OUTL = c.level;
    v.input = c.input;
    EXPECT_EQ(v.get_OUTL(), c.expected);
    EXPECT_EQ(v.OUTL, c.level);
  }
}

TEST(Vca, EnvelopeTimings) {
  struct Case {
    const char* what;
    Params p;
    int peak_at;   // evaluations to the end of the attack
    int ended_at;  // evaluation that ends the envelope
    float first;   // level of the first evaluation
  };
  // 0.005 clock units per evaluation: A = 1 is 200 evaluations, D = 100 is 20000.
  const Case cases[] = {
      {"defaults", {1, 100, 0, 0}, 200, 20200, 0},
      {"short", {2, 10, 0, 0}, 400, 2400, 0},
      {"no attack", {0, 100, 0, 0}, 1, 20000, 1},
      {"no decay: ends after the attack", {1, 0, 0, 0}, 200, 201, 0},
      {"no decay with sustain: no sustain either", {1, 0, 1, 0}, 200, 201, 0},
      {"negative release cuts the attack short", {1, 100, 0, -101.5f}, 100, 101, 0},
      {"negative release ends at once", {1, 100, 0, -102.0f}, 0, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    VCA v = make(c.p);
    v.TRIG();
    const Trace r = run_envelope(v, 100000);
    // Float accumulation of the clock may move the ends by a few evaluations.
    if (c.peak_at > 0) {
      EXPECT_NEAR(r.peak_at, c.peak_at, 1 + c.peak_at / 500);
    }
    EXPECT_NEAR(r.ended_at, c.ended_at, 1 + c.ended_at / 500);
    ASSERT_FALSE(r.levels.empty());
    // The level comes from the clock before it advances: 0 in an attack, the peak without one.
    EXPECT_EQ(r.levels.front(), c.first);
    EXPECT_EQ(r.levels.back(), 0.0f);
    EXPECT_EQ(v.active, 0);
    EXPECT_EQ(v.evolue(), 0);
    EXPECT_EQ(v.OUTL, 0.0f);
  }
}

TEST(Vca, DefaultEnvelopeShape) {
  VCA v;
  v.TRIG();
  const Trace r = run_envelope(v, 100000);
  ASSERT_GT(r.levels.size(), 20000u);
  const int peak = r.peak_at - 1;
  EXPECT_NEAR(r.levels[peak], 1.0f, 0.006f);
  for (int i = 1; i <= peak; i++) ASSERT_GT(r.levels[i], r.levels[i - 1]) << i;
  for (std::size_t i = peak + 1; i + 1 < r.levels.size(); i++) ASSERT_LT(r.levels[i], r.levels[i - 1]) << i;
  // Linear: half way through the attack and the decay the level is one half.
  EXPECT_NEAR(r.levels[100], 0.5f, 0.006f);
  EXPECT_NEAR(r.levels[200 + 10000], 0.5f, 0.002f);
}

TEST(Vca, SustainLevels) {
  struct Case {
    float sustain;
    int evaluations_to_settle;  // after the attack
    float settled;
  };
  // From the peak the level loses 0.1 % per evaluation until it reaches S:
  // ln(0.5) / ln(0.999) = 693 evaluations for S = 0.5.
  const Case cases[] = {{1.0f, 1, 1.0f}, {0.5f, 694, 0.5f}, {0.9f, 106, 0.9f}, {2.0f, 1, 2.0f}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sustain);
    VCA v = make({1, 100, c.sustain, 0});
    v.TRIG();
    float previous = 0.0f;
    int i = 0;
    for (; i < 199; i++) {
      v.evolue();
      previous = v.OUTL;
    }
    int settled_after = 0;
    for (int k = 1; k <= 50000; k++) {
      v.evolue();
      if (v.OUTL == c.settled) {
        if (settled_after == 0) settled_after = k;
      } else if (settled_after == 0 && previous > c.sustain && k > 2) {
        ASSERT_NEAR(v.OUTL / previous, 0.999, 1e-6) << k;
      }
      if (settled_after != 0) {
        ASSERT_EQ(v.OUTL, c.settled) << k;
      }
      previous = v.OUTL;
    }
    EXPECT_NEAR(settled_after, c.evaluations_to_settle, 3);
    EXPECT_EQ(v.active, 1);
  }
}

TEST(Vca, Release) {
  struct Case {
    const char* what;
    Params p;
    int untrig_at;    // evaluations after TRIG
    int after;        // evaluations after UNTRIG
    double ratio;     // expected level after / level at UNTRIG (-1: exactly 0)
  };
  const Case cases[] = {
      {"R = 0 from sustain", {1, 100, 1, 0}, 1000, 1, -1},
      {"R = 0 stays silent", {1, 100, 1, 0}, 1000, 5000, -1},
      {"R = 100 keeps 99.99 % per evaluation", {1, 100, 1, 100}, 1000, 1, 0.9999},
      {"R = 100 over 10000 evaluations", {1, 100, 1, 100}, 1000, 10000, std::pow(0.9999, 10000)},
      {"R = 1 loses 1 %", {1, 100, 1, 1}, 1000, 100, std::pow(0.99, 100)},
      {"from the decay", {1, 100, 0, 10}, 5000, 1000, std::pow(0.999, 1000)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    VCA v = make(c.p);
    v.TRIG();
    for (int i = 0; i < c.untrig_at; i++) v.evolue();
    const float level = v.OUTL;
    const float clock = v.elapsed;
    ASSERT_GT(level, 0.0f);
    v.UNTRIG();
    for (int i = 0; i < c.after; i++) EXPECT_EQ(v.evolue(), 1);
    if (c.ratio < 0)
      EXPECT_EQ(v.OUTL, 0.0f);
    else
      EXPECT_NEAR(v.OUTL / level, c.ratio, 1e-4);
    // The clock stands still in release: the envelope stays active however long it lasts.
    EXPECT_EQ(v.elapsed, clock);
    EXPECT_EQ(v.active, 1);
  }
}

TEST(Vca, UntrigDuringAttackWaitsForThePeak) {
  VCA reference = make({1, 100, 1, 10});
  VCA v = make({1, 100, 1, 10});
  reference.TRIG();
  v.TRIG();
  for (int i = 0; i < 50; i++) {
    v.evolue();
    reference.evolue();
  }
  v.UNTRIG();
  float last_attack = 0.0f;
  int attack_left = 0;
  while (v.elapsed < v.attack_time) {
    v.evolue();
    reference.evolue();
    ASSERT_EQ(v.OUTL, reference.OUTL);
    last_attack = v.OUTL;
    attack_left++;
  }
  EXPECT_NEAR(attack_left, 150, 2);
  v.evolue();
  EXPECT_NEAR(v.OUTL, last_attack * (1.0 - 1.0 / 1000.0), 1e-6);
  EXPECT_EQ(v.released, 1);
}

TEST(Vca, RetriggerRestartsFromZero) {
  struct Case {
    const char* what;
    int before;  // evaluations before UNTRIG
    int released_for;
  };
  const Case cases[] = {{"while released", 1000, 500}, {"during attack", 50, 0}, {"after the end", 30000, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    VCA v = make({1, 100, 1, 100});
    v.TRIG();
    for (int i = 0; i < c.before; i++) v.evolue();
    if (c.released_for > 0) {
      v.UNTRIG();
      for (int i = 0; i < c.released_for; i++) v.evolue();
    }
    v.TRIG();
    EXPECT_EQ(v.OUTL, 0.0f);
    EXPECT_EQ(v.elapsed, 0.0f);
    EXPECT_EQ(v.released, 0);
    EXPECT_EQ(v.active, 1);
    v.evolue();
    EXPECT_EQ(v.OUTL, 0.0f);
    for (int i = 0; i < 1000; i++) v.evolue();
    EXPECT_EQ(v.OUTL, 1.0f);  // back in sustain, not in release
  }
}

TEST(Vca, BypassPassesTheInput) {
  struct Case {
    bool triggered;
    int evaluations;
  };
  const Case cases[] = {{false, 1}, {false, 1000}, {true, 1}, {true, 30000}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.triggered << " " << c.evaluations);
    VCA v;
    v.bypass = 1;
    if (c.triggered) v.TRIG();
    for (int i = 0; i < c.evaluations; i++) {
      ASSERT_EQ(v.evolue(), 1);
      ASSERT_EQ(v.OUTL, 1.0f);
    }
    v.input = -1234.5f;
    EXPECT_EQ(v.get_OUTL(), -1234.5f);
    EXPECT_EQ(v.elapsed, 0.0f);
    EXPECT_EQ(v.active, c.triggered ? 1 : 0);
  }
}

}  // namespace
