// The patch file saved while a key is held, as a listener hears it: the sine
// becomes a saw at the same pitch, the key still held, and a broken patch saved
// after it is refused while the saw plays on. The fade between the two graphs is
// measured frame by frame in-process (the unit tests' Handover).
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <string>

#include "tests/e2e/synth_harness.h"
#include "tests/support/tone.h"

namespace {

using namespace e2e;

// Strength of the second harmonic against the fundamental f over [from, to) of
// the left channel (Hann window): about 0 for a sine, 1/2 for a saw.
double second_harmonic(const std::vector<int16_t>& lr, long from, long to, double f) {
  std::complex<double> h1, h2;
  for (long i = from; i < to; i++) {
    const double w = 0.5 - 0.5 * std::cos(2 * M_PI * (i - from) / (to - from - 1));
    const double ph = 2 * M_PI * f * i / kRate;
    h1 += w * lr[2 * i] * std::polar(1.0, -ph);
    h2 += w * lr[2 * i] * std::polar(1.0, -2 * ph);
  }
  return std::abs(h2) / std::max(std::abs(h1), 1.0);
}

TEST_F(Synth, ReloadSavedPatchChangesTheHeldSoundAndABrokenOneIsRefused) {
  std::string why;
  const std::string sines = slurp(dir_ + "/voices.tsy");
  std::string saws = sines;
  for (size_t p; (p = saws.find("*TYPE=1")) != std::string::npos;) saws[p + 6] = '2';
  // A comment with blanks: a warning, which does not keep a patch from playing.
  saws = "# saws: the same voices\n" + saws;
  // Start-up names what its console clear wipes: here a comment with blanks.
  write_file(dir_ + "/live.tsy", "# sines: three voices\n" + sines);

  // An idle null sink renders in blocks of two seconds: record well before playing.
  Recorder rec;
  ASSERT_TRUE(rec.start(&why)) << why;
  const Clock::time_point rec_started = Clock::now();
  launch('2', "live.tsy");
  Child& synth = *synth_;
  EXPECT_TRUE(synth.wait_for_output(
      "live.tsy: 0 errors, 1 warning (tev-render --check live.tsy lists them)", 2))
      << synth.output();
  std::this_thread::sleep_until(rec_started + std::chrono::milliseconds(2200));

  const Clock::time_point down = Clock::now();
  ASSERT_TRUE(key("z", true));
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  const Clock::time_point saved = Clock::now();
  write_file(dir_ + "/live.tsy", saws);  // in place
  ASSERT_TRUE(synth.wait_for_output("1 warning: see tev-render --check", 2)) << synth.output();
  std::this_thread::sleep_until(saved + std::chrono::milliseconds(1200));
  // Written beside it and renamed over it, with a link to a module never declared
  // on its fifteenth line.
  const Clock::time_point broken = Clock::now();
  write_file(dir_ + "/live.tsy.new", saws + "MIXER_X;VCO_NONE:IN1;\n");
  ASSERT_EQ(std::rename((dir_ + "/live.tsy.new").c_str(), (dir_ + "/live.tsy").c_str()), 0);
  EXPECT_TRUE(synth.wait_for_output("patch not reloaded: 1 problem", 2)) << synth.output();
  EXPECT_EQ(synth.output().find("1 problems"), std::string::npos) << synth.output();
  EXPECT_NE(synth.output().find("live.tsy:15: link source [VCO_NONE]"), std::string::npos)
      << synth.output();
  std::this_thread::sleep_until(broken + std::chrono::milliseconds(600));
  ASSERT_TRUE(key("z", false));
  EXPECT_EQ(quit_with_escape(), 0) << synth.output();
  rec.stop();

  const std::vector<int16_t> lr = rec.samples();
  auto frame_at = [&](Clock::time_point t, int plus_ms) { return rec.frame_at(t + std::chrono::milliseconds(plus_ms)); };
  const double hz = 440.0;  // z: note 58
  const long sine_from = frame_at(down, 200), sine_to = frame_at(saved, 0);
  const long saw_from = frame_at(saved, 500), saw_to = frame_at(broken, 0);
  const long kept_from = frame_at(broken, 100), kept_to = frame_at(broken, 550);
  ASSERT_GT(sine_to - sine_from, kRate / 4);
  ASSERT_GT(kept_to - kept_from, kRate / 4);
  // The sine before the save; within 0.5 s of it the saw, which plays on.
  const struct { long from, to; double h2; } spans[] = {
      {sine_from, sine_to, 0.0}, {saw_from, saw_to, 0.5}, {kept_from, kept_to, 0.5}};
  for (const auto& s : spans) {
    const std::vector<int16_t> l = tevtest::left(lr, s.from, s.to);
    EXPECT_NEAR(tone::cents(tone::spectral_peak(l.data(), l.size(), kRate), hz), 0.0, 2.0);
    EXPECT_NEAR(second_harmonic(lr, s.from, s.to, hz), s.h2, 0.05) << "from frame " << s.from;
  }
}

}  // namespace
