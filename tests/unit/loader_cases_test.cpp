// Patch loader: one pass over tokens, module kinds by name, parameters, links,
// note offsets, and the lookups the links go through.
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/unit/patch_fixture.h"

namespace {

using V = std::vector<std::string>;

struct Case {
  const char* what;
  const char* text;
  V trace;  // the exact printed lines; empty: not checked
  std::function<void(GENERATOR&)> check;
};

void run_cases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    ExitRecorder exit_hook;
    Loaded r = load_text(dir, c.text);
    if (!c.trace.empty()) {
      EXPECT_EQ(lines_of(r.out), c.trace) << r.out;
    }
    EXPECT_EQ(ExitRecorder::calls(), 0);
    EXPECT_EQ(r.g->load_problems, 0) << r.out;
    if (c.check) c.check(*r.g);
  }
}

TEST(Loader, TokensCommentsAndLineEndings) {
  run_cases({
      {"a comment with blanks splits; each extra word is a line of its own",
       "# two words\nVCO1;\n",
       {"Ligne 2 semble avoir moins de 2 parametres", "Ligne 3 semble avoir moins de 2 parametres",
        "OBJET [VCO1]", "VCO"},
       nullptr},
      {"blanks and tabs split one physical line into several tokens",
       "KEY1;\tVCO1;  \n\n\n   VCA1;\n",
       {"OBJET [KEY1]", "KEYBOARD", "OBJET [VCO1]", "VCO", "OBJET [VCA1]", "VCA"},
       nullptr},
      {"a line without its closing ; loses its last field",
       "VCO1;*FREQ=220",
       {"OBJET [VCO1]", "VCO"},
       [](GENERATOR& g) {
         EXPECT_EQ(g.liste_vco[0]->freq, 440.0f);
         EXPECT_EQ(g.liste_vco[0]->base_freq, 440.0f);
       }},
      {"a token without any ; is reported and skipped",
       "ABC\nVCO1;\n",
       {"Ligne 1 semble avoir moins de 2 parametres", "OBJET [VCO1]", "VCO"},
       nullptr},
      {"anything after the last ; is never read",
       "VCO1;*FREQ=100;*FREQ=300",
       {"OBJET [VCO1]", "VCO", "paramSET : [*FREQ=100]"},
       [](GENERATOR& g) { EXPECT_EQ(g.liste_vco[0]->freq, 100.0f); }},
      {"a name that passes no test prints only its OBJET line",
       "FOO;*FREQ=1;BAR:X;\n",
       {"OBJET [FOO]"},
       [](GENERATOR& g) {
         EXPECT_TRUE(g.liste_vco.empty());
         EXPECT_TRUE(g.liste_vca.empty());
       }},
      {"a keyboard ignores its fields, even empty ones",
       "KEY1;*FREQ=100;;\n",
       {"OBJET [KEY1]", "KEYBOARD"},
       [](GENERATOR& g) {
         EXPECT_EQ(g.nbr_keyboard, 1);
         EXPECT_TRUE(g.liste_vco.empty());
       }},
      {"KEY_VCA1 makes a keyboard and an amplifier, each found under that name",
       "KEY_VCA1;*ATTACK=7;\n",
       {"OBJET [KEY_VCA1]", "KEYBOARD", "VCA", "paramSET : [*ATTACK=7]"},
       [](GENERATOR& g) {
         ASSERT_EQ(g.nbr_keyboard, 1);
         ASSERT_EQ(g.nbr_vca, 1);
         EXPECT_EQ(g.get_KEYBOARD_by_name("KEY_VCA1"), g.liste_keyboard[0]);
         EXPECT_EQ(g.get_VCA_by_name("KEY_VCA1"), g.liste_vca[0]);
         EXPECT_EQ(g.liste_vca[0]->attack_time, 7.0f);
       }},
      {"VCA_LFO makes only an oscillator; an LFO line is traced as VCO",
       "VCA_LFO;\n",
       {"OBJET [VCA_LFO]", "VCO"},
       [](GENERATOR& g) {
         EXPECT_EQ(g.nbr_vco, 1);
         EXPECT_EQ(g.nbr_vca, 0);
       }},
      {"SEQUENCER, KEY and SAMPLER tests are independent: one name, three modules",
       "SEQUENCER_KEY_SAMPLER;\n",
       {"OBJET [SEQUENCER_KEY_SAMPLER]", "SEQUENCER", "KEYBOARD", "[0 ]", "SAMPLER"},
       [](GENERATOR& g) {
         EXPECT_EQ(g.nbr_sequencer, 1);
         EXPECT_EQ(g.nbr_keyboard, 1);
         EXPECT_EQ(g.nbr_sampler, 1);
       }},
  });
}

