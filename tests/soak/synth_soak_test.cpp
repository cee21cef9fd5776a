// Soak test of the live synth: the bundled patch played for a minute through its
// window while random keys of all three voices (and Return) are pressed and released
// at random intervals down to 5 ms, overlapping, with the PulseAudio null sink
// recorded. The synth must still run at the end, end with status 0 on Escape, play
// without a gap, and hold its memory flat after its first second.
//
// TEV_SOAK_SECONDS (default 60) and TEV_SOAK_SEED (default: from the clock, printed)
// replay a run.
#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/synth_harness.h"
#include "tests/support/pulse_env.h"

namespace {

using e2e::Clock;
using e2e::kRate;

// VmRSS of a process in kB; -1 once it is gone.
long rss_kb(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

// Left channel of a 16-bit stereo WAV file written by tev-render.
std::vector<int16_t> wav_left(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  std::vector<int16_t> left;
  for (size_t i = 12; i + 8 <= bytes.size();) {
    uint32_t size;
    std::memcpy(&size, &bytes[i + 4], 4);
    if (std::string(&bytes[i], 4) == "data") {
      const size_t end = std::min(bytes.size(), i + 8 + static_cast<size_t>(size));
      for (size_t j = i + 8; j + 4 <= end; j += 4) {
        int16_t s;
        std::memcpy(&s, &bytes[j], 2);
        left.push_back(s);
      }
      break;
    }
    i += 8 + size + (size & 1);
  }
  return left;
}

struct ZeroRun {
  long from, to;  // zero frames [from, to)
};

std::vector<ZeroRun> zero_runs(const std::vector<int16_t>& x, long from, long to, long min_len) {
  std::vector<ZeroRun> runs;
  long start = -1;
  for (long i = from; i <= to; i++) {
    const bool zero = i < to && x[i] == 0;
    if (zero && start < 0) start = i;
    if (!zero && start >= 0) {
      if (i - start >= min_len) runs.push_back({start, i});
      start = -1;
    }
  }
  return runs;
}

long first_nonzero(const std::vector<int16_t>& x) {
  for (size_t i = 0; i < x.size(); i++)
    if (x[i] != 0) return static_cast<long>(i);
  return -1;
}

long last_nonzero(const std::vector<int16_t>& x) {
  for (long i = static_cast<long>(x.size()) - 1; i >= 0; i--)
    if (x[i] != 0) return i;
  return -1;
}

const char* const kKeys[] = {"z", "x", "c", "v", "b", "n", "a", "s", "d", "f",
                             "g", "h", "q", "w", "e", "r", "t", "y", "Return"};

TEST(SynthSoak, RandomKeysForAMinuteWithoutGapCrashOrGrowth) {
  const double seconds = std::getenv("TEV_SOAK_SECONDS") ? std::atof(std::getenv("TEV_SOAK_SECONDS")) : 60.0;
  const unsigned seed = std::getenv("TEV_SOAK_SEED")
                            ? static_cast<unsigned>(std::atol(std::getenv("TEV_SOAK_SEED")))
                            : static_cast<unsigned>(Clock::now().time_since_epoch().count());
  std::printf("soak: %.0f s, seed %u\n", seconds, seed);
  std::mt19937 rng(seed);

  e2e::XServer x;
  std::string why;
  ASSERT_TRUE(x.start(&why)) << why;
  tev_test::PulseEnv pulse;
  ASSERT_TRUE(pulse.start(&why)) << why;

  // The patch on its own, rendered offline: where it is silent by itself. Keys only
  // add voices, so every silence of the live recording must fall inside one of these.
  const std::string dir = e2e::make_temp_dir();
  const std::string ref_path = dir + "/reference.wav";
  std::string out;
  // Rendered in the patch's folder, where its sampler finds kick.wav.
  ASSERT_EQ(e2e::run({"sh", "-c",
                      "cd '" TEV_PATCH_DIR "' && exec '" TEV_RENDER_BIN "' --quiet --seconds " +
                          std::to_string(seconds + 30) + " SYNTH_2.TSY '" + ref_path + "'"},
                     120, &out),
            0)
      << out;
  const std::vector<int16_t> ref = wav_left(ref_path);
  ASSERT_GT(ref.size(), static_cast<size_t>((seconds + 20) * kRate));

  // An idle null sink renders in blocks of two seconds: record well before playing.
  e2e::Recorder rec;
  ASSERT_TRUE(rec.start(&why)) << why;
  const Clock::time_point rec_started = Clock::now();
  e2e::Child synth({TEV_SYNTH_BIN, "SYNTH_2.TSY"},
                   {TEV_PATCH_DIR, {}, {{"TEV_SOUND_STATS", "1"}}, false});
  ASSERT_TRUE(e2e::answer_prompts(synth, '2', &why)) << why;
  const std::string window = e2e::find_window("^SYNTH_2\\.TSY$", 15);
  ASSERT_FALSE(window.empty()) << synth.output();
  ASSERT_TRUE(synth.wait_for_output("modifier les trucs", 15)) << synth.output();
  ASSERT_EQ(e2e::run({"xdotool", "windowfocus", window}, 10), 0);
  std::this_thread::sleep_until(std::max(rec_started + std::chrono::milliseconds(2200),
                                         Clock::now() + std::chrono::seconds(1)));
  // Memory after the first second of play: the loader's and the sound layer's
  // allocations are all made by then.
  const long rss_first = rss_kb(synth.pid());
  ASSERT_GT(rss_first, 0);
  long rss_max = rss_first;

  e2e::Keyboard keyboard;
  ASSERT_TRUE(keyboard.open(&why)) << why;
  std::vector<std::string> held;
  long presses = 0, overlaps = 0;
  // Intervals spread evenly on a log scale from 5 ms to 250 ms.
  std::uniform_real_distribution<double> log_gap(std::log(0.005), std::log(0.25));
  std::uniform_real_distribution<double> coin(0.0, 1.0);
  const Clock::time_point end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                   std::chrono::duration<double>(seconds));
  Clock::time_point next_rss = Clock::now();
  while (Clock::now() < end) {
    const bool release = !held.empty() && (held.size() >= 4 || coin(rng) < 0.45);
    if (release) {
      const size_t k = std::uniform_int_distribution<size_t>(0, held.size() - 1)(rng);
      ASSERT_TRUE(keyboard.release({held[k]}));
      held.erase(held.begin() + static_cast<long>(k));
    } else {
      std::string key;
      do key = kKeys[std::uniform_int_distribution<size_t>(0, std::size(kKeys) - 1)(rng)];
      while (std::find(held.begin(), held.end(), key) != held.end());
      ASSERT_TRUE(keyboard.press({key}));
      held.push_back(key);
      presses++;
      if (held.size() > 1) overlaps++;
    }
    if (Clock::now() >= next_rss) {
      const long r = rss_kb(synth.pid());
      ASSERT_GT(r, 0) << "the synth ended during the run:\n" << synth.output();
      rss_max = std::max(rss_max, r);
      next_rss += std::chrono::milliseconds(250);
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(std::exp(log_gap(rng))));
  }
  for (const std::string& k : held) ASSERT_TRUE(keyboard.release({k}));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  rss_max = std::max(rss_max, rss_kb(synth.pid()));

  int status = 0;
  ASSERT_FALSE(synth.wait_exit(0.05, &status)) << "the synth ended during the run:\n"
                                               << synth.output();
  ASSERT_EQ(e2e::run({"xdotool", "key", "Escape"}, 10), 0);
  ASSERT_TRUE(synth.wait_exit(10, &status)) << "still running after Escape";
  rec.stop();
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0) << synth.output();

