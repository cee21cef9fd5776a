#include <gtest/gtest.h>

#include <cmath>

#include "engine/note_table.h"

namespace {

struct NoteCase {
  int index;
  double expected;
  double tolerance;
};

TEST(NoteTable, TellingEntries) {
  init_NOTE2FREQ();
  const NoteCase cases[] = {
      {0, 15.43385, 1e-5},
      {1, 16.3515978, 0.0},  // the exponent is exactly 1: twice the constant, no rounding
      {46, 220.0, 1e-4},
      {58, 440.0, 1e-5},
      {70, 880.0, 1e-4},
      {69, 830.6094, 1e-3},
      {1524, 2.626e39, 0.001e39},
  };
  for (const NoteCase& c : cases) {
    SCOPED_TRACE(c.index);
    EXPECT_TRUE(std::isfinite(NOTE2FREQ[c.index]));
    EXPECT_NEAR(NOTE2FREQ[c.index], c.expected, c.tolerance);
  }
}

TEST(NoteTable, OctavesDoubleAndTopOverflowsToInfinity) {
  init_NOTE2FREQ();
  for (int i = 0; i + 12 < 1525; i++) {
    SCOPED_TRACE(i);
    // The exponent is rounded to single precision: octaves are exact to 0.03 cent.
    EXPECT_NEAR(NOTE2FREQ[i + 12] / NOTE2FREQ[i], 2.0, 2e-5);
    EXPECT_GT(NOTE2FREQ[i + 1], NOTE2FREQ[i]);
  }
  // The single-precision power reaches 2^128 at entry 1525.
  for (int i = 1525; i < NOTE2FREQ_SIZE; i++) {
    SCOPED_TRACE(i);
    EXPECT_TRUE(std::isinf(NOTE2FREQ[i]) && NOTE2FREQ[i] > 0);
  }
}

TEST(NoteTable, RefillingGivesTheSameValues) {
  init_NOTE2FREQ();
  const double a = NOTE2FREQ[58], b = NOTE2FREQ[1000];
  init_NOTE2FREQ();
  EXPECT_EQ(NOTE2FREQ[58], a);
  EXPECT_EQ(NOTE2FREQ[1000], b);
}

}  // namespace