TEST(Loader, ParameterValues) {
  auto type_is = [](type_generateur t) {
    return [t](GENERATOR& g) { EXPECT_EQ(g.liste_vco[0]->type, t); };
  };
  run_cases({
      {"*TYPE=9 gives a sine", "VCO1;*TYPE=9;", {}, type_is(SINE)},
      {"*TYPE=0 gives a sine", "VCO1;*TYPE=0;", {}, type_is(SINE)},
      {"*TYPE=2x gives a saw", "VCO1;*TYPE=2x;", {}, type_is(SAW)},
      {"*TYPE=5 gives noise", "VCO1;*TYPE=5;", {}, type_is(NOISE)},
      {"*TYPE=-3 gives a sine", "VCO1;*TYPE=-3;", {}, type_is(SINE)},
      {"*AMOUNT_FREQ=2 sets both: keyword tests are not exclusive",
       "VCO1;*AMOUNT_FREQ=2;",
       {},
       [](GENERATOR& g) {
         VCO* o = g.liste_vco[0];
         EXPECT_EQ(o->amount, 2.0f);
         EXPECT_EQ(o->base_amount, 2.0f);
         EXPECT_EQ(o->freq, 2.0f);
         EXPECT_EQ(o->base_freq, 2.0f);
       }},
      {"a value without digits is 0",
       "VCO1;*FREQ=abc;",
       {},
       [](GENERATOR& g) { EXPECT_EQ(g.liste_vco[0]->freq, 0.0f); }},
      {"envelope values are whole numbers",
       "VCA1;*ATTACK=2.9;*DECAY=0.5;*SUSTAIN=1.99;*RELEASE=400.7;*BYPASS=1;",
       {},
       [](GENERATOR& g) {
         VCA* a = g.liste_vca[0];
         EXPECT_EQ(a->attack_time, 2.0f);
         EXPECT_EQ(a->decay_time, 0.0f);
         EXPECT_EQ(a->sustain_level, 1.0f);
         EXPECT_EQ(a->release_time, 400.0f);
         EXPECT_EQ(a->bypass, 1);
       }},
      {"unset envelope values keep the constructor's",
       "VCA1;*SUSTAIN=1;",
       {},
       [](GENERATOR& g) {
         VCA* a = g.liste_vca[0];
         EXPECT_EQ(a->attack_time, 1.0f);
         EXPECT_EQ(a->decay_time, 100.0f);
         EXPECT_EQ(a->release_time, 0.0f);
         EXPECT_EQ(a->bypass, 0);
       }},
      {"sequencer divider, steps and step notes; sequencer parameters print nothing",
       "SEQUENCER1;*DIVIDER=7.5;*NBR_STEP=3;*NOTE_0=60;*NOTE_15=1999;*NOTE_9=0;",
       {"OBJET [SEQUENCER1]", "SEQUENCER"},
       [](GENERATOR& g) {
         SEQUENCER* s = g.liste_sequencer[0];
         EXPECT_EQ(s->divider, 7.5f);
         EXPECT_EQ(s->nbr_step, 3);
         EXPECT_EQ(s->notes[0], 60);
         EXPECT_EQ(s->notes[15], 1999);
         EXPECT_EQ(s->notes[9], 0);
       }},
      {"the step index starts at the key's seventh character, whatever the sixth",
       "SEQUENCER1;*NOTEX12=40;",
       {},
       [](GENERATOR& g) { EXPECT_EQ(g.liste_sequencer[0]->notes[12], 40); }},
  });
}