  std::printf("soak: %ld presses, %ld while another key was held\n", presses, overlaps);
  std::printf("soak: VmRSS %ld kB after the first second, at most %ld kB later\n", rss_first,
              rss_max);
  // A page or two of noise from the window system's client buffers is tolerated;
  // anything that grows with key events or time is not.
  EXPECT_LE(rss_max - rss_first, 256) << "memory grew during the run";

  const std::string text = synth.output();
  const size_t u = text.find("Underruns: ");
  ASSERT_NE(u, std::string::npos) << text;
  const long underruns = std::atol(text.c_str() + u + 11);
  std::printf("soak: %ld underruns reported by the output layer\n", underruns);
  EXPECT_EQ(underruns, 0);

  // The recording, from the synth's first sound to its last. Frame n of the synth's
  // stream is recorded frame n + offset, as long as nothing was lost or inserted.
  const std::vector<int16_t> lr = rec.samples();
  std::vector<int16_t> live(lr.size() / 2);
  long unequal = 0;
  for (size_t f = 0; f < live.size(); f++) {
    live[f] = lr[2 * f];
    unequal += lr[2 * f] != lr[2 * f + 1];
  }
  EXPECT_EQ(unequal, 0) << "frames whose left and right differ";
  const long live_from = first_nonzero(live), live_to = last_nonzero(live) + 1;
  const long ref_from = first_nonzero(ref);
  ASSERT_GE(live_from, 0) << "nothing recorded";
  ASSERT_GE(ref_from, 0);
  // The stream's frames from 0.5 s to 0.9 s come before any key (keys start a second
  // after the stream): they must be in the recording exactly as rendered, and where
  // they are fixes the offset. A glitch while the sound server starts the stream is
  // reported, not judged: the soak judges what follows.
  const long kFrom = ref_from + kRate / 2, kLen = kRate * 4 / 10;
  ASSERT_GT(static_cast<long>(ref.size()), kFrom + kLen);
  long offset = -1;
  for (long p = live_from; p < live_from + 2 * kRate && p + kLen <= live_to && offset < 0; p++)
    if (std::equal(ref.begin() + kFrom, ref.begin() + kFrom + kLen, live.begin() + p))
      offset = p - kFrom;
  ASSERT_GE(offset, 0) << "the stream's frames 0.5 s to 0.9 s are not in the recording as rendered";
  const bool head_intact =
      offset + ref_from == live_from &&
      std::equal(ref.begin() + ref_from, ref.begin() + kFrom, live.begin() + live_from);
  std::printf("soak: the stream's first half second %s\n",
              head_intact ? "recorded as rendered" : "NOT recorded as rendered (start-up glitch)");
  ::testing::Test::RecordProperty("start_up_intact", head_intact ? 1 : 0);
  std::printf("soak: %.1f s recorded from the first sound\n",
              static_cast<double>(live_to - live_from) / kRate);
  EXPECT_GT(live_to - live_from, static_cast<long>((seconds - 1) * kRate));

