#include <gtest/gtest.h>

#include <vector>

#include "engine/mixer.h"

namespace {

TEST(Mixer, NewMixerIsEmpty) {
  MIXER m;
  EXPECT_EQ(m.nbr_inputs, 0);
  for (float v : m.inputs) EXPECT_EQ(v, 0.0f);
  EXPECT_EQ(m.OUTL, 0.0f);
}

TEST(Mixer, GainIsTheTruncatedQuotient) {
  struct Case {
    std::vector<float> inputs;
    float expected;
  };
  const Case cases[] = {
      {{1.0f}, 10000.0f},
      {{-1.0f}, -10000.0f},
      {{1.0f, 2.0f}, 15000.0f},
      {{1.0f, 2.0f, 3.0f}, 19998.0f},  // 3333 each
      {{1.0f, 1.0f, 1.0f, 1.0f}, 10000.0f},
      {std::vector<float>(7, 1.0f), 9996.0f},  // 1428 each
      {std::vector<float>(24, 1.0f), 9984.0f},  // 416 each
      {{0.5f, -0.5f}, 0.0f},
      {{}, 0.0f},  // never evaluated by the graph; direct use gives silence
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.inputs.size());
    MIXER m;
    m.nbr_inputs = static_cast<int>(c.inputs.size());
    for (std::size_t i = 0; i < c.inputs.size(); i++) m.inputs[i] = c.inputs[i];
    m.OUTL = 5.0f;
    EXPECT_EQ(m.evolue(), 1);
    EXPECT_EQ(m.OUTL, c.expected);
  }
}

TEST(Mixer, ReadsOnlyDeclaredInputsAndClampsOnRead) {
  struct Case {
    int nbr_inputs;
    float first;
    float outl, read;
  };
  const Case cases[] = {
      {1, 1.0f, 10000.0f, 10000.0f},
      {1, 4.0f, 40000.0f, 32000.0f},
      {1, -3.3f, -33000.0f, -32000.0f},
      {2, 4.0f, 20000.0f + 5000.0f * 9.0f, 32000.0f},
      {-3, 1.0f, 0.0f, 0.0f},
      {100, 1.0f, 1000.0f, 1000.0f},  // gain 100, but only the 24 inputs that exist are read
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.nbr_inputs);
    MIXER m;
    m.inputs[0] = c.first;
    m.inputs[1] = 9.0f;
    m.nbr_inputs = c.nbr_inputs;
    if (c.nbr_inputs == 1) m.inputs[1] = 1e6f;  // not declared: ignored
    m.evolue();
    EXPECT_EQ(m.OUTL, c.outl);
    EXPECT_EQ(m.get_OUTL(), c.read);
  }
}

}  // namespace
