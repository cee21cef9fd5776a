// What a listener notices, measured on in-process renders: each key plays its
// note in tune on its voice, a released key falls silent, both channels carry the
// same signal, and a patch too loud for 16 bits is clamped, not wrapped.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/render.h"
#include "support/tone.h"

namespace {

using tevtest::left;
constexpr int kRate = 44100;

// Interleaved stereo of `patch` (in tests/cases) rendered with `events`.
std::vector<short> listen(const std::string& patch, const std::vector<tevtest::KeyEvent>& events,
                          int frames) {
  const std::vector<short> v = tevtest::render(tevtest::slurp(TEV_CASES_DIR "/" + patch), events, frames);
  for (size_t i = 0; i + 1 < v.size(); i += 2) EXPECT_EQ(v[i], v[i + 1]) << "frame " << i / 2;
  return v;
}

TEST(Listener, EveryKeyInTuneAndSilentAfterRelease) {
  // Three rows of keys, one voice each (sine, saw, pulse), the same six notes: A4 B4 C5 D5 E5 F5.
  const char* rows[] = {"zxcvbn", "asdfgh", "qwerty"};
  const double hz[] = {440.0, 493.883, 523.251, 587.330, 659.255, 698.456};
  constexpr int kHeld = 11025, kStep = 13230;
  std::vector<tevtest::KeyEvent> events;
  for (int i = 0; i < 18; i++) {
    events.push_back({i * kStep, rows[i / 6][i % 6], true});
    events.push_back({i * kStep + kHeld, rows[i / 6][i % 6], false});
  }
  const std::vector<short> v = listen("keys/three_voices.TSY", events, 18 * kStep);
  ASSERT_EQ(v.size(), 2u * 18 * kStep);
  for (int i = 0; i < 18; i++) {
    SCOPED_TRACE(std::string("key ") + rows[i / 6][i % 6]);
    const std::vector<short> held = left(v, i * kStep + 2000, i * kStep + kHeld);
    EXPECT_NEAR(tone::cents(tone::measure_frequency(held.data(), held.size(), kRate), hz[i % 6]), 0, 1);
    EXPECT_NEAR(tone::cents(tone::spectral_peak(held.data(), held.size(), kRate), hz[i % 6]), 0, 5);
    EXPECT_GT(tone::rms(held.data(), held.size()), 3000);
    const std::vector<short> after = left(v, i * kStep + kHeld + 1000, (i + 1) * kStep);
    EXPECT_LT(tone::rms(after.data(), after.size()), 1.0);
  }
}

TEST(Listener, TooLoudIsClampedAt32000) {
  const std::vector<short> v = listen("mixers/clamping.TSY", {{0, 'z', true}}, 4410);
  int peak = 0;
  for (short s : v) peak = std::max(peak, std::abs(static_cast<int>(s)));
  EXPECT_EQ(peak, 32000);
  EXPECT_GT(std::count(v.begin(), v.end(), 32000), 100) << "a held clamp, not a wrap-around";
  EXPECT_GT(std::count(v.begin(), v.end(), -32000), 100);
}

}  // namespace
