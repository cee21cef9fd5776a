// Everything at once, at seeded random moments (TEV_CHAOS_SEED): the live synth
// plays the bundled patch through the sound server while window keys go down and
// up, JACK MIDI notes and pedal changes arrive, the patch is saved good or faulty,
// and the sound server dies for a second or two; the synth records a take of what
// it plays, to tell its own silences from the server's. TEV_CHAOS_SECONDS (default 15).
#include <RtMidi.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>

#include "tests/e2e/synth_harness.h"
#include "tests/support/tone.h"

namespace {

using namespace e2e;
using namespace std::chrono_literals;

TEST_F(Synth, ChaosOfKeysMidiSavesAndOutages) {
  const double seconds = std::getenv("TEV_CHAOS_SECONDS") ? std::atof(std::getenv("TEV_CHAOS_SECONDS")) : 15;
  std::mt19937 rng(std::getenv("TEV_CHAOS_SEED") ? std::atoi(std::getenv("TEV_CHAOS_SEED")) : 1);
  auto uniform = [&](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); };
  const std::string patches = TEV_E2E_DATA "/../../patches/";
  std::string why;
  ASSERT_TRUE(start_jackd(kRate, &why)) << why;
  RtMidiOut midi(RtMidi::UNIX_JACK, "tev-chaos");
  midi.openVirtualPort("keys");
  for (const char* f : {"kick.wav", "hat.wav"}) std::filesystem::copy_file(patches + f, dir_ + "/" + f);
  // Good saves: the bundled patch, its sines as saws. Faulty ones name line 108.
  std::string saw = slurp(patches + "SYNTH_2.TSY");
  const std::string good = saw;
  for (size_t p = 0; (p = saw.find("*TYPE=1;", p)) != std::string::npos; p++) saw[p + 6] = '2';
  const std::string saves[] = {good, saw, good + "MIXER_X;VCO_NONE:IN1;\n", saw + "VCA_X;*ATTACK=;\n"};
  write_file(dir_ + "/live.tsy", good);
  std::vector<std::unique_ptr<Recorder>> recordings(1);  // one per sound server
  ASSERT_TRUE((recordings[0] = std::make_unique<Recorder>())->start(&why)) << why;
  launch('2', "live.tsy", false, {}, "", {"--record", "take.wav"});
  Child& synth = *synth_;
  ASSERT_TRUE(synth.wait_for_output("connected from tev-chaos:keys\n", 15)) << synth.output();

  std::vector<std::string> held;
  int keys = 0, midi_messages = 0, reloads = 0, refused = 0, outages = 0;
  double outage_seconds = 0;
  long outage_ticks = 0, warm_kb = -1;
  std::vector<std::pair<Clock::time_point, Clock::time_point>> fades;  // a save until 100 ms past its reload
  const Clock::time_point start = Clock::now();
  const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  // Steps 4, 8 and 12 are a good save, a faulty one and an outage in every run;
  // memory is measured from after them.
  for (int step = 0; Clock::now() < end; step++) {
    const double pick = step == 4 ? 0.8 : step == 8 ? 0.86 : step == 12 ? 0.99 : uniform(0, 1);
    if (pick < 0.45) {
      if (!held.empty() && (held.size() > 3 || rng() % 2)) {
        key(held.back(), false);
        held.pop_back();
      } else {
        const size_t k = rng() % 19;
        held.push_back(k < 18 ? std::string(1, "zxcvbnasdfghqwerty"[k]) : "Return");
        key(held.back(), true);
      }
      keys++;
    } else if (pick < 0.78) {
      // Note on or off, or the pedal, on channels 1 to 4 (4 plays nothing).
      const auto ch = static_cast<unsigned char>(rng() % 4);
      std::vector<unsigned char> m = {static_cast<unsigned char>((rng() % 2 ? 0x90 : 0x80) | ch),
                                      static_cast<unsigned char>(60 + rng() % 24), 100};
      if (rng() % 4 == 0) m = {static_cast<unsigned char>(0xB0 | ch), 64, static_cast<unsigned char>(rng() % 128)};
      midi.sendMessage(&m);
      midi_messages++;
    } else if (pick < 0.92) {
      const bool ok = pick < 0.84;
      const Clock::time_point saved = Clock::now();
      write_file(dir_ + "/live.tsy", saves[rng() % 2 + (ok ? 0 : 2)]);
      ASSERT_TRUE(synth.wait_for_output(ok ? "patch reloaded (" : "patch not reloaded: 1 problem", 3,
                                        ok ? ++reloads : ++refused)) << synth.output();
      fades.push_back({saved, Clock::now() + 100ms});
      EXPECT_EQ(synth.count("live.tsy:108: "), refused) << synth.output();
    } else if (pick >= 0.98) {
      recordings.back()->stop();
      kill_pulse();
      const Clock::time_point lost = Clock::now();
      const long ticks = cpu_ticks(synth.pid());
      std::this_thread::sleep_for(std::chrono::duration<double>(uniform(1, 2)));
      outage_ticks += cpu_ticks(synth.pid()) - ticks;
      outage_seconds += std::chrono::duration<double>(Clock::now() - lost).count();
      ASSERT_TRUE(restart_pulse(&why)) << why;
      recordings.push_back(std::make_unique<Recorder>());
      ASSERT_TRUE(recordings.back()->start(&why)) << why;
      ASSERT_TRUE(synth.wait_for_output("sound output restored after ", 3, ++outages)) << synth.output();
      if (warm_kb < 0) warm_kb = resident_kb(synth.pid());
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(uniform(0.02, 0.15)));
    ASSERT_EQ(kill(synth.pid(), 0), 0) << "the synth died:\n" << synth.output();
  }
  const long end_kb = resident_kb(synth.pid());
  EXPECT_EQ(quit_with_escape(), 0) << synth.output();
  recordings.back()->stop();
  midi.closePort();

