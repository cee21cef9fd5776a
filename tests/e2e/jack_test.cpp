// JACK output: the real tev-synth on a JACK server (dummy driver) of the fixture's,
// listed beside the sound server's devices, heard by a JACK recorder of its own
// (jack_capture) at 44100 Hz, then at 48000 Hz once the server has gone and a new
// one has come.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <signal.h>

#include "tests/e2e/synth_harness.h"
#include "tests/support/tone.h"

namespace {

using namespace e2e;
using namespace std::chrono_literals;

TEST_F(Synth, JackPlaysAtTheServersRateAndComesBackWithIt) {
  std::string why;
  JackServer jackd;
  ASSERT_TRUE(jackd.start(kRate, &why)) << why;
  launch('2', "voices.tsy", false, {}, "jack");
  Child& synth = *synth_;
  EXPECT_NE(synth.output().find(" - JACK\n---"), std::string::npos) << synth.output();
  const std::string ports =
      "JACK: ports tev-synth:out_1, tev-synth:out_2 connected to system:playback_1, system:playback_2";
  ASSERT_TRUE(synth.wait_for_output(ports + "\n", 10)) << synth.output();
  std::string lsp;
  EXPECT_EQ(run({"jack_lsp", "-c"}, 5, &lsp), 0);
  EXPECT_NE(lsp.find("tev-synth:out_1\n   system:playback_1\n"), std::string::npos) << lsp;
  EXPECT_NE(lsp.find("tev-synth:out_2\n   system:playback_2\n"), std::string::npos) << lsp;

  for (const int rate : {kRate, 48000}) {
    SCOPED_TRACE(rate);
    if (rate != kRate) {
      jackd.stop();
      EXPECT_TRUE(synth.wait_for_output("sound output lost: the JACK server is gone", 2)) << synth.output();
      // Waiting for the server must not spin.
      const long before = cpu_ticks(synth.pid());
      std::this_thread::sleep_for(2s);
      const double share = cpu_share(synth.pid(), before, 2.0);
      std::printf("[ JACK ] CPU over 2 s without a server: %.1f %%\n", 100 * share);
      EXPECT_LT(share, 0.02);
      ASSERT_TRUE(jackd.start(rate, &why)) << why;
      EXPECT_TRUE(synth.wait_for_output("sound output restored after ", 5)) << synth.output();
      EXPECT_TRUE(synth.wait_for_output(ports + ", resampled 44100 -> 48000 Hz\n", 1)) << synth.output();
    }
    // What reaches the first two playback ports, as 16-bit stereo, with the system
    // time of its first frame.
    const std::string wav = dir_ + "/cap" + std::to_string(rate) + ".wav";
    Child cap({"jack_capture", "--timestamp", "-b", "16", "-dc", "-ns", wav}, {});
    ASSERT_TRUE(cap.wait_for_output("Recording to", 5)) << cap.output();
    std::this_thread::sleep_for(300ms);
    const auto down = std::chrono::system_clock::now();
    ASSERT_TRUE(key("z", true));
    std::this_thread::sleep_for(500ms);
    ASSERT_TRUE(key("z", false));
    std::this_thread::sleep_for(300ms);
    int status;
    cap.kill_now(SIGINT);
    ASSERT_TRUE(cap.wait_exit(5, &status));
    const std::vector<int16_t> lr = wav_samples(wav);
    const long frames = static_cast<long>(lr.size() / 2);
    long onset = 0;
    while (onset < frames && std::abs(lr[2 * onset]) < 100) onset++;
    ASSERT_LT(onset + rate * 4 / 10, frames) << "the key was not heard";
    const double first = std::stod(slurp(wav + ".tme"));
    std::printf("[ JACK %d Hz, 256-frame periods ] key to sound: %.1f ms\n", rate,
                1000 * (first + double(onset) / rate - std::chrono::duration<double>(down.time_since_epoch()).count()));
    std::vector<int16_t> left;
    for (long f = onset + rate / 20; f < onset + rate * 4 / 10; f++) left.push_back(lr[2 * f]);
    const double hz = tone::measure_frequency(left.data(), left.size(), rate);
    EXPECT_NEAR(tone::cents(hz, 440.0), 0.0, 1.0) << hz << " Hz";
  }
  EXPECT_EQ(quit_with_escape(), 0) << synth.output();
}

}  // namespace
