// Everything at once: the live synth plays the bundled patch through the sound
// server while, at seeded random moments, window keys go down and up, JACK MIDI
// notes and pedal messages arrive, the patch file is rewritten with good and
// faulty patches, and the sound server is killed and started again.
// TEV_CHAOS_SECONDS sets the length (default 15), TEV_CHAOS_SEED the seed.
#include <RtMidi.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <random>

#include "tests/e2e/synth_harness.h"
#include "tests/support/tone.h"

namespace {

using namespace e2e;
using namespace std::chrono_literals;

int count_of(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
  return n;
}

TEST_F(Synth, ChaosOfKeysMidiReloadsAndOutages) {
  const char* env = std::getenv("TEV_CHAOS_SECONDS");
  const double seconds = env ? std::atof(env) : 15;
  const char* seed_env = std::getenv("TEV_CHAOS_SEED");
  std::mt19937 rng(seed_env ? std::atoi(seed_env) : 1);
  auto uniform = [&](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); };
  std::string why;

  // A JACK server of our own name (dummy driver) and a MIDI port there before the synth.
  const std::string server = "tev-chaos-" + std::to_string(getpid());
  setenv("JACK_DEFAULT_SERVER", server.c_str(), 1);
  Child jackd({"jackd", "--no-realtime", "-n", server, "-d", "dummy", "-r", "44100", "-p", "256"}, {});
  bool jack_up = false;
  for (int i = 0; i < 100 && !jack_up; i++, std::this_thread::sleep_for(100ms)) jack_up = run({"jack_lsp"}, 5) == 0;
  ASSERT_TRUE(jack_up) << jackd.output();
  RtMidiOut midi(RtMidi::UNIX_JACK, "tev-chaos");
  midi.openVirtualPort("keys");

  // The bundled patch and its samples; faulty versions name line 108, past its end.
  const std::string patches = TEV_E2E_DATA "/../../patches/";
  for (const char* f : {"kick.wav", "hat.wav"})
    std::filesystem::copy_file(patches + f, dir_ + "/" + f);
  const std::string good = slurp(patches + "SYNTH_2.TSY");
  std::string saw = good;
  for (size_t p = 0; (p = saw.find("*TYPE=1;", p)) != std::string::npos; p++) saw[p + 6] = '2';
  const std::vector<std::string> goods = {good, saw};
  const std::vector<std::string> faulty = {good + "MIXER_X;VCO_NONE:IN1;\n", saw + "VCA_X;*ATTACK=;\n"};
  write_file(dir_ + "/live.tsy", good);

  std::vector<std::unique_ptr<Recorder>> recordings;
  recordings.emplace_back(new Recorder);
  ASSERT_TRUE(recordings.back()->start(&why)) << why;
  launch('2', "live.tsy");
  Child& synth = *synth_;
  ASSERT_TRUE(synth.wait_for_output("connected from tev-chaos:keys\n", 15)) << synth.output();

