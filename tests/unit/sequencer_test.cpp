#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "engine/hooks.h"
#include "engine/keyboard.h"
#include "engine/note_table.h"
#include "engine/sequencer.h"

namespace {

uint32_t g_ticks = 0;
uint32_t fake_ticks() { return g_ticks; }

class Sequencer : public testing::Test {
 protected:
  void SetUp() override {
    init_NOTE2FREQ();
    saved_ = tev_ticks_hook;
    tev_ticks_hook = fake_ticks;
  }
  void TearDown() override { tev_ticks_hook = saved_; }

  // A sequencer whose notes are 60 + step, so each step is recognisable.
  static SEQUENCER numbered() {
    SEQUENCER s;
    for (int i = 0; i < 16; i++) s.notes[i] = 60 + i;
    return s;
  }

 private:
  uint32_t (*saved_)() = nullptr;
};

float freq_of(int note) { return static_cast<float>(NOTE2FREQ[note]); }

TEST_F(Sequencer, ConstructorReseedsAndDrawsNotes) {
  for (uint32_t ticks : {0u, 1u, 4321u, 99999u}) {
    SCOPED_TRACE(ticks);
    g_ticks = ticks;
    std::srand(ticks);
    std::vector<int> expected;
    for (int i = 0; i < 16; i++) expected.push_back(std::rand() % 12 + 88);
    const int keyboard_note = std::rand() % 10 + 58;
    std::srand(777);  // whatever came before is forgotten
    std::rand();
    SEQUENCER s;
    KEYBOARD k;  // a keyboard built next continues the same sequence
    EXPECT_EQ(std::vector<int>(s.notes, s.notes + 16), expected);
    EXPECT_EQ(k.note, keyboard_note);
    for (int n : s.notes) {
      EXPECT_GE(n, 88);
      EXPECT_LE(n, 99);
    }
    EXPECT_EQ(s.divider, 2.0f);
    EXPECT_EQ(s.nbr_step, 16);
    EXPECT_EQ(s.step, 0);
    EXPECT_EQ(s.step_counter, 0.0f);
    EXPECT_EQ(s.gate, 0);
    EXPECT_EQ(s.OUTL, 0.0f);
  }
}

TEST_F(Sequencer, DefaultTiming) {
  SEQUENCER s;
  // Evaluation number -> gate, OUTL (0 for silence, else the note of that step).
  EXPECT_EQ(s.evolue(), 1);
  EXPECT_EQ(s.gate, 1);  // the very first evaluation: the counter starts at 0
  EXPECT_EQ(s.OUTL, 0.0f);
  for (int i = 2; i <= 22049; i++) {
    s.evolue();
    ASSERT_EQ(s.gate, 0) << i;
    ASSERT_EQ(s.OUTL, 0.0f) << i;
  }
  s.evolue();  // 22050: half a second, the first step change goes to step 1
  EXPECT_EQ(s.step, 1);
  EXPECT_EQ(s.gate, 1);
  EXPECT_EQ(s.OUTL, freq_of(s.notes[1]));
  s.evolue();  // 22051: the counter is back at 0
  EXPECT_EQ(s.gate, 1);
  EXPECT_EQ(s.OUTL, freq_of(s.notes[1]));
  s.evolue();
  EXPECT_EQ(s.gate, 0);
}

TEST_F(Sequencer, StepLengthFollowsDivider) {
  struct Case {
    float divider;
    int evaluations_per_step;  // 44100 / divider, rounded up
  };
  const Case cases[] = {{2.0f, 22050}, {1.0f, 44100}, {3.0f, 14700}, {1000.0f, 45}, {7.0f, 6300},
                        {14700.0f, 3}, {44100.0f, 1},  {50000.0f, 1},  {1e9f, 1},     {-5.0f, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.divider);
    SEQUENCER s = numbered();
    s.divider = c.divider;
    std::vector<int> changes;
    int previous = s.step;
    for (int i = 1; i <= 5 * c.evaluations_per_step; i++) {
      s.evolue();
      if (s.step != previous) changes.push_back(i);
      previous = s.step;
    }
    ASSERT_EQ(changes.size(), 5u);
    for (std::size_t k = 0; k < changes.size(); k++)
      EXPECT_EQ(changes[k], static_cast<int>(k + 1) * c.evaluations_per_step);
  }
}

TEST_F(Sequencer, StepOrderWrapsAtNbrStep) {
  struct Case {
    int nbr_step;
    std::vector<int> steps;  // steps played from the first change on
  };
  const Case cases[] = {
      {4, {1, 2, 3, 0, 1, 2, 3, 0, 1}},
      {1, {0, 0, 0}},
      {2, {1, 0, 1, 0}},
      {16, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 0, 1}},
      {20, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 0, 1}},  // 16 notes exist
      {0, {0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.nbr_step);
    SEQUENCER s = numbered();
    s.nbr_step = c.nbr_step;
    s.divider = 44100.0f;  // a step change on every evaluation
    for (std::size_t i = 0; i < c.steps.size(); i++) {
      s.evolue();
      EXPECT_EQ(s.step, c.steps[i]) << i;
      EXPECT_EQ(s.OUTL, freq_of(60 + c.steps[i])) << i;
      EXPECT_EQ(s.gate, 1) << i;
    }
  }
  // A step beyond the cycle (nbr_step lowered while running) restarts at 0.
  SEQUENCER s = numbered();
  s.step = 10;
  s.nbr_step = 4;
  s.evolue();
  EXPECT_EQ(s.step, 0);
}

TEST_F(Sequencer, RestsAndNotesOutsideTheTable) {
  struct Case {
    int note;
    int gate_at_change;
    float outl;
  };
  const Case cases[] = {{0, 0, 0.0f},      {58, 1, freq_of(58)},  {1999, 1, freq_of(1999)},
                        {2000, 1, 0.0f},   {-3, 1, 0.0f},         {1 << 30, 1, 0.0f}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.note);
    SEQUENCER s = numbered();
    s.notes[1] = c.note;
    s.divider = 14700.0f;  // three evaluations a step
    s.OUTL = 123.0f;
    s.evolue();
    s.evolue();
    EXPECT_EQ(s.gate, 0);
    s.evolue();  // change to step 1
    EXPECT_EQ(s.step, 1);
    EXPECT_EQ(s.gate, c.gate_at_change);
    EXPECT_EQ(s.OUTL, c.outl);
    s.evolue();  // the evaluation after a change always pulses
    EXPECT_EQ(s.gate, 1);
    s.evolue();
    EXPECT_EQ(s.gate, 0);
    EXPECT_EQ(s.OUTL, c.outl);
  }
}

}  // namespace
