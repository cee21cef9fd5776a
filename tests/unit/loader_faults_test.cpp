// What the loader does with patches the format does not allow: a message naming
// the file and line, the field or line left out, and a graph that evaluates safely.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "tests/unit/patch_fixture.h"

namespace {

struct Fault {
  const char* what;
  std::string text;
  int line;             // line number the message names
  std::string message;  // after "<path>:<line>: "
  int problems;         // messages counted
  std::function<void(GENERATOR&)> check;
};

// After loading, the graph must run: every record points at real modules.
void evaluate_a_while(GENERATOR& g) {
  init_NOTE2FREQ();
  g.prepare();
  ::testing::internal::CaptureStdout();
  for (int i = 0; i < 3000; i++) g.evolue();
  ::testing::internal::GetCapturedStdout();
  EXPECT_LE(std::fabs(g.get_OUTL()), 32000.0f);
  for (const auto& r : g.liens_vco_vco)
    for (VCO* o : r.fils_out) EXPECT_NE(o, nullptr);
}

void run_faults(const std::vector<Fault>& faults) {
  for (const Fault& f : faults) {
    SCOPED_TRACE(f.what);
    TempDir dir;
    ExitRecorder exit_hook;
    Loaded r = load_text(dir, f.text);
    const std::string want = r.path + ":" + std::to_string(f.line) + ": " + f.message + "\n";
    EXPECT_NE(r.out.find(want), std::string::npos) << "want: " << want << "got:\n" << r.out;
    EXPECT_EQ(r.g->load_problems, f.problems) << r.out;
    EXPECT_EQ(ExitRecorder::calls(), 0);
    if (f.check) f.check(*r.g);
    evaluate_a_while(*r.g);
  }
}

const std::string kNoOsc = "names no oscillator declared above; ignored";

TEST(LoaderFaults, LinksToModulesNotDeclaredAbove) {
  run_faults({
      {"oscillator link to a later oscillator", "VCO2;VCO1:MOD_FREQ;\nVCO1;", 1,
       "link source [VCO1] " + kNoOsc, 1,
       [](GENERATOR& g) { EXPECT_EQ(g.nbr_liens_vco_vco, 0); }},
      {"oscillator link to a keyboard when there is none", "VCO1;KEY1:P;", 1,
       "link source [KEY1] names no keyboard declared above; ignored", 1,
       [](GENERATOR& g) { EXPECT_EQ(g.nbr_liens_key_vco, 0); }},
      {"oscillator link to a missing sampler", "VCO1;SAMPLER9:MOD_AMP;", 1,
       "link source [SAMPLER9] names no sampler declared above; ignored", 1,
       [](GENERATOR& g) { EXPECT_EQ(g.nbr_liens_sampler_vco, 0); }},
      {"one good and one dangling oscillator link keep the good one",
       "LFO1;\nVCO1;LFO1:MOD_AMP;LFO9:MOD_FREQ;", 2, "link source [LFO9] " + kNoOsc, 1,
       [](GENERATOR& g) {
         ASSERT_EQ(g.nbr_liens_vco_vco, 1);
         EXPECT_EQ(g.liens_vco_vco[0].fils_out.size(), 1u);
         EXPECT_EQ(g.liens_vco_vco[0].param_out.size(), 1u);
       }},
      {"amplifier link to a missing mixer", "VCA1;MIXER1:OUT;", 1,
       "link source [MIXER1] names no mixer declared above; ignored", 1,
       [](GENERATOR& g) { EXPECT_EQ(g.nbr_liens_mixer_vca, 0); }},
      {"amplifier link to a missing keyboard", "KEY1;\nKEY2;\nVCA1;KEY3:G;", 3,
       "link source [KEY3] names no keyboard declared above; ignored", 1,
       [](GENERATOR& g) { EXPECT_EQ(g.nbr_liens_key_vca, 0); }},
      {"mixer link to a missing oscillator is still traced twice", "MIXER1;VCO1:IN1;", 1,
       "link source [VCO1] " + kNoOsc, 1,
       [](GENERATOR& g) {
         EXPECT_EQ(g.nbr_liens_vco_mixer, 0);
         EXPECT_EQ(g.liste_mixer[0]->nbr_inputs, 0);
       }},
      {"mixer link to a missing sampler", "MIXER1;SAMPLER1:IN1;", 1,
       "link source [SAMPLER1] names no sampler declared above; ignored", 1,
       [](GENERATOR& g) { EXPECT_EQ(g.nbr_liens_sampler_mixer, 0); }},
      {"sampler link to a missing oscillator", "SAMPLER1;LFO1:MOD_AMP;", 1,
       "link source [LFO1] " + kNoOsc, 1,
       [](GENERATOR& g) { EXPECT_TRUE(g.liens_vco_sampler.empty()); }},
      {"sampler link to a missing keyboard", "SAMPLER1;KEY1:P;", 1,
       "link source [KEY1] names no keyboard declared above; ignored", 1,
       [](GENERATOR& g) { EXPECT_TRUE(g.liens_key_sampler.empty()); }},
      {"sequencer links to a missing oscillator, amplifier and sampler",
       "SEQUENCER1;VCO1:P;VCA1:G;SAMPLER1:H;", 1, "link source [VCO1] " + kNoOsc, 3,
       [](GENERATOR& g) {
         EXPECT_EQ(g.nbr_liens_vco_sequencer, 0);
         EXPECT_EQ(g.nbr_liens_vca_sequencer, 0);
         EXPECT_EQ(g.nbr_liens_sampler_sequencer, 0);
       }},
  });
}

TEST(LoaderFaults, MalformedFields) {
  run_faults({
      {"parameter without =", "#c\nVCO1;*FREQ;", 2,
       "parameter field [*FREQ] has no \"=value\"; ignored", 1,
       [](GENERATOR& g) { EXPECT_EQ(g.liste_vco[0]->freq, 440.0f); }},
      {"parameter with an empty value", "VCA1;*ATTACK=;", 1,
       "parameter field [*ATTACK=] has no \"=value\"; ignored", 1,
       [](GENERATOR& g) { EXPECT_EQ(g.liste_vca[0]->attack_time, 1.0f); }},
      {"the note offset rule still runs after a field without value", "VCO1;*NOTE=3;*FREQ;", 1,
       "parameter field [*FREQ] has no \"=value\"; ignored", 1,
       [](GENERATOR& g) { EXPECT_EQ(g.notes_vco, std::vector<int>({3, 3})); }},
      {"sampler parameter without value", "SAMPLER1;*FILE;", 1,
       "parameter field [*FILE] has no \"=value\"; ignored", 1, nullptr},
      {"sequencer parameter without value", "SEQUENCER1;*DIVIDER;", 1,
       "parameter field [*DIVIDER] has no \"=value\"; ignored", 1,
       [](GENERATOR& g) { EXPECT_EQ(g.liste_sequencer[0]->divider, 2.0f); }},
      {"link without :", "LFO1;\nVCO1;LFO1;", 2,
       "link field [LFO1] is not \"module:word\"; ignored", 1,
       [](GENERATOR& g) { EXPECT_EQ(g.nbr_liens_vco_vco, 0); }},
      {"link with an empty word", "LFO1;\nVCO1;LFO1:;", 2,
       "link field [LFO1:] is not \"module:word\"; ignored", 1, nullptr},
      {"link with an empty source", "VCA1;:OUT;", 1,
       "link field [:OUT] is not \"module:word\"; ignored", 1, nullptr},
      {"mixer field without :", "VCO1;\nMIXER1;VCO1;", 2,
       "link field [VCO1] is not \"module:word\"; ignored", 1,
       [](GENERATOR& g) { EXPECT_EQ(g.liste_mixer[0]->nbr_inputs, 0); }},
      {"empty name", "#c\n;VCO1;\nVCO2;", 2,
       "line begins with \";\": a module needs a name; ignored", 1,
       [](GENERATOR& g) { EXPECT_EQ(names_of(g.liste_vco), std::vector<std::string>({"VCO2"})); }},
      {"step note key too short", "SEQUENCER1;*NOTE=5;", 1,
       "[*NOTE=5]: a step note is written *NOTE_<step>=<note>; ignored", 1, nullptr},
      {"step index 16", "SEQUENCER1;*NOTE_16=5;", 1,
       "[*NOTE_16=5]: step 16 is outside 0 to 15; ignored", 1, nullptr},
      {"step index -1", "SEQUENCER1;*NOTE_-1=5;", 1,
       "[*NOTE_-1=5]: step -1 is outside 0 to 15; ignored", 1, nullptr},
      {"note 2000", "SEQUENCER1;*NOTE_0=2000;", 1,
       "[*NOTE_0=2000]: note 2000 is outside 0 to 1999; ignored", 1,
       [](GENERATOR& g) { EXPECT_NE(g.liste_sequencer[0]->notes[0], 2000); }},
      {"note -3", "SEQUENCER1;*NOTE_2=-3;", 1,
       "[*NOTE_2=-3]: note -3 is outside 0 to 1999; ignored", 1, nullptr},
      {"17 steps are clamped to 16", "SEQUENCER1;*NBR_STEP=17;", 1,
       "[*NBR_STEP=17]: a sequencer has 1 to 16 steps; 16 used", 1,
       [](GENERATOR& g) { EXPECT_EQ(g.liste_sequencer[0]->nbr_step, 16); }},
      {"0 steps are clamped to 1", "SEQUENCER1;*NBR_STEP=0;", 1,
       "[*NBR_STEP=0]: a sequencer has 1 to 16 steps; 1 used", 1,
       [](GENERATOR& g) { EXPECT_EQ(g.liste_sequencer[0]->nbr_step, 1); }},
  });
}

std::string mixer_of(int inputs) {
  std::string t;
  for (int i = 0; i < inputs; i++) t += "LFO" + std::to_string(i) + ";\n";
  t += "MIXER1;";
  for (int i = 0; i < inputs; i++) t += "LFO" + std::to_string(i) + ":IN1;";
  return t + "\n";
}

TEST(LoaderFaults, LimitsOfMixersNamesAndLines) {
  const std::string long_vco(85, 'V');
  const std::string vca80 = "VCA" + std::string(77, 'A');  // 80 characters
  const std::string mixer_name = "MIXER" + std::string(700, 'M');
  const std::string line800 = "VCO1;*FREQ=" + std::string(800 - 12, '1') + ";";
  run_faults({
      {"a 25th mixer input is refused", mixer_of(25), 26,
       "[LFO24:IN1]: a mixer takes at most 24 inputs; ignored", 1,
       [](GENERATOR& g) {
         EXPECT_EQ(g.liste_mixer[0]->nbr_inputs, 24);
         EXPECT_EQ(g.liens_vco_mixer[0].fils_out.size(), 24u);
       }},
      {"a mixer word that names no input: kept, counted, fed to nothing",
       "VCO1;\nVCO2;\nMIXER1;VCO1:IN;VCO2:IN0;", 3,
       "[VCO2:IN0]: the word's third character names no input from 1 to 24; this source feeds "
       "nothing",
       2,
       [](GENERATOR& g) {
         EXPECT_EQ(g.liste_mixer[0]->nbr_inputs, 2);
         EXPECT_EQ(g.liens_vco_mixer[0].fils_out.size(), 2u);
       }},
      {"an oscillator name of 85 characters is cut to 79", "VCO" + long_vco + ";", 1,
       "name [VCOVVVVVVVVVVVVVVVVV...] is longer than 79 characters; cut", 1,
       [](GENERATOR& g) { EXPECT_EQ(std::string(g.liste_vco[0]->name).size(), 79u); }},
      {"an amplifier name of 80 characters is cut to 79", vca80 + ";", 1,
       "name [VCAAAAAAAAAAAAAAAAAA...] is longer than 79 characters; cut", 1,
       [](GENERATOR& g) { EXPECT_EQ(std::string(g.liste_vca[0]->name).size(), 79u); }},
      {"a line of 800 characters is skipped, the next one read", line800 + "\nVCO2;", 1,
       "line longer than 799 characters; ignored", 1,
       [](GENERATOR& g) {
         ASSERT_EQ(g.nbr_vco, 1);
         EXPECT_STREQ(g.liste_vco[0]->name, "VCO2");
       }},
      {"an empty file", "", 0, "the patch holds no line; nothing to play", 1, nullptr},
      {"a file of blanks", "  \n\t\n", 0, "the patch holds no line; nothing to play", 1, nullptr},
  });
  // Names that fit are kept whole, and a 799-character line is read.
  TempDir dir;
  // 11 + 786 + 2 = 799 characters.
  const std::string line799 = "VCO1;*FREQ=" + std::string(799 - 13, '0') + "5;";
  Loaded r = load_text(dir, mixer_name + ";\n" + std::string(79, 'V') + "CO;\n" + line799);
  EXPECT_EQ(r.g->load_problems, 1) << r.out;  // the 81-character oscillator name only
  EXPECT_EQ(std::string(r.g->liste_mixer[0]->name), mixer_name);
  EXPECT_EQ(r.g->liste_vco[0]->freq, 5.0f);
}

TEST(LoaderFaults, UnopenableFileIsReportedAndLeavesAnEmptyGraph) {
  TempDir dir;
  const std::string path = dir.file("missing.TSY");
  GENERATOR g{GENERATOR::Empty{}};
  ::testing::internal::CaptureStdout();
  const int rc = g.load_TSY(path.c_str());
  std::fflush(stdout);
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(rc, 0);
  EXPECT_FALSE(g.load_opened);
  EXPECT_EQ(out, "Error: cannot open patch file [" + path + "]: No such file or directory\n");
  EXPECT_EQ(g.nbr_vco + g.nbr_vca + g.nbr_keyboard + g.nbr_mixer + g.nbr_sampler, 0);
  evaluate_a_while(g);
  EXPECT_EQ(g.get_OUTL(), 0.0f);
}

TEST(LoaderFaults, EmptyFieldStopsTheLoadThroughTheExitHook) {
  const struct {
    const char* what;
    const char* text;
    const char* message;
  } cases[] = {
      {"oscillator", "#c\nVCO1;;*FREQ=220;\nVCO2;", "Erreur, au niveau des parametre ligne [2]"},
      {"amplifier", "VCA1;*ATTACK=3;;", "Erreur, au niveau des parametre ligne [1]"},
      {"mixer", "VCO1;\nMIXER1;VCO1:IN1;;", "Erreur, au niveau des parametre ligne [2]"},
      {"sampler", "SAMPLER1;;", "Erreur, au niveau des parametre ligne [1]"},
      {"sequencer", "SEQUENCER1;;\nVCO9;", "Erreur, au niveau des parametre ligne [1]"},
      {"keyboard and amplifier in one name", "KEY_VCA1;;", "Erreur, au niveau des parametre ligne [1]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    ExitRecorder exit_hook;
    Loaded r = load_text(dir, c.text);
    EXPECT_EQ(ExitRecorder::calls(), 1);
    EXPECT_EQ(ExitRecorder::status(), -1);
    EXPECT_NE(r.out.find(std::string(c.message) + "\n"), std::string::npos) << r.out;
    // Nothing after the faulty line is read.
    EXPECT_EQ(r.g->get_VCO_by_name("VCO2"), nullptr);
    EXPECT_EQ(r.g->get_VCO_by_name("VCO9"), nullptr);
    EXPECT_EQ(r.out.find("FREQ=220"), std::string::npos);
  }
}

TEST(LoaderFaultsDeathTest, EmptyFieldEndsTheProcessWithStatus255) {
  TempDir dir;
  const std::string path = dir.write("bad.TSY", "#c\nVCO1;;*FREQ=220;\n");
  EXPECT_EXIT(
      {
        dup2(2, 1);  // the message goes to standard output; the matcher reads stderr
        GENERATOR g(path.c_str());  // the synth's start-up load
      },
      ::testing::ExitedWithCode(255), "Erreur, au niveau des parametre ligne \\[2\\]");
}

}  // namespace
