// The performance keys: which voice and note each key plays, what a press, a
// release and a user retrigger do to a voice, and how they reach the graph.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "audio/stream_callback.h"
#include "engine/generator.h"
#include "audio/voice_keys.h"
#include "tests/support/patch_text.h"

using tevtest::load_patch_text;

namespace {

// Three voices; voice 0 is what the file declares last (KEY3 and VCA3).
const char* kThreeVoices =
    "KEY1;\nKEY2;\nKEY3;\n"
    "VCO1;KEY1:K;*NOTE=0;\nVCO2;KEY2:K;*NOTE=0;\nVCO3;KEY3:K;*NOTE=0;\n"
    "MIXER1;VCO1:IN1;\nMIXER2;VCO2:IN1;\nMIXER3;VCO3:IN1;\n"
    "VCA1;MIXER1:OUT;KEY1:G;\nVCA2;MIXER2:OUT;KEY2:G;\nVCA3;MIXER3:OUT;KEY3:G;\n";

int press(GENERATOR& g, int key) {
  VoiceOp ops[kMaxOpsPerEvent];
  const int n = key_press_ops(g, key, ops);
  for (int i = 0; i < n; i++) apply_voice_op(g, ops[i]);
  return n;
}
int release(GENERATOR& g, int key) {
  VoiceOp ops[kMaxOpsPerEvent];
  const int n = key_release_ops(g, key, ops);
  for (int i = 0; i < n; i++) apply_voice_op(g, ops[i]);
  return n;
}
void advance(GENERATOR& g, int samples) {
  for (int i = 0; i < samples; i++) g.evolue();
}

struct Voice {
  KEYBOARD* key;
  VCA* amp;
};
Voice voice(GENERATOR& g, int v) { return {g.liste_keyboard[v], g.liste_vca[v]}; }

}  // namespace

TEST(PerformanceKeys, EachLetterPlaysItsVoiceAndNote) {
  struct Row {
    char key;
    int voice;
    int note;
  };
  const Row rows[] = {{'z', 0, 58}, {'x', 0, 60}, {'c', 0, 61}, {'v', 0, 63}, {'b', 0, 65},
                      {'n', 0, 66}, {'a', 1, 58}, {'s', 1, 60}, {'d', 1, 61}, {'f', 1, 63},
                      {'g', 1, 65}, {'h', 1, 66}, {'q', 2, 58}, {'w', 2, 60}, {'e', 2, 61},
                      {'r', 2, 63}, {'t', 2, 65}, {'y', 2, 66}};
  const char* names[] = {"KEY3", "KEY2", "KEY1"};
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string("key ") + r.key);
    auto g = load_patch_text(kThreeVoices);
    int other_notes[3];
    for (int v = 0; v < 3; v++) other_notes[v] = g->liste_keyboard[v]->note;
    advance(*g, 10);

    EXPECT_EQ(press(*g, r.key), 3);
    const Voice p = voice(*g, r.voice);
    EXPECT_STREQ(p.key->name, names[r.voice]);
    EXPECT_EQ(p.key->note, r.note);
    EXPECT_EQ(p.key->pressed, 1);
    EXPECT_EQ(p.amp->active, 1);
    EXPECT_EQ(p.amp->released, 0);
    for (int v = 0; v < 3; v++) {
      if (v == r.voice) continue;
      EXPECT_EQ(g->liste_keyboard[v]->pressed, 0) << "voice " << v;
      EXPECT_EQ(g->liste_keyboard[v]->note, other_notes[v]) << "voice " << v;
      EXPECT_EQ(g->liste_vca[v]->active, 0) << "voice " << v;
    }
    // The voice sounds at its note once the envelope has risen.
    advance(*g, 300);
    EXPECT_NE(g->get_OUTL(), 0.0f);

    EXPECT_EQ(release(*g, r.key), 2);
    EXPECT_EQ(p.key->pressed, 0);
    EXPECT_EQ(p.amp->released, 1);
    EXPECT_EQ(p.key->note, r.note) << "a release keeps the note";
    advance(*g, 300);  // attack over, release constant 0: silent at once
    EXPECT_EQ(g->get_OUTL(), 0.0f);
  }
}

TEST(PerformanceKeys, KeysOutsideTheTableDoNothing) {
  auto g = load_patch_text(kThreeVoices);
  const int keys[] = {'1', '0', '+', '-', ',', ';', 'i', 'u', 'm', 'p', 'Z', 'A', ' ',
                      TEV_KEY_ESCAPE, 273 /* up arrow */, 282 /* F1 */, -1, 0};
  for (int key : keys) {
    VoiceOp ops[kMaxOpsPerEvent];
    EXPECT_EQ(key_press_ops(*g, key, ops), 0) << key;
    EXPECT_EQ(key_release_ops(*g, key, ops), 0) << key;
  }
}

