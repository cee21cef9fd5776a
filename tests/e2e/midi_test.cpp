// Live MIDI: the real tev-synth under the private X and PulseAudio servers and a
// private JACK server (dummy driver) started here. A JACK MIDI port of this test,
// there before the synth starts, is connected by the synth itself and plays it.
#include <RtMidi.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/e2e/synth_harness.h"
#include "tests/support/tone.h"

namespace {

using namespace e2e;
using Msg = std::vector<unsigned char>;

void sleep_s(double s) { std::this_thread::sleep_for(std::chrono::duration<double>(s)); }

// MIDI 69 (440 Hz) on channel 1 goes down after `first`; `middle` follows 0.2 s
// later and `last`, which must end the sound, 0.5 s after the note-on.
struct Phrase {
  const char* what;
  std::vector<Msg> first, middle, last;
  Clock::time_point down, up;
};

TEST_F(Synth, MidiJackNotesPlayTheirVoice) {
  std::string why;
  ASSERT_TRUE(start_jackd(kRate, &why)) << why;

  RtMidiOut out(RtMidi::UNIX_JACK, "tev-test");
  out.openVirtualPort("keys");
  Recorder rec;
  ASSERT_TRUE(rec.start(&why)) << why;
  const Clock::time_point rec_started = Clock::now();
  launch('2');
  Child& synth = *synth_;
  ASSERT_TRUE(synth.wait_for_output(
      "MIDI: JACK, port tev-synth:midi_in, connected from tev-test:keys\n", 15))
      << synth.output();
  std::this_thread::sleep_until(rec_started + std::chrono::milliseconds(2200));

  const Msg on = {0x90, 69, 100}, off = {0x80, 69, 0};
  std::vector<Phrase> phrases = {
      {"note-on, note-off", {on}, {}, {off}, {}, {}},
      {"note-off of a note not playing", {on}, {{0x80, 71, 0}}, {off}, {}, {}},
      {"sustain pedal", {{0xB0, 64, 127}, on}, {off}, {{0xB0, 64, 0}}, {}, {}},
  };
  for (Phrase& p : phrases) {
    for (Msg m : p.first) out.sendMessage(&m);
    p.down = Clock::now();
    sleep_s(0.2);
    for (Msg m : p.middle) out.sendMessage(&m);
    std::this_thread::sleep_until(p.down + std::chrono::milliseconds(500));
    for (Msg m : p.last) out.sendMessage(&m);
    p.up = Clock::now();
    sleep_s(0.45);  // past the release, into silence
  }
  synth.kill_now(SIGTERM);
  int status = 0;
  EXPECT_TRUE(synth.wait_exit(5, &status)) << "the port kept it from ending";
  rec.stop();
  out.closePort();
  stop_jackd();

  const std::vector<int16_t> lr = rec.samples();
  const long frames = static_cast<long>(lr.size() / 2);
  for (size_t k = 0; k < phrases.size(); k++) {
    const Phrase& p = phrases[k];
    SCOPED_TRACE(p.what);
    const long down = rec.frame_at(p.down);
    const long next = k + 1 < phrases.size() ? rec.frame_at(phrases[k + 1].down) : frames;
    // Frames from `down` on at least `level` loud: the first, the last.
    long onset = -1, loud_from = -1, loud_to = -1;
    for (long f = down; f < next; f++) {
      const int v = std::abs(lr[2 * f]);
      if (v >= 1 && onset < 0) onset = f;
      if (v >= 1000) loud_to = f, loud_from = loud_from < 0 ? f : loud_from;
    }
    ASSERT_GE(onset, 0) << "nothing heard";
    const double delay_ms =
        std::chrono::duration<double, std::milli>(rec.time_of_frame(onset) - p.down).count();
    std::printf("[ JACK MIDI ] %s: MIDI to sound %.1f ms\n", p.what, delay_ms);
    EXPECT_LT(delay_ms, 80.0);
    // Loud for the hold plus the release down to a tenth of full level.
    const double held = std::chrono::duration<double>(p.up - p.down).count();
    EXPECT_NEAR(static_cast<double>(loud_to - loud_from) / kRate,
                held + kReleaseToTenthSeconds, 0.04);
    const std::vector<int16_t> steady = tevtest::left(lr, loud_from + kRate / 20, loud_from + kRate * 4 / 10);
    const double hz = tone::measure_frequency(steady.data(), steady.size(), kRate);
    EXPECT_NEAR(tone::cents(hz, 440.0), 0.0, 1.0) << hz << " Hz";
  }
}

}  // namespace
