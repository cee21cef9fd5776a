// The patches shipped in patches/: they load without a complaint, the default one
// plays each key's note on the right voice, stays below clipping, and its drum and
// bass run on their own.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/generator.h"
#include "engine/note_table.h"
#include "audio/voice_keys.h"

namespace {

std::string patches_dir() {
  std::string f = __FILE__;  // <repo>/tests/unit/bundled_patches_test.cpp
  for (int i = 0; i < 3; i++) f = f.substr(0, f.find_last_of('/'));
  return f + "/patches";
}

// Loads a bundled patch the way the synth does: from inside patches/, so the WAV
// names in it resolve. The graph is prepared for evaluation; output is captured.
struct Bundled {
  std::unique_ptr<GENERATOR> g;
  std::string out;
};
Bundled load_bundled(const char* file) {
  init_NOTE2FREQ();
  char old[4096];
  EXPECT_NE(getcwd(old, sizeof old), nullptr);
  EXPECT_EQ(chdir(patches_dir().c_str()), 0);
  Bundled b;
  b.g = std::make_unique<GENERATOR>(GENERATOR::Empty{});
  ::testing::internal::CaptureStdout();
  b.g->load_TSY(file);
  b.g->prepare();
  std::fflush(stdout);
  b.out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(chdir(old), 0);
  return b;
}

void press(GENERATOR& g, char key) {
  VoiceOp ops[kMaxOpsPerEvent];
  const int n = key_press_ops(g, key, ops);
  ASSERT_GT(n, 0) << "key " << key << " plays nothing";
  for (int i = 0; i < n; i++) apply_voice_op(g, ops[i]);
}

// Power of `x` at `freq` Hz (Hann-windowed Goertzel).
double power_at(const std::vector<float>& x, double freq) {
  const double w = 2.0 * M_PI * freq / 44100.0;
  const double c = 2.0 * std::cos(w);
  double s1 = 0, s2 = 0;
  const size_t n = x.size();
  for (size_t i = 0; i < n; i++) {
    const double hann = 0.5 - 0.5 * std::cos(2.0 * M_PI * i / (n - 1));
    const double s0 = x[i] * hann + c * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  return s1 * s1 + s2 * s2 - c * s1 * s2;
}

// Runs the graph and records one amplifier's output (or the patch's when null).
std::vector<float> run(GENERATOR& g, int samples, VCA* tap, int skip = 0) {
  std::vector<float> v;
  ::testing::internal::CaptureStdout();  // samplers print a line when they end
  for (int i = 0; i < skip + samples; i++) {
    g.evolue();
    if (i >= skip) v.push_back(tap ? tap->get_OUTL() : g.OUTL);
  }
  ::testing::internal::GetCapturedStdout();
  return v;
}

VCA* vca_named(GENERATOR& g, const char* name) {
  for (VCA* a : g.liste_vca)
    if (std::strcmp(a->name, name) == 0) return a;
  return nullptr;
}

TEST(BundledPatches, EveryPatchLoadsWithoutAComplaint) {
  const char* files[] = {"SYNTH_2.TSY", "modulation.TSY", "sequencer.TSY", "sampler.TSY"};
  for (const char* f : files) {
    SCOPED_TRACE(f);
    Bundled b = load_bundled(f);
    EXPECT_TRUE(b.g->load_opened);
    EXPECT_EQ(b.g->load_problems, 0) << b.out;
    EXPECT_EQ(b.out.find("Ligne"), std::string::npos) << b.out;
    EXPECT_EQ(b.out.find("Error"), std::string::npos) << b.out;
    EXPECT_EQ(b.out.find("Erreur"), std::string::npos) << b.out;
    // Every oscillator whose name starts with V has its own note offset, so the
    // pairing by position cannot shift.
    int voiced = 0;
    for (VCO* o : b.g->liste_vco)
      if (o->name[0] == 'V') voiced++;
    EXPECT_EQ(b.g->nbr_notes_vco, voiced);
    for (SAMPLER* s : b.g->liste_sampler) {
      SCOPED_TRACE(s->name);
      EXPECT_GT(s->length, 0);
    }
  }
}

TEST(DefaultPatch, VoicesAreLeadPadAndBell) {
  Bundled b = load_bundled("SYNTH_2.TSY");
  GENERATOR& g = *b.g;
  ASSERT_EQ(g.liste_keyboard.size(), 3u);
  ASSERT_GE(g.liste_vca.size(), 3u);
  const char* kbd[] = {"KEY_LEAD", "KEY_PAD", "KEY_BELL"};
  const char* vca[] = {"VCA_LEAD", "VCA_PAD", "VCA_BELL"};
  for (int v = 0; v < 3; v++) {
    EXPECT_STREQ(g.liste_keyboard[v]->name, kbd[v]);
    EXPECT_STREQ(g.liste_vca[v]->name, vca[v]);
  }
  // Short enough to end before the next hit: it plays twice its length.
  ASSERT_EQ(g.liste_sampler.size(), 1u);
  EXPECT_LT(2 * g.liste_sampler[0]->length, 44100 / 4);
}

TEST(DefaultPatch, EachKeySoundsItsNoteOnItsVoice) {
  // The strongest partial of each voice: lead at the note, pad an octave down,
  // bell an octave up.
  const struct {
    char key;
    int voice;
    int note;
    int partial;  // semitones from the note
  } cases[] = {
      {'z', 0, 58, 0},   {'x', 0, 60, 0},   {'c', 0, 61, 0},   {'v', 0, 63, 0},
      {'b', 0, 65, 0},   {'n', 0, 66, 0},   {'a', 1, 58, -12}, {'s', 1, 60, -12},
      {'d', 1, 61, -12}, {'f', 1, 63, -12}, {'g', 1, 65, -12}, {'h', 1, 66, -12},
      {'q', 2, 58, 12},  {'w', 2, 60, 12},  {'e', 2, 61, 12},  {'r', 2, 63, 12},
      {'t', 2, 65, 12},  {'y', 2, 66, 12},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("key ") + c.key);
    Bundled b = load_bundled("SYNTH_2.TSY");
    GENERATOR& g = *b.g;
    press(g, c.key);
    EXPECT_EQ(g.liste_keyboard[c.voice]->note, c.note);
    // Past the pad's 0.27 s attack; 8192 samples resolve a semitone easily.
    const std::vector<float> x = run(g, 8192, g.liste_vca[c.voice], 13000);
    const double f = NOTE2FREQ[c.note + c.partial];
    const double at = power_at(x, f);
    EXPECT_GT(at, 1e6);
    EXPECT_GT(at, 30.0 * power_at(x, f * std::pow(2.0, 1.0 / 12)));
    EXPECT_GT(at, 30.0 * power_at(x, f * std::pow(2.0, -1.0 / 12)));
    // The other two voices stay silent.
    for (int other = 0; other < 3; other++) {
      if (other == c.voice) continue;
      EXPECT_EQ(g.liste_vca[other]->get_OUTL(), 0.0f) << "voice " << other;
    }
  }
}

TEST(DefaultPatch, ThreeHeldVoicesWithDrumAndBassStayBelowClipping) {
  const char* chords[] = {"zaq", "nhy", "cft", "xsw", "bge"};
  for (const char* chord : chords) {
    SCOPED_TRACE(chord);
    Bundled b = load_bundled("SYNTH_2.TSY");
    GENERATOR& g = *b.g;
    for (const char* k = chord; *k; k++) press(g, *k);
    const std::vector<float> x = run(g, 3 * 44100, nullptr);
    float peak = 0;
    for (float v : x) peak = std::max(peak, std::fabs(v));
    EXPECT_LT(peak, 32000.0f);
    EXPECT_GT(peak, 10000.0f);
  }
}

TEST(DefaultPatch, DrumAndBassPlayWithoutKeys) {
  Bundled b = load_bundled("SYNTH_2.TSY");
  GENERATOR& g = *b.g;
  VCA* kick = vca_named(g, "VCA_KICK");
  VCA* bass = vca_named(g, "VCA_BASS");
  ASSERT_NE(kick, nullptr);
  ASSERT_NE(bass, nullptr);
  const int step = 44100 / 4;
  std::vector<float> k, s;
  ::testing::internal::CaptureStdout();
  for (int i = 0; i < 9 * step; i++) {
    g.evolue();
    k.push_back(kick->get_OUTL());
    s.push_back(bass->get_OUTL());
  }
  ::testing::internal::GetCapturedStdout();
  auto energy = [](const std::vector<float>& x, int from, int n) {
    double e = 0;
    for (int i = from; i < from + n; i++) e += double(x[i]) * x[i];
    return e / n;
  };
  // Steps play 1..7 then 0: the kick hits on steps 1, 3, 5, 7 and rests between.
  for (int st = 1; st <= 7; st++) {
    SCOPED_TRACE(st);
    const double e = energy(k, st * step + 2, 3000);
    if (st % 2 == 1)
      EXPECT_GT(e, 1e6);
    else
      EXPECT_LT(e, 1.0);
  }
  // The bass plays A2 on step 1 and A3 on step 3, each with a fresh envelope.
  const struct {
    int st;
    int note;
  } bass_steps[] = {{1, 34}, {3, 46}, {5, 37}, {7, 41}};
  for (const auto& c : bass_steps) {
    SCOPED_TRACE(c.st);
    // A saw's partials sit at whole multiples: a minor third either side is clear
    // of them, and far enough for a decaying 110 Hz note to resolve.
    std::vector<float> w(s.begin() + c.st * step + 100, s.begin() + c.st * step + 100 + 8000);
    const double f = NOTE2FREQ[c.note];
    const double at = power_at(w, f);
    EXPECT_GT(at, 1e6);
    EXPECT_GT(at, 10.0 * power_at(w, f * std::pow(2.0, 3.0 / 12)));
    EXPECT_GT(at, 10.0 * power_at(w, f * std::pow(2.0, -3.0 / 12)));
  }
  // Step 0 is a rest: the bass is silent through it.
  EXPECT_LT(energy(s, 8 * step + 100, 8000), 1.0);
}

}  // namespace
