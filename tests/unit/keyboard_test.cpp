#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "engine/keyboard.h"
#include "engine/note_table.h"

namespace {

TEST(Keyboard, FrequencyWhilePressed) {
  init_NOTE2FREQ();
  struct Case {
    int pressed, note;
    float expected;
  };
  const Case cases[] = {
      {0, 58, 0.0f},
      {1, 58, static_cast<float>(NOTE2FREQ[58])},
      {1, 46, static_cast<float>(NOTE2FREQ[46])},
      {1, 0, static_cast<float>(NOTE2FREQ[0])},
      {0, 1999, 0.0f},
      {1, 1999, INFINITY},  // not clamped
      {1, 2000, 0.0f},      // outside the table: silent rather than a stray read
      {1, -1, 0.0f},
      {1, 1 << 30, 0.0f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.pressed << " " << c.note);
    KEYBOARD k;
    k.note = c.note;
    if (c.pressed) k.TRIG();
    EXPECT_EQ(k.get_OUTL(), c.expected);
    EXPECT_EQ(k.evolue(), 1);
    EXPECT_EQ(k.OUTL, 0.0f);
  }
  KEYBOARD k;
  k.note = 58;
  k.TRIG();
  EXPECT_NEAR(k.get_OUTL(), 440.0f, 1e-4);
  k.UNTRIG();
  EXPECT_EQ(k.get_OUTL(), 0.0f);
}

TEST(Keyboard, ConstructorDrawsOneNoteFromTheSharedGenerator) {
  for (unsigned seed : {1u, 2u, 77u, 123456u}) {
    SCOPED_TRACE(seed);
    std::srand(seed);
    const int expected = std::rand() % 10 + 58;
    const int next = std::rand();
    std::srand(seed);
    KEYBOARD k;
    EXPECT_EQ(k.note, expected);
    EXPECT_EQ(std::rand(), next);
    EXPECT_EQ(k.pressed, 0);
    EXPECT_EQ(k.OUTL, 0.0f);
  }
  for (int i = 0; i < 200; i++) {
    KEYBOARD k;
    ASSERT_GE(k.note, 58);
    ASSERT_LE(k.note, 67);
  }
}

}  // namespace