TEST(Loader, NoteOffsetsFollowEveryParameterField) {
  auto notes_are = [](std::vector<int> want) {
    return [want](GENERATOR& g) {
      EXPECT_EQ(g.notes_vco, want);
      EXPECT_EQ(g.nbr_notes_vco, static_cast<int>(want.size()));
    };
  };
  run_cases({
      {"*NOTE then one more parameter adds the offset twice", "VCO1;*NOTE=3;*FREQ=100;", {},
       notes_are({3, 3})},
      {"*NOTE as the last parameter adds it once", "VCO1;*FREQ=100;*NOTE=3;", {}, notes_are({3})},
      {"an LFO line adds nothing", "LFO1;*NOTE=3;", {}, notes_are({})},
      {"-1 means no offset", "VCO1;*NOTE=-1;", {}, notes_are({})},
      {"link fields after *NOTE add nothing", "KEY1;\nVCO1;*NOTE=2;KEY1:P;", {}, notes_are({2})},
      {"*NOTE then two parameters adds three", "VCO1;*NOTE=5;*TYPE=1;*AMOUNT=1;", {},
       notes_are({5, 5, 5})},
      {"a later *NOTE on the line replaces the offset", "VCO1;*NOTE=1;*NOTE=7;", {},
       notes_are({7, 1})},
      {"lines add newest first", "VCO1;*NOTE=1;\nVCO2;*NOTE=2;\nLFO1;*NOTE=9;\nVCO3;*NOTE=3;", {},
       notes_are({3, 2, 1})},
      {"a name holding both VCO and LFO adds offsets", "LFO_VCO;*NOTE=4;", {}, notes_are({4})},
  });
}

