// JACK and takes: the real tev-synth on a JACK server of the fixture's. Its JACK
// output heard by a JACK recorder of its own (jack_capture) at 44100 Hz, then at
// 48000 Hz once the server has gone and a new one has come (its take says so); a take of keys and JACK
// MIDI notes through the sound server, ended by SIGTERM, against the sink's
// recording and against tev-render given the take's keys file.
#include <RtMidi.h>
#include <jack/jack.h>
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/e2e/synth_harness.h"
#include "tests/support/tone.h"

namespace {

using namespace e2e;
using namespace std::chrono_literals;

// When the first loud frame left tev-synth:out_1, on this process's clock: a JACK
// client of the test's own reads the port every period.
struct Tap {
  jack_client_t* client = jack_client_open("tev-tap", JackNoStartServer, nullptr);
  jack_port_t* in = jack_port_register(client, "in", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
  std::atomic<Clock::rep> loud_at{0};
  Tap() {
    jack_set_process_callback(client, [](jack_nframes_t n, void* arg) {
      auto* t = static_cast<Tap*>(arg);
      const float* x = static_cast<const float*>(jack_port_get_buffer(t->in, n));
      for (jack_nframes_t i = 0; i < n && !t->loud_at; i++)
        if (std::abs(x[i]) >= 100.0f / 32768) t->loud_at = Clock::now().time_since_epoch().count();
      return 0;
    }, this);
    if (in && jack_activate(client) == 0) jack_connect(client, "tev-synth:out_1", "tev-tap:in");
  }
  ~Tap() { jack_client_close(client); }
};

TEST_F(Synth, JackPlaysAtTheServersRateAndComesBackWithIt) {
  std::string why, lsp;
  ASSERT_TRUE(start_jackd(kRate, &why)) << why;
  launch('2', "voices.tsy", false, {}, "jack", {"--record", "take.wav"});
  Child& synth = *synth_;
  EXPECT_NE(synth.output().find(" - JACK\n---"), std::string::npos) << synth.output();
  const std::string ports =
      "JACK: ports tev-synth:out_1, tev-synth:out_2 connected to system:playback_1, system:playback_2";
  ASSERT_TRUE(synth.wait_for_output(ports + "\n", 10)) << synth.output();
  EXPECT_EQ(run({"jack_lsp", "-c"}, 5, &lsp), 0);
  EXPECT_NE(lsp.find("tev-synth:out_1\n   system:playback_1\ntev-synth:out_2\n   system:playback_2\n"),
            std::string::npos) << lsp;
  for (const int rate : {kRate, 48000}) {
    SCOPED_TRACE(rate);
    if (rate != kRate) {
      stop_jackd();
      EXPECT_TRUE(synth.wait_for_output("sound output lost: the JACK server is gone", 2)) << synth.output();
      std::this_thread::sleep_for(500ms);  // the dead clients closed: waiting must not spin
      const long before = cpu_ticks(synth.pid());
      std::this_thread::sleep_for(4s);  // clock ticks are 10 ms: 0.25 % steps
      const double share = cpu_share(synth.pid(), before, 4.0);
      std::printf("[ JACK ] CPU over 4 s without a server: %.1f %%\n", 100 * share);
      EXPECT_LT(share, 0.02);
      ASSERT_TRUE(start_jackd(rate, &why)) << why;
      EXPECT_TRUE(synth.wait_for_output("sound output restored after ", 10)) << synth.output();
      EXPECT_TRUE(synth.wait_for_output(ports + ", resampled 44100 -> 48000 Hz\n", 1)) << synth.output();
    }
    // What reaches the playback ports.
    const std::string wav = dir_ + "/cap" + std::to_string(rate) + ".wav";
    Child cap({"jack_capture", "-b", "16", "-dc", "-ns", wav}, {});
    ASSERT_TRUE(cap.wait_for_output("Recording to", 5)) << cap.output();
    Tap tap;
    std::this_thread::sleep_for(300ms);
    const Clock::time_point down = Clock::now();
    ASSERT_TRUE(key("z", true));
    std::this_thread::sleep_for(500ms);
    ASSERT_TRUE(key("z", false));
    std::this_thread::sleep_for(300ms);
    int status;
    cap.kill_now(SIGINT), cap.wait_exit(5, &status);
    const std::vector<int16_t> lr = wav_samples(wav);
    long onset = 0, frames = static_cast<long>(lr.size() / 2);
    while (onset < frames && std::abs(lr[2 * onset]) < 100) onset++;
    ASSERT_LT(onset + rate * 4 / 10, frames) << "the key was not heard";
    std::printf("[ JACK %d Hz, 256-frame periods ] key to sound at the synth's port: %.1f ms\n", rate,
                std::chrono::duration<double, std::milli>(Clock::duration(tap.loud_at) - down.time_since_epoch()).count());
    // The median of five 70 ms windows: a period the loaded dummy driver lost costs one.
    std::vector<double> hz;
    for (long w = onset + rate / 20, n = rate * 7 / 100; hz.size() < 5; w += n) {
      const std::vector<int16_t> left = tevtest::left(lr, w, w + n);
      hz.push_back(tone::measure_frequency(left.data(), left.size(), rate));
    }
    std::sort(hz.begin(), hz.end());
    EXPECT_NEAR(tone::cents(hz[2], 440.0), 0.0, 1.0) << hz[0] << " .. " << hz[4] << " Hz";
  }
  EXPECT_EQ(quit_with_escape(), 0) << synth.output();
  EXPECT_NE(slurp(dir_ + "/take.keys").find("\n# not replayable exactly: the output was lost at frame "),
            std::string::npos) << slurp(dir_ + "/take.keys");
}

TEST_F(Synth, TakeOfKeysAndMidiReplaysExactlyAndSurvivesSigterm) {
  std::string why;
  ASSERT_TRUE(start_jackd(kRate, &why)) << why;
  RtMidiOut midi(RtMidi::UNIX_JACK, "tev-test");
  midi.openVirtualPort("keys");
  Recorder rec;
  ASSERT_TRUE(rec.start(&why)) << why;
  launch('2', "pilot.tsy", false, {}, "", {"--record", "take.wav"});
  ASSERT_TRUE(synth_->wait_for_output("connected from tev-test:keys\n", 15)) << synth_->output();
  std::this_thread::sleep_for(2200ms);  // an idle null sink starts in blocks of two seconds
  std::vector<unsigned char> on = {0x91, 62, 100}, off = {0x81, 62, 0};  // voice 1, index 51
  key("z", true), std::this_thread::sleep_for(300ms);
  midi.sendMessage(&on), std::this_thread::sleep_for(300ms);
  key("z", false), std::this_thread::sleep_for(200ms);
  midi.sendMessage(&off), key("q", true), std::this_thread::sleep_for(400ms);
  synth_->kill_now(SIGTERM);  // a key held
  int status = 0;
  ASSERT_TRUE(synth_->wait_exit(5, &status)) << synth_->output();
  EXPECT_EQ(exit_code(status), 143);
  rec.stop(), key("q", false);

  bool whole = false;
  const std::vector<int16_t> take = wav_samples(dir_ + "/take.wav", &whole), s = rec.samples();
  EXPECT_TRUE(whole) << "the WAV's header does not match its data";
  const std::string keys = slurp(dir_ + "/take.keys");
  EXPECT_NE(synth_->output().find("Take: take.wav, " + std::to_string(take.size() / 2) + " frames"),
            std::string::npos) << synth_->output();
  for (const char* ev : {":down:z\n", ":on:1:51\n", ":up:z\n", ":off:1\n", ":down:q\n"})
    EXPECT_NE(keys.find(ev), std::string::npos) << ev << " missing from\n" << keys;
  EXPECT_EQ(keys.find("not replayable"), std::string::npos) << keys;
  // The sink's recording over the played span (what the server still held at the
  // end was never played), found by the take's first second (the pilot's tone).
  const long n = static_cast<long>(take.size() / 2), played = n - kRate / 10;
  ASSERT_GT(played, 2 * kRate) << "too short a take";
  const long at0 = find_frames(s, 0, take, 0, kRate);
  ASSERT_GE(at0, 0) << "the take's first second is not in the sink's recording";
  EXPECT_EQ(differs(s, at0, take, played), played) << "the take differs from what the sink played";
  ASSERT_EQ(run({"sh", "-c", "cd " + dir_ + " && " TEV_RENDER_BIN " --quiet $(cat take.keys) pilot.tsy out.wav"}, 60), 0);
  EXPECT_TRUE(wav_samples(dir_ + "/out.wav") == take) << keys;
}

}  // namespace