TEST(PerformanceKeys, SecondKeyOfAVoiceRestartsItAndEitherReleaseEndsIt) {
  auto g = load_patch_text(kThreeVoices);
  const Voice v0 = voice(*g, 0);
  press(*g, 'z');
  advance(*g, 300);
  ASSERT_GT(v0.amp->OUTL, 0.5f);

  press(*g, 'x');  // z still held
  EXPECT_EQ(v0.key->note, 60);
  EXPECT_EQ(v0.key->pressed, 1);
  EXPECT_EQ(v0.amp->OUTL, 0.0f) << "the envelope restarts from 0 with no release in between";
  EXPECT_EQ(v0.amp->elapsed, 0.0f);
  EXPECT_EQ(v0.amp->released, 0);

  release(*g, 'z');  // x still held, the voice is released all the same
  EXPECT_EQ(v0.key->pressed, 0);
  EXPECT_EQ(v0.amp->released, 1);
  EXPECT_EQ(v0.key->note, 60);
}

TEST(PerformanceKeys, ThreeVoicesHeldTogether) {
  auto g = load_patch_text(kThreeVoices);
  press(*g, 'x');
  press(*g, 'g');
  press(*g, 'y');
  const int notes[] = {60, 65, 66};
  for (int v = 0; v < 3; v++) {
    EXPECT_EQ(voice(*g, v).key->pressed, 1);
    EXPECT_EQ(voice(*g, v).key->note, notes[v]);
    EXPECT_EQ(voice(*g, v).amp->active, 1);
  }
  advance(*g, 300);
  release(*g, 'g');
  EXPECT_EQ(voice(*g, 0).key->pressed, 1);
  EXPECT_EQ(voice(*g, 0).amp->released, 0);
  EXPECT_EQ(voice(*g, 1).key->pressed, 0);
  EXPECT_EQ(voice(*g, 1).amp->released, 1);
  EXPECT_EQ(voice(*g, 2).key->pressed, 1);
  EXPECT_EQ(voice(*g, 2).amp->released, 0);
  advance(*g, 10);
  EXPECT_EQ(voice(*g, 1).amp->OUTL, 0.0f);
  EXPECT_GT(voice(*g, 0).amp->OUTL, 0.0f);
  EXPECT_GT(voice(*g, 2).amp->OUTL, 0.0f);
}

TEST(PerformanceKeys, ReturnDrivesAmplifierZeroOnly) {
  auto g = load_patch_text(kThreeVoices);
  const Voice v0 = voice(*g, 0);
  press(*g, 'z');
  advance(*g, 300);
  EXPECT_EQ(press(*g, TEV_KEY_RETURN), 1);
  EXPECT_EQ(v0.amp->OUTL, 0.0f);
  EXPECT_EQ(v0.amp->elapsed, 0.0f);
  EXPECT_EQ(v0.amp->active, 1);
  EXPECT_EQ(v0.key->note, 58);
  EXPECT_EQ(v0.key->pressed, 1);

  EXPECT_EQ(release(*g, TEV_KEY_RETURN), 1);
  EXPECT_EQ(v0.amp->released, 1);
  EXPECT_EQ(v0.key->pressed, 1) << "Return leaves the keyboard as it was";
  EXPECT_EQ(voice(*g, 1).amp->active, 0);

  // One amplifier and no keyboard at all: Return still plays it, letters do not.
  auto lone = load_patch_text("VCA1;\n");
  EXPECT_EQ(press(*lone, TEV_KEY_RETURN), 1);
  EXPECT_EQ(lone->liste_vca[0]->active, 1);
  EXPECT_EQ(press(*lone, 'z'), 0);
  auto none = load_patch_text("KEY1;\n");
  EXPECT_EQ(press(*none, TEV_KEY_RETURN), 0);
  EXPECT_EQ(release(*none, TEV_KEY_RETURN), 0);
}

// A voice needs both its keyboard and its amplifier; events for a voice the patch
// lacks make no operation and leave the other voices playable.
TEST(PerformanceKeys, VoicesThePatchLacks) {
  struct Row {
    int keyboards;
    int amplifiers;
    int playable;  // voices 0 .. playable - 1 answer
  };
  const Row rows[] = {{3, 3, 3}, {2, 3, 2}, {3, 1, 1}, {0, 3, 0}, {1, 0, 0}, {5, 4, 3}};
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << r.keyboards << " keyboards, " << r.amplifiers
                                    << " amplifiers");
    std::string text;
    for (int i = 1; i <= r.keyboards; i++) text += "KEY" + std::to_string(i) + ";\n";
    for (int i = 1; i <= r.amplifiers; i++) text += "VCA" + std::to_string(i) + ";\n";
    auto g = load_patch_text(text);
    const char first_key[] = {'z', 'a', 'q'};
    for (int v = 0; v < 3; v++) {
      const int expect_press = v < r.playable ? 3 : 0;
      const int expect_release = v < r.playable ? 2 : 0;
      EXPECT_EQ(press(*g, first_key[v]), expect_press) << "voice " << v;
      EXPECT_EQ(release(*g, first_key[v]), expect_release) << "voice " << v;
    }
    const int usable = std::min(r.keyboards, r.amplifiers);
    VoiceOp ops[kMaxOpsPerEvent];
    for (int k = -2; k < usable + 3; k++) {
      EXPECT_EQ(user_retrigger_ops(*g, k, ops), k >= 0 && k < usable ? 5 : 0) << "code " << k;
    }
  }
}