TEST(Loader, LinksAndLookups) {
  run_cases({
      {"with exactly one keyboard, any keyboard name reaches it",
       "KEY1;\nVCO1;KEY_OTHER:P;\nVCA1;KEY_NONE:G;",
       {"OBJET [KEY1]", "KEYBOARD", "OBJET [VCO1]", "VCO", "liens_key_vca.fils_out.insert()",
        "paramLNK : [KEY_OTHER][P]", "OBJET [VCA1]", "VCA", "liens_key_vca.fils_out.insert()",
        "paramLNK : [KEY_NONE][G]"},
       [](GENERATOR& g) {
         ASSERT_EQ(g.nbr_liens_key_vco, 1);
         EXPECT_EQ(g.liens_key_vco[0].source, g.liste_keyboard[0]);
         ASSERT_EQ(g.nbr_liens_key_vca, 1);
         EXPECT_EQ(g.liens_key_vca[0].source, g.liste_keyboard[0]);
       }},
      {"with two keyboards only the exact name matches",
       "KEY1;\nKEY2;\nVCO1;KEY1:P;",
       {},
       [](GENERATOR& g) {
         ASSERT_EQ(g.nbr_liens_key_vco, 1);
         EXPECT_STREQ(g.liens_key_vco[0].source->name, "KEY1");
         EXPECT_EQ(g.get_KEYBOARD_by_name("KEY3"), nullptr);
       }},
      {"of two oscillators with one name, a link reaches the later one",
       "VCO1;*FREQ=100;\nVCO1;*FREQ=200;\nVCO2;VCO1:MOD_FREQ;",
       {},
       [](GENERATOR& g) {
         ASSERT_EQ(g.nbr_liens_vco_vco, 1);
         EXPECT_EQ(g.liens_vco_vco[0].fils_out[0]->base_freq, 200.0f);
         EXPECT_EQ(g.get_VCO_by_name("VCO1"), g.liste_vco[1]);
       }},
      {"an oscillator with two keyboard links: the later field's keyboard drives it",
       "KEY1;\nKEY2;\nVCO1;KEY1:P;KEY2:P;",
       {},
       [](GENERATOR& g) {
         EXPECT_EQ(g.nbr_liens_key_vco, 2);
         EXPECT_STREQ(g.get_KEYBOARD_by_VCO(g.liste_vco[0])->name, "KEY2");
       }},
      {"oscillator links: words parallel to sources, last field first",
       "LFO1;\nLFO2;\nVCO1;LFO1:MOD_AMP;LFO2:MOD_PHASE;",
       {},
       [](GENERATOR& g) {
         ASSERT_EQ(g.nbr_liens_vco_vco, 1);
         const LINK_VCO_VCO& r = g.liens_vco_vco[0];
         EXPECT_EQ(names_of(r.fils_out), V({"LFO2", "LFO1"}));
         EXPECT_EQ(words_of(r.param_out), V({"MOD_PHASE", "MOD_AMP"}));
         EXPECT_EQ(r.pere_in, g.liste_vco[0]);
       }},
      {"a sampler with two oscillator links gets two records, the later first",
       "LFO1;\nLFO2;\nSAMPLER1;LFO1:MOD_AMP;LFO2:MOD_FREQ;",
       {"OBJET [LFO1]", "VCO", "OBJET [LFO2]", "VCO", "OBJET [SAMPLER1]", "[0 ]", "SAMPLER",
        "liens_vco_vco.fils_out.insert()", "paramLNK : [LFO1][MOD_AMP]",
        "liens_vco_vco.fils_out.insert()", "paramLNK : [LFO2][MOD_FREQ]"},
       [](GENERATOR& g) {
         ASSERT_EQ(g.liens_vco_sampler.size(), 2u);
         EXPECT_EQ(names_of(g.liens_vco_sampler[0].fils_out), V({"LFO2"}));
         EXPECT_EQ(words_of(g.liens_vco_sampler[0].param_out), V({"MOD_FREQ"}));
         EXPECT_EQ(names_of(g.liens_vco_sampler[1].fils_out), V({"LFO1"}));
         EXPECT_EQ(g.liens_vco_sampler[1].pere_in, g.liste_sampler[0]);
       }},
      {"a sampler's keyboard link",
       "KEY1;\nSAMPLER1;KEY1:PITCH;",
       {"OBJET [KEY1]", "KEYBOARD", "OBJET [SAMPLER1]", "[0 ]", "SAMPLER",
        "paramLNK : [KEY1][PITCH]"},
       [](GENERATOR& g) {
         EXPECT_EQ(g.get_KEYBOARD_by_SAMPLER(g.liste_sampler[0]), g.liste_keyboard[0]);
       }},
      {"a sequencer with only oscillator links adds one record and no other",
       "VCO1;\nLFO1;\nSEQUENCER1;VCO1:A;LFO1:B;",
       {"OBJET [VCO1]", "VCO", "OBJET [LFO1]", "VCO", "OBJET [SEQUENCER1]", "SEQUENCER",
        "paramLNK : [VCO1][A]", "paramLNK : [LFO1][B]"},
       [](GENERATOR& g) {
         ASSERT_EQ(g.nbr_liens_vco_sequencer, 1);
         EXPECT_EQ(names_of(g.liens_vco_sequencer[0].fils_out), V({"LFO1", "VCO1"}));
         EXPECT_EQ(g.nbr_liens_vca_sequencer, 0);
         EXPECT_EQ(g.nbr_liens_sampler_sequencer, 0);
         EXPECT_TRUE(g.liens_vca_sequencer.empty());
         EXPECT_TRUE(g.liens_sampler_sequencer.empty());
       }},
      {"a sequencer's three kinds of link; a source of no kind is dropped silently",
       "VCO1;\nVCA1;\nSAMPLER1;\nSEQUENCER1;VCA1:G;SAMPLER1:H;VCO1:P;MIXER1:Q;",
       {},
       [](GENERATOR& g) {
         EXPECT_EQ(g.nbr_liens_vco_sequencer, 1);
         EXPECT_EQ(g.nbr_liens_vca_sequencer, 1);
         EXPECT_EQ(g.nbr_liens_sampler_sequencer, 1);
         EXPECT_EQ(names_of(g.liens_vca_sequencer[0].fils_out), V({"VCA1"}));
         EXPECT_EQ(names_of(g.liens_sampler_sequencer[0].fils_out), V({"SAMPLER1"}));
       }},
      {"a mixer with an oscillator and a sampler: two passes, each field traced twice",
       "VCO1;\nSAMPLER1;\nMIXER1;VCO1:IN1;SAMPLER1:IN2;",
       {"OBJET [VCO1]", "VCO", "OBJET [SAMPLER1]", "[0 ]", "SAMPLER", "OBJET [MIXER1]", "MIXER",
        "paramLNK : [VCO1][IN1]", "paramLNK : [SAMPLER1][IN2]", "paramLNK : [VCO1][IN1]",
        "paramLNK : [SAMPLER1][IN2]"},
       [](GENERATOR& g) {
         EXPECT_EQ(g.liste_mixer[0]->nbr_inputs, 2);
         ASSERT_EQ(g.nbr_liens_vco_mixer, 1);
         ASSERT_EQ(g.nbr_liens_sampler_mixer, 1);
         EXPECT_EQ(names_of(g.liens_vco_mixer[0].fils_out), V({"VCO1"}));
         EXPECT_EQ(names_of(g.liens_sampler_mixer[0].fils_out), V({"SAMPLER1"}));
         EXPECT_EQ(words_of(g.liens_sampler_mixer[0].param_out), V({"IN2"}));
         EXPECT_EQ(g.liens_sampler_mixer[0].pere_in, g.liste_mixer[0]);
       }},
      {"a mixer's unmatched field is traced in both passes; *fields are links there",
       "VCO1;\nMIXER1;VCO1:IN1;*X:IN2;",
       {"OBJET [VCO1]", "VCO", "OBJET [MIXER1]", "MIXER", "paramLNK : [VCO1][IN1]",
        "paramLNK : [*X][IN2]", "paramLNK : [VCO1][IN1]", "paramLNK : [*X][IN2]"},
       [](GENERATOR& g) { EXPECT_EQ(g.liste_mixer[0]->nbr_inputs, 1); }},
      {"an amplifier's mixer link keeps its word; its keyboard link does not",
       "KEY1;\nVCO1;\nMIXER1;VCO1:IN1;\nVCA1;MIXER1:OUT;KEY1:GATE;",
       {},
       [](GENERATOR& g) {
         ASSERT_EQ(g.nbr_liens_mixer_vca, 1);
         EXPECT_EQ(words_of(g.liens_mixer_vca[0].param_out), V({"OUT"}));
         EXPECT_EQ(g.liens_mixer_vca[0].source, g.liste_mixer[0]);
         ASSERT_EQ(g.nbr_liens_key_vca, 1);
       }},
      {"an oscillator's sampler link",
       "SAMPLER1;\nVCO1;SAMPLER1:MOD_AMP;",
       {"OBJET [SAMPLER1]", "[0 ]", "SAMPLER", "OBJET [VCO1]", "VCO",
        "LINK_SAMPLER_VCO.fils_out.insert()", "paramLNK : [SAMPLER1][MOD_AMP]"},
       [](GENERATOR& g) {
         ASSERT_EQ(g.nbr_liens_sampler_vco, 1);
         EXPECT_EQ(words_of(g.liens_sampler_vco[0].param_out), V({"MOD_AMP"}));
         EXPECT_EQ(g.nbr_liens_vco_vco, 0);
       }},
  });
}

