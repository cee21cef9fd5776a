// What a listener hears in a render: the pitch of a held key, when a key takes
// effect, silence after a release, and reproducibility under --seed.
#include <gtest/gtest.h>

#include <cmath>

#include "render_run.h"
#include "support/tone.h"

using namespace render_test;

namespace {

const std::string kPatches = repo_root() + "/tests/patches";

std::vector<int16_t> render_left(const std::vector<std::string>& extra, const std::string& patch) {
  Scratch s;
  std::vector<std::string> args = extra;
  args.push_back("--quiet");
  args.push_back(patch);
  args.push_back(s.path("out.wav"));
  const Result r = run(args, kPatches);
  EXPECT_EQ(r.status, 0) << r.err;
  const Wav w = read_wav(s.path("out.wav"));
  EXPECT_TRUE(w.ok);
  for (size_t i = 0; i + 1 < w.samples.size(); i += 2)
    if (w.samples[i] != w.samples[i + 1]) {
      ADD_FAILURE() << "left and right differ at frame " << i / 2;
      break;
    }
  return w.left();
}

TEST(RenderSound, AHeldKeyPlaysItsNote) {
  struct Case {
    std::vector<std::string> events;
    double hz;
  };
  // Notes 58, 60, 61, 63, 65, 66 of an equal-tempered scale with note 58 at 440 Hz.
  const std::vector<Case> cases = {
      {{"0:down:z"}, 440.0},
      {{"0:down:x"}, 493.883},
      {{"0:down:c"}, 523.251},
      {{"0:down:v"}, 587.330},
      {{"0:down:b"}, 659.255},
      {{"0:down:n"}, 698.456},
      // Events at one frame apply in command-line order: the last note wins.
      {{"0:down:z", "0:down:n"}, 698.456},
      {{"0:down:n", "0:down:z"}, 440.0},
      // A released key keeps its note; Return only restarts the envelope.
      {{"0:down:v", "100:up:v", "200:down:return"}, 587.330},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.events));
    std::vector<std::string> args = {"--frames", "22050"};
    for (const std::string& e : c.events) args.insert(args.end(), {"--event", e});
    const std::vector<int16_t> x = render_left(args, "sine_voice.TSY");
    ASSERT_EQ(x.size(), 22050u);
    // Past the attack: the last 20002 frames.
    const double f = tone::spectral_peak(x.data() + 2048, x.size() - 2048, 44100.0);
    EXPECT_LT(std::fabs(tone::cents(f, c.hz)), 1.0) << "peak at " << f << " Hz";
  }
}

TEST(RenderSound, KeysActExactlyBeforeTheirFrame) {
  // Pressed before frame 1000, released before frame 20000. Release 10 takes a
  // tenth of a percent of the level per frame: from 10000 below one step of the
  // 16-bit output in ln(10000) / 0.001 = 9210 frames.
  const std::vector<int16_t> x = render_left(
      {"--frames", "36000", "--event", "1000:down:z", "--event", "20000:up:z"}, "sine_voice.TSY");
  ASSERT_EQ(x.size(), 36000u);
  for (size_t i = 0; i < 1000; i++) ASSERT_EQ(x[i], 0) << "sound before the press, frame " << i;
  int16_t early = 0;
  for (size_t i = 1000; i < 1010; i++) early = std::max<int16_t>(early, std::abs(x[i]));
  EXPECT_GT(early, 0) << "nothing in the ten frames after the press";
  int16_t held = 0;
  for (size_t i = 10000; i < 20000; i++) held = std::max<int16_t>(held, x[i]);
  EXPECT_GE(held, 9990);
  int16_t releasing = 0;
  for (size_t i = 20000; i < 20100; i++) releasing = std::max<int16_t>(releasing, x[i]);
  EXPECT_GT(releasing, 9000) << "the release must fade, not cut";
  for (size_t i = 29300; i < 36000; i++) ASSERT_EQ(x[i], 0) << "sound after the release, frame " << i;
}

TEST(RenderSound, TheSeedDecidesTheRandomNotesAndNothingElse) {
  struct Case {
    const char* name;
    const char* patch;
    const char* seed_a;
    const char* seed_b;
    bool same;
  };
  const Case cases[] = {
      {"sequencer, one seed", "sequencer.TSY", "5", "5", true},
      {"sequencer, two seeds", "sequencer.TSY", "5", "6", false},
      {"sequencer, seeds 1 and 2", "sequencer.TSY", "1", "2", false},
      // No sequencer: the retrigger's notes come from the generator's initial state.
      {"no sequencer", "sine_voice.TSY", "5", "6", true},
  };
  const std::vector<std::string> keys = {"--frames", "44100", "--event", "0:down:z",
                                         "--event", "11025:user:0", "--event", "22050:user:0"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> a = keys, b = keys;
    a.insert(a.end(), {"--seed", c.seed_a});
    b.insert(b.end(), {"--seed", c.seed_b});
    const std::vector<int16_t> xa = render_left(a, c.patch), xb = render_left(b, c.patch);
    ASSERT_EQ(xa.size(), 44100u);
    EXPECT_EQ(xa == xb, c.same);
  }
}

}  // namespace