  // A gap: 32 or more zero frames (about 0.7 ms, shorter than any device period)
  // where the patch alone is not silent. The edges of a run may differ by a few
  // frames from the reference where a voice's last sample rounds to 0.
  constexpr long kMinGap = 32, kEdge = 8;
  long gaps = 0, longest_gap = 0, longest_zero = 0;
  for (const ZeroRun& r : zero_runs(live, offset + kFrom, live_to, kMinGap)) {
    longest_zero = std::max(longest_zero, r.to - r.from);
    bool explained = true;
    for (long f = r.from + kEdge; f < r.to - kEdge && explained; f++) {
      const long g = f - offset;
      explained = g >= 0 && g < static_cast<long>(ref.size()) && ref[g] == 0;
    }
    if (!explained) {
      gaps++;
      longest_gap = std::max(longest_gap, r.to - r.from);
      if (gaps <= 5)
        std::printf("soak: gap of %ld frames at %.3f s\n", r.to - r.from,
                    static_cast<double>(r.from - live_from) / kRate);
    }
  }
  long ref_longest = 0;
  for (const ZeroRun& r : zero_runs(ref, ref_from, static_cast<long>(ref.size()), 1))
    ref_longest = std::max(ref_longest, r.to - r.from);
  std::printf("soak: longest silence %ld frames (the patch alone: %ld); %ld gaps\n",
              longest_zero, ref_longest, gaps);
  // On a two-core machine shared with other jobs the sound server now and then
  // misses a period of a few milliseconds and plays silence (the output layer sees
  // no underrun then). Those are reported above and bounded: at most 1 % of the run
  // and none longer than 100 ms, which a stalled audio thread or a lost block
  // exceeds at once. TEV_SOAK_STRICT=1 fails on any gap.
  long gap_total = 0;
  for (const ZeroRun& r : zero_runs(live, offset + kFrom, live_to, kMinGap)) {
    bool explained = true;
    for (long f = r.from + kEdge; f < r.to - kEdge && explained; f++) {
      const long g = f - offset;
      explained = g >= 0 && g < static_cast<long>(ref.size()) && ref[g] == 0;
    }
    if (!explained) gap_total += r.to - r.from;
  }
  std::printf("soak: %ld frames of gaps in all (%.3f %% of the run)\n", gap_total,
              100.0 * gap_total / static_cast<double>(live_to - live_from));
  ::testing::Test::RecordProperty("gaps", static_cast<int>(gaps));
  ::testing::Test::RecordProperty("gap_frames", static_cast<int>(gap_total));
  if (std::getenv("TEV_SOAK_STRICT")) {
    EXPECT_EQ(gaps, 0) << "longest gap " << longest_gap;
  }
  EXPECT_LE(longest_gap, kRate / 10) << "a gap of " << longest_gap << " frames";
  EXPECT_LE(gap_total, (live_to - live_from) / 100) << gaps << " gaps";
  EXPECT_LE(longest_zero, ref_longest + 2 * kEdge);

  e2e::remove_dir(dir);
}

}  // namespace
