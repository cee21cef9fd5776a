// The demonstration patch from the patch-format documentation: trace and graph.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/unit/patch_fixture.h"

namespace {

const char* kDemo =
    "#demo_patch\n"
    "KEY1;\n"
    "LFO1;*TYPE=1;*FREQ=5;*AMOUNT=0.5;\n"
    "VCO1;*TYPE=2;*FREQ=440;LFO1:MOD_FREQ;KEY1:MOD_FREQ;*NOTE=0;\n"
    "LFO2;*TYPE=4;*AMOUNT=0.3;\n"
    "MIXER1;VCO1:IN1;LFO2:IN2;\n"
    "VCA1;*ATTACK=10;*DECAY=100;*SUSTAIN=1;*RELEASE=400;MIXER1:OUT;KEY1:GATE;\n"
    "SEQUENCER1;*DIVIDER=4;*NBR_STEP=8;*NOTE_0=60;*NOTE_1=0;LFO2:STEP;\n";

const char* kDemoTrace[] = {
    "OBJET [KEY1]",
    "KEYBOARD",
    "OBJET [LFO1]",
    "VCO",
    "paramSET : [*TYPE=1]",
    "paramSET : [*FREQ=5]",
    "paramSET : [*AMOUNT=0.5]",
    "OBJET [VCO1]",
    "VCO",
    "paramSET : [*TYPE=2]",
    "paramSET : [*FREQ=440]",
    "liens_vco_vco.fils_out.insert()",
    "paramLNK : [LFO1][MOD_FREQ]",
    "liens_key_vca.fils_out.insert()",
    "paramLNK : [KEY1][MOD_FREQ]",
    "paramSET : [*NOTE=0]",
    "OBJET [LFO2]",
    "VCO",
    "paramSET : [*TYPE=4]",
    "paramSET : [*AMOUNT=0.3]",
    "OBJET [MIXER1]",
    "MIXER",
    "paramLNK : [VCO1][IN1]",
    "paramLNK : [LFO2][IN2]",
    "paramLNK : [VCO1][IN1]",
    "paramLNK : [LFO2][IN2]",
    "OBJET [VCA1]",
    "VCA",
    "paramSET : [*ATTACK=10]",
    "paramSET : [*DECAY=100]",
    "paramSET : [*SUSTAIN=1]",
    "paramSET : [*RELEASE=400]",
    "liens_mixer_vca.fils_out.insert()",
    "paramLNK : [MIXER1][OUT]",
    "liens_key_vca.fils_out.insert()",
    "paramLNK : [KEY1][GATE]",
    "OBJET [SEQUENCER1]",
    "SEQUENCER",
    "paramLNK : [LFO2][STEP]",
};

const char* g_caption = nullptr;
std::string g_caption_text;
void record_caption(const char* t) {
  g_caption = t;
  g_caption_text = t ? t : "";
}

TEST(LoaderExample, TraceIsExactlyTheDocumentedLines) {
  TempDir dir;
  Loaded r = load_text(dir, kDemo);
  const std::vector<std::string> want(std::begin(kDemoTrace), std::end(kDemoTrace));
  EXPECT_EQ(lines_of(r.out), want);
  EXPECT_EQ(r.out.back(), '\n');
  EXPECT_EQ(r.g->load_problems, 0);
  EXPECT_TRUE(r.g->load_opened);
}

TEST(LoaderExample, ReturnsOneAndTitlesTheWindowWithThePathAsGiven) {
  TempDir dir;
  const std::string path = dir.write("demo.TSY", kDemo);
  auto saved = tev_caption_hook;
  tev_caption_hook = record_caption;
  GENERATOR g{GENERATOR::Empty{}};
  ::testing::internal::CaptureStdout();
  const int rc = g.load_TSY(path.c_str());
  ::testing::internal::GetCapturedStdout();
  tev_caption_hook = saved;
  EXPECT_EQ(rc, 1);
  EXPECT_EQ(g_caption_text, path);
}

TEST(LoaderExample, GraphHoldsTheDocumentedListsNewestFirst) {
  TempDir dir;
  Loaded r = load_text(dir, kDemo);
  GENERATOR& g = *r.g;

  using V = std::vector<std::string>;
  EXPECT_EQ(names_of(g.liste_keyboard), V({"KEY1"}));
  EXPECT_EQ(names_of(g.liste_vco), V({"LFO2", "VCO1", "LFO1"}));
  EXPECT_EQ(g.notes_vco, std::vector<int>({0}));
  EXPECT_EQ(names_of(g.liste_mixer), V({"MIXER1"}));
  EXPECT_EQ(names_of(g.liste_vca), V({"VCA1"}));
  EXPECT_EQ(names_of(g.liste_sequencer), V({"SEQUENCER1"}));
  EXPECT_TRUE(g.liste_sampler.empty());

  // Counters equal their lists; every list not named in the example is empty.
  const struct {
    const char* what;
    int counter;
    size_t size;
    int want;
  } counts[] = {
      {"keyboard", g.nbr_keyboard, g.liste_keyboard.size(), 1},
      {"vco", g.nbr_vco, g.liste_vco.size(), 3},
      {"notes", g.nbr_notes_vco, g.notes_vco.size(), 1},
      {"mixer", g.nbr_mixer, g.liste_mixer.size(), 1},
      {"vca", g.nbr_vca, g.liste_vca.size(), 1},
      {"sequencer", g.nbr_sequencer, g.liste_sequencer.size(), 1},
      {"sampler", g.nbr_sampler, g.liste_sampler.size(), 0},
      {"vco_vco", g.nbr_liens_vco_vco, g.liens_vco_vco.size(), 1},
      {"key_vco", g.nbr_liens_key_vco, g.liens_key_vco.size(), 1},
      {"vco_mixer", g.nbr_liens_vco_mixer, g.liens_vco_mixer.size(), 1},
      {"mixer_vca", g.nbr_liens_mixer_vca, g.liens_mixer_vca.size(), 1},
      {"key_vca", g.nbr_liens_key_vca, g.liens_key_vca.size(), 1},
      {"vco_sequencer", g.nbr_liens_vco_sequencer, g.liens_vco_sequencer.size(), 1},
      {"vca_sequencer", g.nbr_liens_vca_sequencer, g.liens_vca_sequencer.size(), 0},
      {"sampler_sequencer", g.nbr_liens_sampler_sequencer, g.liens_sampler_sequencer.size(), 0},
      {"sampler_mixer", g.nbr_liens_sampler_mixer, g.liens_sampler_mixer.size(), 0},
      {"sampler_vco", g.nbr_liens_sampler_vco, g.liens_sampler_vco.size(), 0},
  };
  for (const auto& c : counts) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.counter, c.want);
    EXPECT_EQ(c.size, static_cast<size_t>(c.want));
  }
  EXPECT_TRUE(g.liens_key_sampler.empty());
  EXPECT_TRUE(g.liens_vco_sampler.empty());

  VCO* lfo1 = g.liste_vco[2];
  VCO* vco1 = g.liste_vco[1];
  VCO* lfo2 = g.liste_vco[0];
  MIXER* mixer1 = g.liste_mixer[0];
  VCA* vca1 = g.liste_vca[0];
  KEYBOARD* key1 = g.liste_keyboard[0];

  ASSERT_EQ(g.liens_vco_vco.size(), 1u);
  EXPECT_EQ(g.liens_vco_vco[0].pere_in, vco1);
  EXPECT_EQ(g.liens_vco_vco[0].fils_out, std::vector<VCO*>({lfo1}));
  EXPECT_EQ(words_of(g.liens_vco_vco[0].param_out), V({"MOD_FREQ"}));

  ASSERT_EQ(g.liens_key_vco.size(), 1u);
  EXPECT_EQ(g.liens_key_vco[0].source, key1);
  EXPECT_EQ(g.liens_key_vco[0].pere_in, vco1);

  ASSERT_EQ(g.liens_vco_mixer.size(), 1u);
  EXPECT_EQ(g.liens_vco_mixer[0].pere_in, mixer1);
  EXPECT_EQ(g.liens_vco_mixer[0].fils_out, std::vector<VCO*>({lfo2, vco1}));
  EXPECT_EQ(words_of(g.liens_vco_mixer[0].param_out), V({"IN2", "IN1"}));

  ASSERT_EQ(g.liens_mixer_vca.size(), 1u);
  EXPECT_EQ(g.liens_mixer_vca[0].source, mixer1);
  EXPECT_EQ(g.liens_mixer_vca[0].pere_in, vca1);
  EXPECT_EQ(words_of(g.liens_mixer_vca[0].param_out), V({"OUT"}));

  ASSERT_EQ(g.liens_key_vca.size(), 1u);
  EXPECT_EQ(g.liens_key_vca[0].source, key1);
  EXPECT_EQ(g.liens_key_vca[0].pere_in, vca1);

  ASSERT_EQ(g.liens_vco_sequencer.size(), 1u);
  EXPECT_EQ(g.liens_vco_sequencer[0].pere_in, g.liste_sequencer[0]);
  EXPECT_EQ(g.liens_vco_sequencer[0].fils_out, std::vector<VCO*>({lfo2}));
}

