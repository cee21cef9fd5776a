// The real tev-synth played through its window's keys, as a listener hears it:
// the PulseAudio null sink is recorded while xdotool presses keys.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>

#include "tests/e2e/synth_harness.h"
#include "tests/support/pulse_env.h"
#include "tests/support/tone.h"

namespace {

using e2e::Clock;
using e2e::kRate;

// Equal temperament with note 58 at 440 Hz, the synth's note numbering.
double note_hz(int note) { return 440.0 * std::pow(2.0, (note - 58) / 12.0); }

double cents_off(double f, double reference) { return 1200.0 * std::log2(f / reference); }

// Magnitude of the Hann-windowed spectrum of x at frequency f (Hz).
double line_magnitude(const std::vector<double>& x, double f) {
  const size_t n = x.size();
  const std::complex<double> step = std::polar(1.0, -2.0 * M_PI * f / kRate);
  std::complex<double> rot(1.0, 0.0), sum(0.0, 0.0);
  for (size_t i = 0; i < n; i++) {
    const double w = 0.5 - 0.5 * std::cos(2.0 * M_PI * static_cast<double>(i) / (n - 1));
    sum += w * x[i] * rot;
    rot *= step;
    if ((i & 1023) == 0) rot /= std::abs(rot);  // keep the rotation on the unit circle
  }
  return std::abs(sum);
}

// The `count` strongest spectral lines between 100 and 2000 Hz, each found on a
// 2 Hz grid (finer than the window's main lobe) and refined to 0.01 Hz.
std::vector<double> strongest_lines(const std::vector<double>& x, int count) {
  std::vector<std::pair<double, double>> peaks;  // magnitude, frequency
  double before = 0, here = line_magnitude(x, 100);
  for (double f = 102; f <= 2000; f += 2) {
    const double after = line_magnitude(x, f);
    if (here > before && here >= after) peaks.push_back({here, f - 2});
    before = here;
    here = after;
  }
  std::sort(peaks.rbegin(), peaks.rend());
  std::vector<double> lines;
  for (int k = 0; k < count && k < static_cast<int>(peaks.size()); k++) {
    double best_f = peaks[k].second, best = 0;
    for (double f = peaks[k].second - 2; f <= peaks[k].second + 2; f += 0.01) {
      const double m = line_magnitude(x, f);
      if (m > best) best = m, best_f = f;
    }
    lines.push_back(best_f);
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

// Share of the signal's energy that sines at the given frequencies (each with
// its best amplitude and phase, fitted by least squares) do not explain: a clean
// chord gives almost 0; a wrong note, a dropout or distortion does not.
double unexplained_energy(const std::vector<double>& x, const std::vector<double>& freqs) {
  const size_t m = 2 * freqs.size();
  std::vector<std::vector<double>> a(m, std::vector<double>(m + 1, 0.0));
  std::vector<double> basis(m);
  for (size_t i = 0; i < x.size(); i++) {
    for (size_t k = 0; k < freqs.size(); k++) {
      const double ph = 2.0 * M_PI * freqs[k] * static_cast<double>(i) / kRate;
      basis[2 * k] = std::cos(ph);
      basis[2 * k + 1] = std::sin(ph);
    }
    for (size_t r = 0; r < m; r++) {
      for (size_t c = 0; c < m; c++) a[r][c] += basis[r] * basis[c];
      a[r][m] += basis[r] * x[i];
    }
  }
  for (size_t p = 0; p < m; p++)  // Gauss-Jordan; the system is well conditioned
    for (size_t r = 0; r < m; r++)
      if (r != p) {
        const double q = a[r][p] / a[p][p];
        for (size_t c = p; c <= m; c++) a[r][c] -= q * a[p][c];
      }
  double total = 0, residual = 0;
  for (size_t i = 0; i < x.size(); i++) {
    double fit = 0;
    for (size_t k = 0; k < freqs.size(); k++) {
      const double ph = 2.0 * M_PI * freqs[k] * static_cast<double>(i) / kRate;
      fit += a[2 * k][m] / a[2 * k][2 * k] * std::cos(ph) +
             a[2 * k + 1][m] / a[2 * k + 1][2 * k + 1] * std::sin(ph);
    }
    total += x[i] * x[i];
    residual += (x[i] - fit) * (x[i] - fit);
  }
  return total > 0 ? residual / total : 1.0;
}

// One played chord: when its keys went down and up on this process's clock.
struct Played {
  const char* what;
  std::vector<std::string> keys;  // xdotool key names, pressed together
  std::vector<int> notes;         // what must be heard, in ascending pitch
  double hold;                    // seconds
  Clock::time_point down, up;
};

// The frames of the recording that are not silent, from `from` on; -1 if none.
long first_sound(const std::vector<int16_t>& lr, long from, long to, int threshold) {
  for (long f = std::max(0L, from); f < to; f++)
    if (std::abs(lr[2 * f]) >= threshold) return f;
  return -1;
}
long last_sound(const std::vector<int16_t>& lr, long from, long to, int threshold) {
  for (long f = to - 1; f >= std::max(0L, from); f--)
    if (std::abs(lr[2 * f]) >= threshold) return f;
  return -1;
}

// Where the sound server left gaps in a held tone: runs of at least 32 frames
// (0.7 ms) near zero. A full-level tone of a few hundred hertz passes zero in a
// frame or two, and two such tones together stay near zero for at most a few
// frames, where a zero of their sum meets a null of their beat; a missed device
// period is hundreds of frames. The stretches between gaps, longest first.
struct Stretch {
  long from, to;
};
std::vector<Stretch> gapless_stretches(const std::vector<int16_t>& lr, long from, long to,
                                       long* gap_frames) {
  std::vector<Stretch> out;
  *gap_frames = 0;
  long start = from, quiet = 0;
  for (long f = from; f < to; f++) {
    if (std::abs(lr[2 * f]) < 100) {
      quiet++;
      continue;
    }
    if (quiet >= 32) {
      if (f - quiet > start) out.push_back({start, f - quiet});
      *gap_frames += quiet;
      start = f;
    }
    quiet = 0;
  }
  if (to - quiet > start) out.push_back({start, to - quiet});
  std::sort(out.begin(), out.end(),
            [](const Stretch& a, const Stretch& b) { return a.to - a.from > b.to - b.from; });
  return out;
}

struct OutputCase {
  const char* name;
  char output_key;
};

TEST(SynthSound, KeysPlayTheirVoicesAsHeardOnTheSoundServer) {
  e2e::XServer x;
  std::string why;
  ASSERT_TRUE(x.start(&why)) << why;
  tev_test::PulseEnv pulse;
  ASSERT_TRUE(pulse.start(&why)) << why;

  const OutputCase outputs[] = {{"PulseAudio", '2'}, {"ALSA", '3'}};
  for (const OutputCase& o : outputs) {
    SCOPED_TRACE(o.name);
    const std::string dir = e2e::make_temp_dir();
    e2e::copy_file(TEV_FOND_BMP, dir + "/fond.bmp");
    e2e::write_file(dir + "/three_sines.tsy", e2e::kThreeVoicePatch);

    // An idle null sink renders in blocks of two seconds: record well before playing.
    e2e::Recorder rec;
    ASSERT_TRUE(rec.start(&why)) << why;
    const Clock::time_point rec_started = Clock::now();
    e2e::Child synth({TEV_SYNTH_BIN, "three_sines.tsy"}, {dir, {}, {}, false});
    ASSERT_TRUE(e2e::answer_prompts(synth, o.output_key, &why)) << why;
    const std::string window = e2e::find_window("^three_sines\\.tsy$", 15);
    ASSERT_FALSE(window.empty()) << synth.output();
    ASSERT_EQ(e2e::run({"xdotool", "windowfocus", window}, 10), 0);
    std::this_thread::sleep_until(rec_started + std::chrono::milliseconds(2200));

    const int z = 58;
    std::vector<Played> played = {
        {"z", {"z"}, {z + e2e::kVoiceOffset[0]}, 0.5, {}, {}},
        // Modifiers are not looked at: Shift+z plays z.
        {"Shift+z", {"Shift_L", "z"}, {z + e2e::kVoiceOffset[0]}, 0.3, {}, {}},
        // Two voices at once, each at its own pitch.
        {"a and q", {"a", "q"}, {z + e2e::kVoiceOffset[1], z + e2e::kVoiceOffset[2]}, 0.5,
         {}, {}},
    };
    e2e::Keyboard keyboard;
    ASSERT_TRUE(keyboard.open(&why)) << why;
    for (Played& p : played) {
      p.down = Clock::now();
      ASSERT_TRUE(keyboard.press(p.keys));
      std::this_thread::sleep_until(p.down + std::chrono::duration_cast<Clock::duration>(
                                                 std::chrono::duration<double>(p.hold)));
      p.up = Clock::now();
      ASSERT_TRUE(keyboard.release(p.keys));
      // Past the release, into silence again.
      std::this_thread::sleep_for(std::chrono::milliseconds(450));
    }
    ASSERT_EQ(e2e::run({"xdotool", "key", "Escape"}, 10), 0);
    int status = 0;
    ASSERT_TRUE(synth.wait_exit(5, &status)) << "still running after Escape";
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0) << synth.output();
    rec.stop();

    const std::vector<int16_t> lr = rec.samples();
    const long frames = static_cast<long>(lr.size() / 2);
    long unequal = 0;
    for (long f = 0; f < frames; f++) unequal += lr[2 * f] != lr[2 * f + 1];
    EXPECT_EQ(unequal, 0) << "frames whose left and right differ";

    // Recording time of a moment on this process's clock.
    auto frame_at = [&](Clock::time_point t) {
      const double s = std::chrono::duration<double>(t - rec.time_of_frame(0)).count();
      return std::min(frames, std::max(0L, static_cast<long>(s * kRate)));
    };
    long quiet_from = 0;
    for (size_t k = 0; k < played.size(); k++) {
      const Played& p = played[k];
      SCOPED_TRACE(p.what);
      const long down = frame_at(p.down);
      const long next = k + 1 < played.size() ? frame_at(played[k + 1].down) : frames;
      // Before the keys: nothing at all, not even noise.
      EXPECT_EQ(first_sound(lr, quiet_from, down, 1), -1) << "sound before the key went down";

      const long onset = first_sound(lr, down, next, 1);
      ASSERT_GE(onset, 0) << "nothing heard";
      const double delay_ms =
          std::chrono::duration<double, std::milli>(rec.time_of_frame(onset) - p.down).count();
      std::printf("[ %s ] %s: key to sound %.1f ms\n", o.name, p.what, delay_ms);
      ::testing::Test::RecordProperty(std::string(o.name) + " " + p.what + " key_to_sound_ms",
                                      std::to_string(delay_ms));
      // A generous bound on a shared machine; the delay itself is reported above.
      EXPECT_LT(delay_ms, 80.0);

      // Loud part: the key held plus the release down to a tenth of full level.
      const int tenth = 1000 * static_cast<int>(p.notes.size());
      const long loud_from = first_sound(lr, down, next, tenth);
      const long loud_to = last_sound(lr, down, next, tenth);
      ASSERT_GT(loud_to, loud_from);
      const double held = std::chrono::duration<double>(p.up - p.down).count();
      const double heard = static_cast<double>(loud_to - loud_from) / kRate;
      EXPECT_NEAR(heard, held + e2e::kReleaseToTenthSeconds, 0.04) << "held " << held << " s";

      // Steady part, clear of the attack and the release.
      const long from = loud_from + kRate / 20;
      const long to = loud_to - static_cast<long>(e2e::kReleaseToTenthSeconds * kRate) - kRate / 20;
      ASSERT_GT(to - from, kRate / 10);
      // On a loaded machine the sound server may miss a period now and then and
      // fill it with silence. That is reported and bounded; the notes are checked
      // on the longest stretch without a gap.
      long gap_frames = 0;
      const std::vector<Stretch> stretches = gapless_stretches(lr, from, to, &gap_frames);
      if (gap_frames > 0)
        std::printf("[ %s ] %s: %zu gap(s), %.1f ms of silence in %.0f ms held\n", o.name, p.what,
                    stretches.size() - 1, gap_frames * 1000.0 / kRate,
                    (to - from) * 1000.0 / kRate);
      ::testing::Test::RecordProperty(std::string(o.name) + " " + p.what + " gap_ms",
                                      std::to_string(gap_frames * 1000.0 / kRate));
      EXPECT_LT(gap_frames, (to - from) / 10) << "more than a tenth of the tone lost";
      ASSERT_FALSE(stretches.empty());
      ASSERT_GT(stretches[0].to - stretches[0].from, kRate / 10)
          << "not a tenth of a second without a gap";
      std::vector<double> steady;
      std::vector<int16_t> left;
      int16_t peak = 0;
      for (long f = stretches[0].from; f < stretches[0].to; f++) {
        steady.push_back(lr[2 * f]);
        left.push_back(lr[2 * f]);
        peak = std::max<int16_t>(peak, static_cast<int16_t>(std::abs(lr[2 * f])));
      }
      std::vector<double> expect_hz;
      for (int n : p.notes) expect_hz.push_back(note_hz(n));
      if (p.notes.size() == 1) {
        const double f = tone::measure_frequency(left.data(), left.size(), kRate);
        EXPECT_NEAR(cents_off(f, expect_hz[0]), 0.0, 1.0) << f << " Hz";
        // One voice through a one-input mixer at full level.
        EXPECT_NEAR(peak, 10000, 50);
      }
      const std::vector<double> lines = strongest_lines(steady, static_cast<int>(p.notes.size()));
      ASSERT_EQ(lines.size(), p.notes.size());
      for (size_t i = 0; i < lines.size(); i++)
        EXPECT_NEAR(cents_off(lines[i], expect_hz[i]), 0.0, 1.0)
            << lines[i] << " Hz for note " << p.notes[i];
      EXPECT_LT(unexplained_energy(steady, expect_hz), 0.01) << "not a clean tone or chord";

      // After the release the voice falls silent: below one step of a sample.
      const long silent_from = frame_at(p.up) + static_cast<long>(
          (e2e::kReleaseToSilenceSeconds + 0.1) * kRate);
      EXPECT_EQ(first_sound(lr, silent_from, next, 1), -1) << "still sounding after the release";
      quiet_from = silent_from;
    }
    e2e::remove_dir(dir);
  }
}

}  // namespace