  const char* names[] = {"z", "x", "c", "v", "b", "n", "a", "s", "d", "f", "g", "h",
                         "q", "w", "e", "r", "t", "y", "Return"};
  std::vector<std::string> held;
  int keys = 0, notes = 0, pedals = 0, reloads = 0, refused = 0, outages = 0;
  double outage_seconds = 0;
  long outage_ticks = 0, warm_kb = -1;
  std::vector<std::pair<Clock::time_point, Clock::time_point>> fades;  // write to reload, plus 100 ms
  // The first reload, refusal and outage come early, so that every run has them
  // and memory is measured from after them.
  const Clock::time_point end =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  for (int step = 0; Clock::now() < end; step++) {
    const double pick = step == 4 ? 0.80 : step == 8 ? 0.86 : step == 12 ? 0.99 : uniform(0, 1);
    if (pick < 0.45) {
      // A window key: one held goes up, or another goes down.
      if (!held.empty() && (held.size() > 3 || uniform(0, 1) < 0.5)) {
        const size_t i = rng() % held.size();
        key(held[i], false);
        held.erase(held.begin() + static_cast<long>(i));
      } else {
        held.push_back(names[rng() % 19]);
        key(held.back(), true);
      }
      keys++;
    } else if (pick < 0.78) {
      // A MIDI note on or off on channels 1 to 4, or a pedal change.
      const unsigned char ch = static_cast<unsigned char>(rng() % 4);
      std::vector<unsigned char> m;
      if (uniform(0, 1) < 0.25) {
        m = {static_cast<unsigned char>(0xB0 | ch), 64, static_cast<unsigned char>(rng() % 2 ? 127 : 0)};
        pedals++;
      } else {
        m = {static_cast<unsigned char>((rng() % 2 ? 0x90 : 0x80) | ch),
             static_cast<unsigned char>(60 + rng() % 24), 100};
        notes++;
      }
      midi.sendMessage(&m);
    } else if (pick < 0.92) {
      // A save: good ones reload, faulty ones are refused naming their line.
      const bool ok = pick < 0.84;
      const Clock::time_point written = Clock::now();
      write_file(dir_ + "/live.tsy", ok ? goods[rng() % goods.size()] : faulty[rng() % faulty.size()]);
      if (ok) {
        ASSERT_TRUE(synth.wait_for_output("patch reloaded (", 3, ++reloads)) << synth.output();
        fades.push_back({written, Clock::now() + 100ms});
      } else {
        ASSERT_TRUE(synth.wait_for_output("patch not reloaded: 1 problems", 3, ++refused)) << synth.output();
        EXPECT_EQ(count_of(synth.output(), "live.tsy:108: "), refused) << synth.output();
      }
    } else if (pick >= 0.98) {
      // The sound server dies for 1 to 2 s; the synth idles meanwhile.
      recordings.back()->stop();
      kill_pulse();
      const Clock::time_point lost = Clock::now();
      const long ticks = cpu_ticks(synth.pid());
      std::this_thread::sleep_for(std::chrono::duration<double>(uniform(1.0, 2.0)));
      outage_ticks += cpu_ticks(synth.pid()) - ticks;
      outage_seconds += std::chrono::duration<double>(Clock::now() - lost).count();
      ASSERT_TRUE(restart_pulse(&why)) << why;
      recordings.emplace_back(new Recorder);
      ASSERT_TRUE(recordings.back()->start(&why)) << why;
      ASSERT_TRUE(synth.wait_for_output("sound output restored after ", 3, ++outages)) << synth.output();
      if (warm_kb < 0 && reloads > 0) warm_kb = resident_kb(synth.pid());
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(uniform(0.02, 0.15)));
    ASSERT_EQ(kill(synth.pid(), 0), 0) << "the synth died:\n" << synth.output();
  }
  const long end_kb = resident_kb(synth.pid());
  for (const std::string& k : held) key(k, false);
  for (unsigned char ch = 0; ch < 4; ch++) {
    std::vector<unsigned char> off = {static_cast<unsigned char>(0xB0 | ch), 123, 0};
    midi.sendMessage(&off);
  }
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(quit_with_escape(), 0) << synth.output();
  recordings.back()->stop();
  midi.closePort();
  int status;
  jackd.kill_now(SIGTERM);
  jackd.wait_exit(5, &status);
  unsetenv("JACK_DEFAULT_SERVER");

  const std::string out = synth.output();
  EXPECT_EQ(count_of(out, "sound output lost: "), outages) << out;
  EXPECT_EQ(count_of(out, "sound output restored after "), outages) << out;
  EXPECT_EQ(count_of(out, "patch reloaded ("), reloads);
  EXPECT_EQ(count_of(out, "patch not reloaded: "), refused);
  // Sound stopping dead (loud, then exact zeros for 8 frames or more; a tone is
  // zero for a frame or two at its crossings), outside the crossfades and away
  // from the underruns the server reported.
  int gaps = 0, underrun_gaps = 0;
  double rms = 0;
  for (auto& rec : recordings) {
    const std::vector<int16_t> s = rec->samples();
    rms = std::max(rms, tone::rms(s.data(), s.size()));
    long run = 0;
    for (long f = 1, loud = 0; f < static_cast<long>(s.size() / 2); f++) {
      if (s[2 * f] == 0 && (run++ == 0 ? loud = std::abs(s[2 * f - 2]) : loud) > 100) continue;
      if (loud > 100 && run >= 8) {
        const Clock::time_point t = rec->time_of_frame(f - run);
        bool fading = false;
        for (const auto& w : fades) fading |= t > w.first && t < w.second;
        if (underrun_near(*rec, f - run, f)) {
          underrun_gaps++;
        } else if (!fading) {
          gaps++;
          ADD_FAILURE() << "the sound stopped dead for " << run << " frames";
        }
      }
      run = loud = 0;
    }
  }
  EXPECT_GT(rms, 300) << "the synth was heard";
  const double share = outage_seconds > 0 ? outage_ticks / (outage_seconds * sysconf(_SC_CLK_TCK)) : 0;
  std::printf("chaos %.0f s: %d key events, %d MIDI notes, %d pedal changes, %d reloads, %d refused, "
              "%d outages (%.1f s, CPU %.2f %%), resident %ld kB after warm-up, %ld kB at the end, "
              "%d gaps, %d silent runs at reported underruns\n",
              seconds, keys, notes, pedals, reloads, refused, outages, outage_seconds, 100 * share, warm_kb,
              end_kb, gaps, underrun_gaps);
  EXPECT_LT(share, 0.02);
  if (warm_kb > 0) {
    EXPECT_LT(end_kb - warm_kb, 1024) << "memory grows";
  }
}

}  // namespace