TEST(PerformanceKeys, UserRetriggerReleasesThenPlaysANoteFrom53To62) {
  auto g = load_patch_text(kThreeVoices);
  std::set<int> notes;
  for (int i = 0; i < 2000; i++) {
    VoiceOp ops[kMaxOpsPerEvent];
    const int k = i % 3;
    ASSERT_EQ(user_retrigger_ops(*g, k, ops), 5);
    const VoiceOp::Kind order[] = {VoiceOp::KeyboardUntrig, VoiceOp::VcaUntrig, VoiceOp::SetNote,
                                   VoiceOp::KeyboardTrig, VoiceOp::VcaTrig};
    for (int j = 0; j < 5; j++) {
      ASSERT_EQ(ops[j].kind, order[j]);
      ASSERT_EQ(ops[j].voice, k);
    }
    ASSERT_GE(ops[2].note, 53);
    ASSERT_LE(ops[2].note, 62);
    notes.insert(ops[2].note);
    for (const VoiceOp& op : ops) apply_voice_op(*g, op);
    EXPECT_EQ(g->liste_keyboard[k]->note, ops[2].note);
    EXPECT_EQ(g->liste_keyboard[k]->pressed, 1);
    EXPECT_EQ(g->liste_vca[k]->released, 0);
  }
  EXPECT_EQ(notes.size(), 10u);
}

// Operations queued for the audio thread are applied, in order, before the next
// frame: a press and a release queued together still make a short note, and the
// voice ends released.
TEST(PerformanceKeys, TapShorterThanABlockStillSounds) {
  auto g = load_patch_text(
      "KEY1;\nVCO1;KEY1:K;*NOTE=0;\nMIXER1;VCO1:IN1;\nVCA1;MIXER1:OUT;KEY1:G;\n");
  gen = g.get();
  VoiceOp ops[kMaxOpsPerEvent];
  const int np = key_press_ops(*g, 'z', ops);
  ASSERT_TRUE(g_voice_ops.push(ops, np));
  const int nr = key_release_ops(*g, 'z', ops);
  ASSERT_TRUE(g_voice_ops.push(ops, nr));

  std::vector<int16_t> block(2 * 8192);
  instrument_callback(nullptr, block.data(), 32768, nullptr);
  gen = nullptr;

  const Voice v0 = voice(*g, 0);
  EXPECT_EQ(v0.key->pressed, 0);
  EXPECT_EQ(v0.key->note, 58);
  EXPECT_EQ(v0.amp->released, 1);
  int loud = 0, last_sound = -1;
  for (int f = 0; f < 8192; f++) {
    if (block[2 * f] != 0) {
      loud++;
      last_sound = f;
    }
  }
  // The default attack lasts 200 samples; with no release time it then falls silent.
  EXPECT_GT(loud, 150);
  EXPECT_LT(last_sound, 210);
}

TEST(PerformanceKeys, QueuedOperationsApplyBeforeTheNextFrame) {
  auto g = load_patch_text("KEY1;\nVCA1;KEY1:G;\n");
  gen = g.get();
  VoiceOp ops[kMaxOpsPerEvent];
  ASSERT_TRUE(g_voice_ops.push(ops, key_press_ops(*g, 'x', ops)));
  int16_t frame[2];
  instrument_callback(nullptr, frame, 4, nullptr);
  EXPECT_EQ(g->liste_keyboard[0]->note, 60);
  EXPECT_EQ(g->liste_keyboard[0]->pressed, 1);
  EXPECT_EQ(g->liste_vca[0]->elapsed, 0.005f) << "the envelope ran in that very frame";

  ASSERT_TRUE(g_voice_ops.push(ops, key_release_ops(*g, 'x', ops)));
  instrument_callback(nullptr, frame, 0, nullptr);
  EXPECT_EQ(g->liste_keyboard[0]->pressed, 1) << "an empty block applies nothing";
  instrument_callback(nullptr, frame, 4, nullptr);
  EXPECT_EQ(g->liste_keyboard[0]->pressed, 0);
  EXPECT_EQ(g->liste_vca[0]->released, 1);
  gen = nullptr;
}
