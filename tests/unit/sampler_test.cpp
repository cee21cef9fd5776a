#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "engine/sampler.h"

namespace {

// Samplers come from their own operator new; no class derives from them.
struct Deleter {
  void operator()(SAMPLER* s) const {
    s->~SAMPLER();
    SAMPLER::operator delete(s);
  }
};
using SamplerPtr = std::unique_ptr<SAMPLER, Deleter>;

// A new sampler, standard output kept for the test.
SamplerPtr make_sampler(std::string* announced = nullptr) {
  testing::internal::CaptureStdout();
  SamplerPtr s(new SAMPLER());
  const std::string out = testing::internal::GetCapturedStdout();
  if (announced) *announced = out;
  return s;
}

// Distinct, recognisable values: index i holds i - 3000 (samples[0] is set apart).
void fill_ramp(SAMPLER& s, int count) {
  for (int i = 0; i < count; i++) s.samples[i] = static_cast<int16_t>(i - 3000);
  s.samples[0] = 1234;
}

float value_at(int index) { return (index == 0 ? 1234.0f : static_cast<float>(index - 3000)) / 32000.0f; }

// Evaluates n times and returns the end lines the main loop would print.
std::string evaluate(SAMPLER& s, int n) {
  take_finished_playbacks();
  for (int i = 0; i < n; i++) s.evolue();
  std::string out;
  for (unsigned k = take_finished_playbacks(); k > 0; k--) out += "FIN\n";
  return out;
}

TEST(Sampler, NewSamplerIsUnloadedAndPlaying) {
  std::string announced;
  SamplerPtr s = make_sampler(&announced);
  EXPECT_EQ(s->length, 0);
  EXPECT_EQ(s->playing, 1);
  EXPECT_EQ(s->position, 0.0f);
  EXPECT_EQ(s->speed, 1.0f);
  EXPECT_EQ(s->gain, 1.0f);
  EXPECT_EQ(s->offset, 0.0f);
  EXPECT_EQ(s->base_speed, 1.0f);
  EXPECT_EQ(s->base_gain, 1.0f);
  EXPECT_EQ(s->base_offset, 0.0f);
  EXPECT_EQ(s->OUTL, 0.0f);
  for (int i : {0, 1, 4095, 4096, 1000000, SAMPLER::kCapacity - 1}) EXPECT_EQ(s->samples[i], 0) << i;
  // Length 0: the first evaluation ends it, silently.
  EXPECT_EQ(evaluate(*s, 1), "FIN\n");
  EXPECT_EQ(s->playing, 0);
  EXPECT_EQ(s->OUTL, 0.0f);
  EXPECT_EQ(evaluate(*s, 100), "");
}

TEST(Sampler, PlaysEveryValueThenEnds) {
  struct Case {
    int length;
    float speed, offset;
    int ends_on;  // evaluation that prints FIN
    int step;     // buffer values advanced per evaluation
  };
  const Case cases[] = {
      {1000, 1.0f, 0.0f, 2001, 1},  {1000, 2.0f, 0.0f, 1001, 2},  {1000, 3.0f, 0.0f, 667, 3},
      {1, 1.0f, 0.0f, 3, 1},        {1000, 1.0f, 10.0f, 2001, 1},  {500, 4.0f, 3.0f, 251, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "length " << c.length << " speed " << c.speed << " offset " << c.offset);
    SamplerPtr s = make_sampler();
    fill_ramp(*s, 2 * c.length + 20);
    s->length = c.length;
    s->speed = c.speed;
    s->offset = c.offset;
    const int start = static_cast<int>(c.offset);
    testing::internal::CaptureStdout();
    for (int i = 1; i < c.ends_on; i++) {
      ASSERT_EQ(s->evolue(), 1);
      ASSERT_EQ(s->OUTL, value_at(start + i * c.step)) << "evaluation " << i;
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    // The last evaluation rewinds before it reads: it plays the start value.
    EXPECT_EQ(evaluate(*s, 1), "FIN\n");
    EXPECT_EQ(s->OUTL, value_at(start));
    EXPECT_EQ(s->playing, 0);
    EXPECT_EQ(s->position, 0.0f);
    EXPECT_EQ(evaluate(*s, 50), "");
    EXPECT_EQ(s->OUTL, 0.0f);
  }
}

TEST(Sampler, Trigger) {
  struct Case {
    const char* what;
    int before;     // evaluations before TRIG
    float expected;  // value of the next evaluation
  };
  const Case cases[] = {
      {"while playing: no rewind", 500, value_at(501)},
      {"after the end: from the start", 2001, value_at(1)},
      {"long after the end", 3000, value_at(1)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SamplerPtr s = make_sampler();
    fill_ramp(*s, 2100);
    s->length = 1000;
    evaluate(*s, c.before);
    s->TRIG();
    EXPECT_EQ(s->playing, 1);
    evaluate(*s, 1);
    EXPECT_EQ(s->OUTL, c.expected);
  }
}

TEST(Sampler, GainScalesFullScaleToOne) {
  struct Case {
    int16_t value;
    float gain, expected, read;
  };
  const Case cases[] = {
      {32000, 1.0f, 1.0f, 1.0f},        {-16000, 1.0f, -0.5f, -0.5f},   {32000, 0.5f, 0.5f, 0.5f},
      {16000, -2.0f, -1.0f, -1.0f},     {32767, 1.0f, 32767.0f / 32000.0f, 32767.0f / 32000.0f},
      {-32768, 1.0f, -1.024f, -1.024f}, {32000, 0.0f, 0.0f, 0.0f},     {32000, 1e6f, 1e6f, 32000.0f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.value << " x " << c.gain);
    SamplerPtr s = make_sampler();
    s->length = 1000;
    s->samples[1] = c.value;
    s->gain = c.gain;
    evaluate(*s, 1);
    EXPECT_FLOAT_EQ(s->OUTL, c.expected);
    EXPECT_FLOAT_EQ(s->get_OUTL(), c.read);
  }
}

TEST(Sampler, IndicesOutsideTheBufferReadZero) {
  struct Case {
    const char* what;
    int length;
    float speed, offset, position;
  };
  const Case cases[] = {
      {"negative speed", 1000, -1.0f, 0.0f, 0.0f},
      {"negative offset", 1000, 1.0f, -5.0f, 0.0f},
      {"offset past the end", 1000, 1.0f, 8.0e6f, 0.0f},
      {"huge offset", 1000, 1.0f, 1e30f, 0.0f},
      {"long sample past the buffer", 5000000, 1.0f, 0.0f, 7999999.0f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SamplerPtr s = make_sampler();
    for (int i = 0; i < 64; i++) s->samples[i] = 1000;
    s->samples[SAMPLER::kCapacity - 1] = 1000;
    s->length = c.length;
    s->speed = c.speed;
    s->offset = c.offset;
    s->position = c.position;
    for (int i = 0; i < 3; i++) {
      evaluate(*s, 1);
      EXPECT_EQ(s->OUTL, 0.0f);
    }
  }
}

}  // namespace
