// Takes: the real tev-synth recording what it plays (keys, and JACK MIDI notes
// with no key form) through the sound server, ended by SIGTERM with a key held.
// The take is matched against the sink's recording and against tev-render given
// the take's keys file.
#include <RtMidi.h>
#include <signal.h>

#include <gtest/gtest.h>

#include "tests/e2e/synth_harness.h"

namespace {

using namespace e2e;
using namespace std::chrono_literals;

TEST_F(Synth, TakeOfKeysAndMidiReplaysExactlyAndSurvivesSigterm) {
  std::string why;
  JackServer jackd;
  ASSERT_TRUE(jackd.start(kRate, &why)) << why;
  RtMidiOut midi(RtMidi::UNIX_JACK, "tev-test");
  midi.openVirtualPort("keys");
  // A quiet tone from the stream's first frame finds the take in the recording.
  write_file(dir_ + "/pilot.tsy", slurp(TEV_E2E_DATA "/pilot.tsy"));
  Recorder rec;
  ASSERT_TRUE(rec.start(&why)) << why;
  launch('2', "pilot.tsy", false, {}, "", {"--record", "take.wav"});
  ASSERT_TRUE(synth_->wait_for_output("connected from tev-test:keys\n", 15)) << synth_->output();
  std::this_thread::sleep_for(2200ms);  // an idle null sink starts in blocks of two seconds
  std::vector<unsigned char> on = {0x91, 62, 100}, off = {0x81, 62, 0};  // voice 1, index 51
  ASSERT_TRUE(key("z", true));
  std::this_thread::sleep_for(300ms);
  midi.sendMessage(&on);
  std::this_thread::sleep_for(300ms);
  ASSERT_TRUE(key("z", false));
  std::this_thread::sleep_for(200ms);
  midi.sendMessage(&off);
  ASSERT_TRUE(key("q", true));
  std::this_thread::sleep_for(400ms);
  synth_->kill_now(SIGTERM);
  int status = 0;
  ASSERT_TRUE(synth_->wait_exit(5, &status)) << synth_->output();
  EXPECT_EQ(exit_code(status), 143);
  rec.stop();
  key("q", false);

  bool whole = false;
  const std::vector<int16_t> take = wav_samples(dir_ + "/take.wav", &whole), s = rec.samples();
  EXPECT_TRUE(whole) << "the WAV's header does not match its data";
  const std::string keys = slurp(dir_ + "/take.keys");
  EXPECT_NE(synth_->output().find("Take: take.wav, " + std::to_string(take.size() / 2) + " frames"),
            std::string::npos) << synth_->output();
  for (const char* ev : {":down:z\n", ":on:1:51\n", ":up:z\n", ":off:1\n", ":down:q\n"})
    EXPECT_NE(keys.find(ev), std::string::npos) << ev << " missing from\n" << keys;
  EXPECT_EQ(keys.find("not replayable"), std::string::npos) << keys;

  // The sink's recording over the played span (the frames still in the server's
  // buffer at the end were never played).
  const long n = static_cast<long>(take.size() / 2), played = n - kRate / 10;
  ASSERT_GT(played, 3 * kRate) << "too short a take";
  auto matches = [&](long at, long frames) {
    for (long f = 0; f < frames; f++)
      if (at + f >= static_cast<long>(s.size() / 2) || s[2 * (at + f)] != take[2 * f] ||
          s[2 * (at + f) + 1] != take[2 * f + 1])
        return false;
    return true;
  };
  long at0 = -1;
  for (long o = 0; o + kRate < static_cast<long>(s.size() / 2) && at0 < 0; o++)
    if (matches(o, kRate)) at0 = o;
  ASSERT_GE(at0, 0) << "the take's first second is not in the recording";
  EXPECT_TRUE(matches(at0, played)) << "the take differs from what the sink played";

  // Played again from its keys file: sample for sample.
  ASSERT_EQ(run({"sh", "-c", "cd " + dir_ + " && " TEV_RENDER_BIN " --quiet $(cat take.keys) pilot.tsy out.wav"},
                60), 0);
  EXPECT_TRUE(wav_samples(dir_ + "/out.wav") == take) << keys;
}

}  // namespace
