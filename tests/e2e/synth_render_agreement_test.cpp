// The offline renderer and the live synth play the same sound for the same key
// timing. A performance on the real tev-synth is recorded from the sound server;
// the frames its key events landed on are read off the recording; tev-render,
// given those frames, must write the very same samples, and with them the same
// pitch, level and envelope.
//
// Every oscillator runs from the stream's first frame whether its key is down or
// not, so the phase a note starts with depends on how many frames the stream had
// played before the key, not on where the recording happened to start. The test
// patch therefore carries a pilot: an oscillator without a keyboard on an
// amplifier that is always open, a quiet 97 Hz tone from the stream's first frame
// on. A render of the pilot alone finds stream frame 0 in the recording to the
// frame; and since the pilot never rests, silence in the recording while the
// stream plays can only be a dropout of the sound server.
//
// Before its key, each voice's oscillator runs at its keyboard's first note,
// drawn from the C library's generator; both programs build the graph with the
// generator in its initial state, so those notes agree too.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/e2e/synth_harness.h"
#include "tests/support/pulse_env.h"
#include "tests/support/tone.h"

namespace {

using e2e::Clock;
using e2e::kRate;

// The pilot comes first: the graph's lists are newest first, and the keys play
// keyboard and amplifier 0, 1 and 2, which stay the z, a and q voices. Its
// amount 0.02 through a one-input mixer is 200 of the 10000 a voice plays at:
// 34 dB below the notes, and never quiet for more than a frame.
const std::string kPatch = std::string("#renderer_agreement\n"
                                        "VCO_P;*TYPE=1;*FREQ=97;*AMOUNT=0.02;\n"
                                        "MIXER_P;VCO_P:IN1;\n"
                                        "VCA_P;*BYPASS=1;MIXER_P:OUT;\n") +
                            e2e::kThreeVoicePatch;

// What is played: z long enough for a steady pitch, then a briefly on the next
// voice, four semitones up. Each rest lets the release fall below a sample step
// (9210 frames, 0.21 s) before anything else happens.
struct Key {
  const char* name;
  double hz;    // note 58 is 440 Hz; the a voice adds four semitones
  double hold;  // seconds
  double rest;  // seconds after the release
};
const Key kKeys[] = {{"z", 440.0, 0.5, 0.35}, {"a", 554.365, 0.15, 0.45}};
constexpr int kKeyCount = sizeof kKeys / sizeof kKeys[0];

// The synth asks the sound server for periods of 256 frames.
constexpr long kPeriod = 256;
// A press shows from the frame after it (the envelope starts at level 0), a
// release from its own frame; truncation to whole samples can hide the first
// change of a frame or two near a zero crossing of the note.
constexpr long kMaxLag = 8;
// An event frame is taken when the render agrees at least this long after it;
// a render one frame off parts from the recording within a period of the note.
constexpr long kSettle = 2000;
// A run of silent frames this long (0.7 ms) is a gap of the sound server: the
// pilot and a note together are near zero for a frame or two at most.
constexpr long kGap = 32;

// One performance as recorded, on the recording's frames.
struct Take {
  std::vector<int16_t> lr;  // interleaved left/right
  long down[kKeyCount];     // when each key was pressed
  double held[kKeyCount];   // seconds between press and release
  long escape = 0;          // when Escape was sent
};

void play(const std::string& dir, Take* take) {
  std::string why;
  // An idle null sink renders in blocks of two seconds: record well before playing.
  e2e::Recorder rec;
  ASSERT_TRUE(rec.start(&why)) << why;
  const Clock::time_point rec_started = Clock::now();
  e2e::Child synth({TEV_SYNTH_BIN, "agree.tsy"}, {dir, {}, {}, false});
  ASSERT_TRUE(e2e::answer_prompts(synth, '2', &why)) << why;
  const std::string window = e2e::find_window("^agree\\.tsy$", 15);
  ASSERT_FALSE(window.empty()) << synth.output();
  ASSERT_EQ(e2e::run({"xdotool", "windowfocus", window}, 10), 0);
  std::this_thread::sleep_until(rec_started + std::chrono::milliseconds(2200));

  e2e::Keyboard keyboard;
  ASSERT_TRUE(keyboard.open(&why)) << why;
  Clock::time_point down[kKeyCount], up[kKeyCount];
  for (int k = 0; k < kKeyCount; k++) {
    down[k] = Clock::now();
    ASSERT_TRUE(keyboard.press({kKeys[k].name}));
    std::this_thread::sleep_until(down[k] + std::chrono::duration_cast<Clock::duration>(
                                                std::chrono::duration<double>(kKeys[k].hold)));
    up[k] = Clock::now();
    ASSERT_TRUE(keyboard.release({kKeys[k].name}));
    std::this_thread::sleep_for(std::chrono::duration<double>(kKeys[k].rest));
  }
  const Clock::time_point escape = Clock::now();
  ASSERT_EQ(e2e::run({"xdotool", "key", "Escape"}, 10), 0);
  int status = 0;
  ASSERT_TRUE(synth.wait_exit(5, &status)) << "still running after Escape";
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << synth.output();
  rec.stop();

  take->lr = rec.samples();
  const Clock::time_point origin = rec.time_of_frame(0);
  auto frame_at = [&](Clock::time_point t) {
    return static_cast<long>(std::chrono::duration<double>(t - origin).count() * kRate);
  };
  for (int k = 0; k < kKeyCount; k++) {
    take->down[k] = frame_at(down[k]);
    take->held[k] = std::chrono::duration<double>(up[k] - down[k]).count();
  }
  take->escape = frame_at(escape);
}

// A key event on the renderer's command line.
struct Event {
  long frame;
  bool down;
  const char* key;
};

// Interleaved samples of a 16-bit stereo WAV file, its chunks walked to "data".
std::vector<int16_t> read_wav(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  const std::vector<uint8_t> d((std::istreambuf_iterator<char>(f)),
                               std::istreambuf_iterator<char>());
  auto u32 = [&](size_t at) {
    return static_cast<uint32_t>(d[at] | d[at + 1] << 8 | d[at + 2] << 16 | d[at + 3] << 24);
  };
  if (d.size() < 12 || std::memcmp(&d[0], "RIFF", 4) || std::memcmp(&d[8], "WAVE", 4)) return {};
  for (size_t at = 12; at + 8 <= d.size();) {
    const size_t n = std::min<size_t>(u32(at + 4), d.size() - at - 8);
    if (std::memcmp(&d[at], "data", 4) == 0) {
      std::vector<int16_t> s(n / 2);
      for (size_t i = 0; i < s.size(); i++)
        s[i] = static_cast<int16_t>(d[at + 8 + 2 * i] | d[at + 9 + 2 * i] << 8);
      return s;
    }
    at += 8 + n + (n & 1);
  }
  return {};
}

std::vector<int16_t> render(const std::string& dir, long frames, const std::vector<Event>& events) {
  std::vector<std::string> args = {TEV_RENDER_BIN, "--quiet", "--frames", std::to_string(frames)};
  for (const Event& e : events)
    args.insert(args.end(), {"--event", std::to_string(e.frame) + (e.down ? ":down:" : ":up:") +
                                            e.key});
  args.insert(args.end(), {dir + "/agree.tsy", dir + "/render.wav"});
  std::string out;
  const int status = e2e::run(args, 20, &out);
  EXPECT_EQ(status, 0) << out;
  std::vector<int16_t> s = read_wav(dir + "/render.wav");
  EXPECT_EQ(s.size(), 2 * static_cast<size_t>(frames)) << "frames rendered";
  s.resize(2 * static_cast<size_t>(frames));
  return s;
}

// First stream frame in [from, to) where the recording, whose frame `offset` is
// stream frame 0, differs from the render on either channel; -1 when none does.
long first_difference(const std::vector<int16_t>& lr, long offset, const std::vector<int16_t>& r,
                      long from, long to) {
  for (long n = from; n < to; n++)
    if (lr[2 * (offset + n)] != r[2 * n] || lr[2 * (offset + n) + 1] != r[2 * n + 1]) return n;
  return -1;
}

// Whether the recording from stream frame `at` on is the render moved by some
// frames: frames lost or inserted by the sound server, not a different sound.
bool slipped(const std::vector<int16_t>& lr, long offset, const std::vector<int16_t>& r, long at) {
  const long frames = static_cast<long>(lr.size() / 2);
  const long span = std::min<long>(2205, static_cast<long>(r.size() / 2) - at);
  for (long g = -2048; g <= kRate; g++) {
    if (g == 0 || offset + g + at < 0 || offset + g + at + span > frames) continue;
    if (first_difference(lr, offset + g, r, at, at + span) < 0) return true;
  }
  return false;
}

// What the renderer made of the performance.
struct Agreement {
  bool dropout = false;  // the sound server lost frames: no verdict
  std::string fault;     // empty when the render is the recording
  std::vector<int16_t> lr;  // the recording, silence the sound server inserted removed
  long offset = 0;          // its frame of stream frame 0
  long frames = 0;          // stream frames compared, every one equal
  long gaps = 0, gap_frames = 0;
  std::vector<Event> events;
  std::vector<int16_t> render, pilot;
};

std::string sample_text(const std::vector<int16_t>& lr, long at) {
  return std::to_string(lr[2 * at]) + "/" + std::to_string(lr[2 * at + 1]);
}

// When the sound server runs dry it plays silence and then the rest of the
// stream, late. Where the recording parts from the render at stream frame `at`
// with a run of silence, and after the run it is the render again, the run is
// such a gap and is cut out. False when that is not what happened there.
bool mend_gap(Agreement& a, const std::vector<int16_t>& r, long at) {
  const long recorded = static_cast<long>(a.lr.size() / 2);
  long g = 0;
  while (a.offset + at + g < recorded && a.lr[2 * (a.offset + at + g)] == 0 &&
         a.lr[2 * (a.offset + at + g) + 1] == 0)
    g++;
  if (g < kGap) return false;
  const long span = std::min<long>(kRate / 100, a.frames - g - at);
  if (span <= 0 || first_difference(a.lr, a.offset + g, r, at, at + span) >= 0) return false;
  a.lr.erase(a.lr.begin() + 2 * (a.offset + at), a.lr.begin() + 2 * (a.offset + at + g));
  a.frames -= g;
  a.gaps++;
  a.gap_frames += g;
  return true;
}

// First stream frame in [from, to) where the recording differs from the render,
// gaps cut out on the way; -1 when none does.
long compare(Agreement& a, const std::vector<int16_t>& r, long from, long to) {
  for (;;) {
    const long at = first_difference(a.lr, a.offset, r, from, std::min(to, a.frames));
    const long cut = a.gap_frames;
    if (at < 0 || !mend_gap(a, r, at)) return at;
    // A bound taken from the recording's clock moves with what was cut before it.
    to -= a.gap_frames - cut;
    from = at;
  }
}

Agreement agree(const std::string& dir, const Take& t) {
  Agreement a;
  a.lr = t.lr;
  const long frames = static_cast<long>(t.lr.size() / 2);
  long start = 0;
  while (start < frames && t.lr[2 * start] == 0 && t.lr[2 * start + 1] == 0) start++;
  if (start == frames) {
    a.fault = "the recording is silent";
    return a;
  }
  // Compared up to 50 ms before Escape: the stream stops some time after it.
  a.frames = t.escape - start - kRate / 20;
  if (a.frames < kRate || start + a.frames > frames) {
    a.fault = "the recording is too short: " + std::to_string(frames) + " frames";
    return a;
  }

  // Stream frame 0: the pilot's first frame may truncate to zero. The right
  // start agrees with the pilot's render longest.
  a.pilot = render(dir, a.frames, {});
  const long before_keys = std::min(a.frames, t.down[0] - start);
  long longest = -2;
  for (long d = start; d >= std::max(0L, start - 8); d--) {
    const long at = first_difference(a.lr, d, a.pilot, 0, before_keys);
    const long agreed = at < 0 ? before_keys : at;
    if (agreed > longest) longest = agreed, a.offset = d;
  }
  {
    const long at = compare(a, a.pilot, 0, before_keys);
    if (at >= 0) {
      a.dropout = slipped(a.lr, a.offset, a.pilot, at);
      a.fault = "before the keys the recording is not the render: stream frame " +
                std::to_string(at) + " recorded " + sample_text(a.lr, a.offset + at) +
                ", rendered " + sample_text(a.pilot, at);
      return a;
    }
  }

  // The key events in the order they were played. Each lands on the frame where
  // the recording first parts from a render without it, or a few frames before.
  long agreed = 0;  // stream frames known to be equal
  std::vector<int16_t> r = a.pilot;
  for (int k = 0; k < kKeyCount; k++)
    for (bool down : {true, false}) {
      const std::string what = std::string(kKeys[k].name) + (down ? " down" : " up");
      const long at = compare(a, r, agreed, a.frames);
      if (at < 0) {
        a.fault = what + ": nothing heard changed";
        return a;
      }
      // Not before the event already placed: events at one frame keep their order.
      const long earliest = a.events.empty() ? 0 : a.events.back().frame;
      bool found = false;
      for (long f = at; f >= std::max(earliest, at - kMaxLag) && !found; f--) {
        std::vector<Event> tried = a.events;
        tried.push_back({f, down, kKeys[k].name});
        std::vector<int16_t> candidate = render(dir, a.frames, tried);
        const long next = compare(a, candidate, at, a.frames);
        if (next < 0 || next >= at + kSettle) {
          a.events = tried;
          r.swap(candidate);
          agreed = next < 0 ? a.frames : next;
          found = true;
        }
      }
      if (!found) {
        a.dropout = slipped(a.lr, a.offset, r, at);
        a.fault = what + ": no event frame from " + std::to_string(at - kMaxLag) + " to " +
                  std::to_string(at) + " renders the recording; it first differs at stream frame " +
                  std::to_string(at) + ", recorded " + sample_text(a.lr, a.offset + at);
        return a;
      }
    }

  // All events in one render: every compared frame equal.
  a.render = render(dir, a.frames, a.events);
  const long at = compare(a, a.render, 0, a.frames);
  if (at >= 0) {
    a.dropout = slipped(a.lr, a.offset, a.render, at);
    a.fault = "the full render differs at stream frame " + std::to_string(at) + ": recorded " +
              sample_text(a.lr, a.offset + at) + ", rendered " + sample_text(a.render, at);
  }
  // Cut-out gaps shortened the comparison; the renders stay as long as they were.
  a.render.resize(2 * static_cast<size_t>(a.frames));
  return a;
}

// What a listener hears of one note: the left channel less the pilot (whose
// separate truncation leaves at most one step of difference).
struct Heard {
  double hz;
  int peak;
  long attack;  // frames from the press to 90 % of the peak
  long tail;    // frames from the release to a thousandth of the peak (-60 dB)
};

Heard listen(const std::vector<int16_t>& lr, long offset, const std::vector<int16_t>& pilot,
             long down, long up, long until) {
  std::vector<int16_t> v;
  for (long n = down; n < until; n++)
    v.push_back(static_cast<int16_t>(lr[2 * (offset + n)] - pilot[2 * n]));
  Heard h{};
  for (int16_t s : v) h.peak = std::max(h.peak, std::abs(static_cast<int>(s)));
  // Past the attack, up to the release.
  const long steady = kRate / 20;
  h.hz = tone::measure_frequency(v.data() + steady, static_cast<size_t>(up - down - steady), kRate);
  h.attack = -1;
  for (long i = 0; i < static_cast<long>(v.size()) && h.attack < 0; i++)
    if (std::abs(v[i]) * 10 >= h.peak * 9) h.attack = i;
  h.tail = -1;
  for (long i = static_cast<long>(v.size()) - 1; i >= 0 && h.tail < 0; i--)
    if (std::abs(v[i]) * 1000 >= h.peak) h.tail = i - (up - down);
  return h;
}

struct TempDir {
  std::string path = e2e::make_temp_dir();
  ~TempDir() { e2e::remove_dir(path); }
};

TEST(SynthRenderAgreement, RendererWritesWhatTheLiveSynthPlayedForTheSameKeys) {
  e2e::XServer x;
  std::string why;
  ASSERT_TRUE(x.start(&why)) << why;
  tev_test::PulseEnv pulse;
  ASSERT_TRUE(pulse.start(&why)) << why;
  TempDir dir;
  e2e::copy_file(TEV_FOND_BMP, dir.path + "/fond.bmp");
  e2e::write_file(dir.path + "/agree.tsy", kPatch);

  // A loaded machine may make the sound server drop frames; that is no
  // disagreement, and one more performance is given.
  Take take;
  Agreement a;
  for (int attempt = 1; attempt <= 2; attempt++) {
    take = Take();
    play(dir.path, &take);
    if (HasFatalFailure()) return;
    a = agree(dir.path, take);
    if (!a.dropout) break;
    std::printf("[ agreement ] attempt %d: dropout (%s)\n", attempt, a.fault.c_str());
  }
  ASSERT_FALSE(a.dropout) << "the sound server lost frames twice: " << a.fault;
  // Gaps are cut out, but a recording that is mostly gaps proves little.
  EXPECT_LT(a.gap_frames, a.frames / 10) << a.gaps << " gaps";
  ASSERT_EQ(a.fault, "") << "the renderer does not play what the live synth played";
  ASSERT_EQ(a.events.size(), 2u * kKeyCount);
  std::printf("[ agreement ] %ld stream frames (%.2f s) equal on both channels; stream frame 0 "
              "at recording frame %ld; %ld gap(s) of %.1f ms cut out\n",
              a.frames, static_cast<double>(a.frames) / kRate, a.offset, a.gaps,
              a.gap_frames * 1000.0 / kRate);
  testing::Test::RecordProperty("equal_frames", std::to_string(a.frames));

  for (int k = 0; k < kKeyCount; k++) {
    const Key& key = kKeys[k];
    SCOPED_TRACE(key.name);
    const long down = a.events[2 * k].frame, up = a.events[2 * k + 1].frame;
    const long until = k + 1 < kKeyCount ? a.events[2 * k + 2].frame : a.frames;
    const Heard live = listen(a.lr, a.offset, a.pilot, down, up, until);
    const Heard rendered = listen(a.render, 0, a.pilot, down, up, until);
    const double held_ms = (up - down) * 1000.0 / kRate;
    const double sent_ms = take.held[k] * 1000.0;
    std::printf("[ agreement ] %s: press at stream frame %ld, held %ld frames (%.1f ms; key held "
                "%.1f ms); %.3f Hz, peak %d, attack %ld, release to -60 dB %ld frames\n",
                key.name, down, up - down, held_ms, sent_ms, live.hz, live.peak, live.attack,
                live.tail);
    EXPECT_NEAR(tone::cents(rendered.hz, live.hz), 0.0, 0.1);
    EXPECT_NEAR(tone::cents(live.hz, key.hz), 0.0, 1.0) << live.hz << " Hz";
    EXPECT_NEAR(rendered.peak, live.peak, live.peak * 0.005);
    EXPECT_NEAR(rendered.attack, live.attack, kPeriod);
    EXPECT_NEAR(rendered.tail, live.tail, kPeriod);
    // The live synth applies a key at the start of the next period it computes,
    // so a press and a release each land up to a period late; a few milliseconds
    // more for the key's way from the X server through the synth's event loop.
    // A machine so loaded that the stream ran dry also ran the synth's key
    // handling late, by up to as long as the stream went without.
    const double slack_ms = 1000.0 * kPeriod / kRate + 5.0 + a.gap_frames * 1000.0 / kRate;
    EXPECT_NEAR(held_ms, sent_ms, slack_ms) << "key events moved";
  }
}

}  // namespace