TEST(LoaderExample, ModuleSettingsAreThePatchValuesOrTheDefaults) {
  TempDir dir;
  Loaded r = load_text(dir, kDemo);
  GENERATOR& g = *r.g;
  const struct {
    const char* name;
    type_generateur type;
    float freq;
    float amount;
  } vcos[] = {
      {"LFO2", PULSE, 440.0f, 0.3f},
      {"VCO1", SAW, 440.0f, 1.0f},
      {"LFO1", SINE, 5.0f, 0.5f},
  };
  for (size_t i = 0; i < 3; i++) {
    SCOPED_TRACE(vcos[i].name);
    VCO* o = g.liste_vco[i];
    EXPECT_STREQ(o->name, vcos[i].name);
    EXPECT_EQ(o->type, vcos[i].type);
    EXPECT_EQ(o->freq, vcos[i].freq);
    EXPECT_EQ(o->base_freq, vcos[i].freq);
    EXPECT_EQ(o->amount, vcos[i].amount);
    EXPECT_EQ(o->base_amount, vcos[i].amount);
  }
  VCA* a = g.liste_vca[0];
  EXPECT_EQ(a->attack_time, 10.0f);
  EXPECT_EQ(a->decay_time, 100.0f);
  EXPECT_EQ(a->sustain_level, 1.0f);
  EXPECT_EQ(a->release_time, 400.0f);
  EXPECT_EQ(a->bypass, 0);

  // Steps 2..15 keep the notes the constructor drew (88..99).
  SEQUENCER* s = g.liste_sequencer[0];
  EXPECT_EQ(s->divider, 4.0f);
  EXPECT_EQ(s->nbr_step, 8);
  EXPECT_EQ(s->notes[0], 60);
  EXPECT_EQ(s->notes[1], 0);
  for (int i = 2; i < 16; i++) {
    EXPECT_GE(s->notes[i], 88);
    EXPECT_LE(s->notes[i], 99);
  }
  EXPECT_EQ(g.liste_mixer[0]->nbr_inputs, 2);
}

TEST(LoaderExample, ConstructorLoadsThenReports) {
  TempDir dir;
  const std::string path = dir.write("demo.TSY", kDemo);
  ::testing::internal::CaptureStdout();
  GENERATOR g(path.c_str());
  std::fflush(stdout);
  const std::string out = ::testing::internal::GetCapturedStdout();
  const size_t trace_end = out.find("paramLNK : [LFO2][STEP]\n");
  const size_t report = out.find("[ OBJECTS ]");
  ASSERT_NE(trace_end, std::string::npos);
  ASSERT_NE(report, std::string::npos);
  EXPECT_LT(trace_end, report);
  EXPECT_EQ(g.nbr_vco, 3);
}

}  // namespace