TEST(Loader, EveryCounterEqualsItsListAfterABiggerPatch) {
  TempDir dir;
  Loaded r = load_text(dir,
                       "KEY1;\nKEY2;\nLFO1;*FREQ=3;\nVCO1;KEY1:P;LFO1:MOD_FREQ;*NOTE=0;\n"
                       "VCO2;KEY2:P;*NOTE=7;\nSAMPLER1;LFO1:MOD_AMP;\nLFO3;SAMPLER1:MOD_FREQ;\nMIXER1;VCO1:IN1;VCO2:IN2;\n"
                       "MIXER2;SAMPLER1:IN1;\nVCA1;MIXER1:OUT;KEY1:G;\nVCA2;MIXER2:OUT;KEY2:G;\n"
                       "SEQUENCER1;VCO2:P;VCA2:G;SAMPLER1:H;\n");
  GENERATOR& g = *r.g;
  EXPECT_EQ(g.load_problems, 0) << r.out;
  const std::pair<int, size_t> pairs[] = {
      {g.nbr_liens_vco_mixer, g.liens_vco_mixer.size()},
      {g.nbr_liens_sampler_mixer, g.liens_sampler_mixer.size()},
      {g.nbr_liens_mixer_vca, g.liens_mixer_vca.size()},
      {g.nbr_liens_key_vca, g.liens_key_vca.size()},
      {g.nbr_liens_key_vco, g.liens_key_vco.size()},
      {g.nbr_liens_sampler_vco, g.liens_sampler_vco.size()},
      {g.nbr_liens_vco_vco, g.liens_vco_vco.size()},
      {g.nbr_liens_vco_sequencer, g.liens_vco_sequencer.size()},
      {g.nbr_liens_vca_sequencer, g.liens_vca_sequencer.size()},
      {g.nbr_vco, g.liste_vco.size()},
      {g.nbr_notes_vco, g.notes_vco.size()},
      {g.nbr_vca, g.liste_vca.size()},
      {g.nbr_mixer, g.liste_mixer.size()},
      {g.nbr_keyboard, g.liste_keyboard.size()},
      {g.nbr_sampler, g.liste_sampler.size()},
      {g.nbr_sequencer, g.liste_sequencer.size()},
      {g.nbr_liens_sampler_sequencer, g.liens_sampler_sequencer.size()},
  };
  for (size_t i = 0; i < sizeof pairs / sizeof pairs[0]; i++) {
    SCOPED_TRACE(i);
    EXPECT_EQ(static_cast<size_t>(pairs[i].first), pairs[i].second);
    EXPECT_GT(pairs[i].second, 0u);
  }
}