  EXPECT_EQ(synth.count("sound output lost: "), outages) << synth.output();
  EXPECT_EQ(synth.count("sound output restored after "), outages) << synth.output();
  EXPECT_EQ(synth.count("patch reloaded ("), reloads);
  EXPECT_EQ(synth.count("patch not reloaded: "), refused);
  // Sound stopping dead (loud, then exact zeros for 8 frames or more: a tone is zero
  // for a frame or two at its crossings), away from crossfades. The take, found by
  // the frames before the stop, says whose it is: the synth's when it holds the same
  // zeros, else the sound server's, which played silence where the stream ran dry
  // (the take goes on where the recording comes back) or lost frames (further on).
  // A recording is looked for from where its sound begins in the take: the first
  // one's start, then each outage's "lost at frame" (the take keeps no frame of an
  // outage). The bundled patch's kick alone repeats exactly, a stretch of keys and
  // bass does not: 1024 frames, else 64 (the server's silence may be nearer).
  const std::vector<int16_t> take = wav_samples(dir_ + "/take.wav");
  const std::string take_keys = slurp(dir_ + "/take.keys");
  std::vector<long> begins = {0};
  for (size_t at = 0; (at = take_keys.find("lost at frame ", at)) != std::string::npos; at++)
    begins.push_back(std::atol(take_keys.c_str() + at + 14));
  int gaps = 0, server_gaps = 0;
  double rms = 0;
  std::string where, servers;
  for (size_t r = 0; r < recordings.size(); r++) {
    Recorder& rec = *recordings[r];
    const std::vector<int16_t> s = rec.samples();
    const long n = static_cast<long>(s.size() / 2);
    long in_take = r < begins.size() ? begins[r] : 0;  // its stops come in the take's order from there
    rms = std::max(rms, tone::rms(s.data(), s.size()));
    for (long f = 1, run = 0, loud = 0; f < n; f++) {
      if (s[2 * f] == 0 && (run++ == 0 ? loud = std::abs(s[2 * f - 2]) : loud) > 100) continue;
      // An amplifier triggered again starts its envelope from zero: its voice drops
      // from loud to silence at once and comes back from +-1, while a lost stretch of
      // sound comes back where the tone is. SYNTH_2.TSY's pad does it on a key pressed
      // again alone: 12 zero frames after 504, then 1, 1, 1, 1, 2 (tev-render, keys a
      // then s 2 s later).
      const bool restarts = std::abs(s[2 * f]) <= 2 && std::abs(s[2 * std::min(f + 8, n - 1)]) <= 12;
      bool fading = loud <= 100 || run < 8 || restarts;  // not stopped dead: nothing to look at
      for (size_t i = 0; i < fades.size() && !fading; i++)
        fading = rec.time_of_frame(f) > fades[i].first && rec.time_of_frame(f - run) < fades[i].second;
      long at = -1;  // the take's frame where the zeros began
      for (long before : {std::min(1024L, f - run), std::min(64L, f - run)})
        if (!fading && at < 0 && (at = find_frames(take, in_take, s, f - run - before, before)) >= 0) at += before;
      bool synths = !fading;
      for (long i = 0; at >= 0 && i < run && synths; i++)
        synths = at + i < static_cast<long>(take.size() / 2) && take[2 * (at + i)] == 0;
      in_take = std::max(in_take, at);
      const std::string stop = std::to_string(run) + " frames at " +
          std::to_string(std::chrono::duration<double>(rec.time_of_frame(f) - start).count()) + " s (frame " +
          std::to_string(f) + " of " + std::to_string(n) + ", take frame " + std::to_string(at) + ")";
      if (synths && ++gaps)
        where += " " + stop + ";";
      else if (!fading && ++server_gaps)
        servers += "[ server ] " + stop +
                   (find_frames(take, at, s, f, std::min(64L, n - f)) == at ? ": inserted\n" : ": lost frames\n");
      run = loud = 0;
    }
  }
  const double share = outage_ticks / (outage_seconds * sysconf(_SC_CLK_TCK));
  std::printf("chaos %.0f s: %d key events, %d MIDI messages, %d reloads, %d refused, %d outages (%.1f s, "
              "CPU %.2f %%), resident %ld kB after warm-up, %ld kB at the end, gaps: %d the synth's, %d the server's\n%s",
              seconds, keys, midi_messages, reloads, refused, outages, outage_seconds, 100 * share, warm_kb,
              end_kb, gaps, server_gaps, servers.c_str());
  EXPECT_GT(rms, 300) << "the synth was heard";
  EXPECT_EQ(gaps, 0) << "the sound stopped dead:" << where;
  EXPECT_LT(share, 0.02) << "CPU while the output is gone";
  EXPECT_LT(end_kb - warm_kb, 1024) << "memory grows";
}

}  // namespace
