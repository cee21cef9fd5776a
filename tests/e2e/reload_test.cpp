// The patch file saved while a key is held, as a listener hears it: the sine
// becomes a saw at the same pitch without a gap or a click, and a broken patch
// saved after it is refused while the saw plays on.
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

// Runs of at least 32 frames near zero over [from, to), as [first, end) pairs.
std::vector<std::pair<long, long>> quiet_runs(const std::vector<int16_t>& lr, long from, long to) {
  std::vector<std::pair<long, long>> v;
  for (long i = from, run = 0; i <= to; i++) {
    if (i < to && std::abs(lr[2 * i]) < 100) {
      run++;
    } else {
      if (run >= 32) v.push_back({i - run, i});
      run = 0;
    }
  }
  return v;
}
// The largest step between neighbouring frames over [from, to), away from `skip`.
int largest_step(const std::vector<int16_t>& lr, long from, long to,
                 const std::vector<std::pair<long, long>>& skip = {}) {
  int step = 0;
  for (long i = from + 1; i < to; i++) {
    bool near = false;
    for (const auto& r : skip) near |= i > r.first - 4 && i < r.second + 4;
    if (!near) step = std::max(step, std::abs(lr[2 * i] - lr[2 * i - 2]));
  }
  return step;
}

TEST_F(Synth, ReloadSavedPatchChangesTheHeldSoundAndABrokenOneIsRefused) {
  std::string why;
  const std::string sines = slurp(dir_ + "/voices.tsy");
  std::string saws = sines;
  for (size_t p; (p = saws.find("*TYPE=1")) != std::string::npos;) saws[p + 6] = '2';
  write_file(dir_ + "/live.tsy", sines);

  // An idle null sink renders in blocks of two seconds: record well before playing.
  Recorder rec;
  ASSERT_TRUE(rec.start(&why)) << why;
  const Clock::time_point rec_started = Clock::now();
  launch('2', "live.tsy");
  Child& synth = *synth_;
  std::this_thread::sleep_until(rec_started + std::chrono::milliseconds(2200));

  const Clock::time_point down = Clock::now();
  ASSERT_TRUE(key("z", true));
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  const Clock::time_point saved = Clock::now();
  write_file(dir_ + "/live.tsy", saws);  // in place
  ASSERT_TRUE(synth.wait_for_output("patch reloaded (", 2)) << synth.output();
  std::this_thread::sleep_until(saved + std::chrono::milliseconds(1200));
  // Written beside it and renamed over it, with a link to a module never declared
  // on its fourteenth line.
  const Clock::time_point broken = Clock::now();
  write_file(dir_ + "/live.tsy.new", saws + "MIXER_X;VCO_NONE:IN1;\n");
  ASSERT_EQ(std::rename((dir_ + "/live.tsy.new").c_str(), (dir_ + "/live.tsy").c_str()), 0);
  EXPECT_TRUE(synth.wait_for_output("patch not reloaded: 1 problems", 2)) << synth.output();
  EXPECT_NE(synth.output().find("live.tsy:14: link source [VCO_NONE]"), std::string::npos)
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
  // Across both saves never silent (a gap), except where the sound server played
  // silence for a stream it found run dry (on a loaded machine; the synth's own
  // thread is real-time, and what it wrote is not in question there).
  const long whole_from = frame_at(down, 100), whole_to = kept_to;
  std::vector<std::pair<long, long>> underruns;
  for (const auto& r : quiet_runs(lr, whole_from, whole_to)) {
    if (underrun_near(rec, r.first, r.second)) {
      underruns.push_back(r);
      std::printf("frames %ld to %ld silent: the sound server reported an underrun\n", r.first, r.second);
    } else {
      ADD_FAILURE() << "frames " << r.first << " to " << r.second << " silent, no underrun reported";
    }
  }
  // The sine before the save; within 0.5 s of it the saw, which plays on. A span an
  // underrun cut proves nothing about pitch or timbre.
  const struct { long from, to; double h2; } spans[] = {
      {sine_from, sine_to, 0.0}, {saw_from, saw_to, 0.5}, {kept_from, kept_to, 0.5}};
  for (const auto& s : spans) {
    bool cut = false;
    for (const auto& r : underruns) cut |= r.second > s.from && r.first < s.to;
    if (cut) continue;
    std::vector<int16_t> l;  // left channel
    for (long i = s.from; i < s.to; i++) l.push_back(lr[2 * i]);
    EXPECT_NEAR(tone::cents(tone::spectral_peak(l.data(), l.size(), kRate), hz), 0.0, 2.0);
    EXPECT_NEAR(second_harmonic(lr, s.from, s.to, hz), s.h2, 0.05) << "from frame " << s.from;
  }
  // Never a step larger than the saw's own. (A fiftieth more: the frames fall at
  // other points of the saw's drop elsewhere.)
  const int saw_step = largest_step(lr, saw_from, saw_to, underruns);
  EXPECT_LE(largest_step(lr, whole_from, whole_to, underruns), saw_step + saw_step / 50) << "a click";
}

}  // namespace