TEST(Loader, EmptyPatchLeavesEveryListEmptyAndEveryLookupNull) {
  TempDir dir;
  Loaded r = load_text(dir, "#only_a_comment\n");
  GENERATOR& g = *r.g;
  EXPECT_TRUE(g.liste_vco.empty() && g.liste_vca.empty() && g.liste_keyboard.empty() &&
              g.liste_mixer.empty() && g.liste_sampler.empty() && g.liste_sequencer.empty() &&
              g.notes_vco.empty());
  char name[] = "VCO1";
  EXPECT_EQ(g.get_VCO_by_name(name), nullptr);
  EXPECT_EQ(g.get_VCA_by_name(name), nullptr);
  EXPECT_EQ(g.get_MIXER_by_name(name), nullptr);
  EXPECT_EQ(g.get_SAMPLER_by_name(name), nullptr);
  EXPECT_EQ(g.get_KEYBOARD_by_name(name), nullptr);
  EXPECT_EQ(g.get_KEYBOARD_by_VCO(nullptr), nullptr);
  EXPECT_EQ(g.get_KEYBOARD_by_SAMPLER(nullptr), nullptr);
}

std::string g_title_text;
void keep_title(const char* t) { g_title_text = t ? t : "(null)"; }

TEST(Loader, WithoutAPathTheDefaultFileIsReadAndNamesTheWindow) {
  TempDir dir;
  dir.write("SYNTH_2.TSY", "VCO_DEFAULT;\n");
  char old[4096];
  ASSERT_NE(getcwd(old, sizeof old), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  auto saved = tev_caption_hook;
  tev_caption_hook = keep_title;
  ::testing::internal::CaptureStdout();
  GENERATOR g(nullptr);
  ::testing::internal::GetCapturedStdout();
  tev_caption_hook = saved;
  ASSERT_EQ(chdir(old), 0);
  EXPECT_EQ(g_title_text, "SYNTH_2.TSY");
  ASSERT_EQ(g.nbr_vco, 1);
  EXPECT_STREQ(g.liste_vco[0]->name, "VCO_DEFAULT");
}

}  // namespace
