// The stream callback: how many frames a block gets, and which 16-bit value each
// graph output becomes on both channels.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "audio/stream_callback.h"
#include "engine/generator.h"
#include "engine/note_table.h"

namespace {

// A graph whose output is a chosen constant: one bypassed amplifier with nothing
// feeding it keeps the input it was given. An S sampler that feeds nothing counts
// the samples in its playback clock.
struct ConstantGraph {
  GENERATOR g{GENERATOR::Empty{}};
  VCA* amp = new VCA();
  SAMPLER* counter = new SAMPLER();

  explicit ConstantGraph(float output) {
    init_NOTE2FREQ();
    amp->bypass = 1;
    amp->input = output;
    g.liste_vca.push_back(amp);
    g.nbr_vca = 1;
    std::strcpy(counter->name, "S1");
    counter->length = 1000000;
    g.liste_sampler.push_back(counter);
    g.nbr_sampler = 1;
    g.prepare();
    gen = &g;
  }
  ~ConstantGraph() { gen = nullptr; }
  double samples_advanced() const { return counter->position; }
};

int16_t left(const std::vector<unsigned char>& b, int frame) {
  int16_t v;
  std::memcpy(&v, b.data() + 4 * frame, 2);
  return v;
}
int16_t right(const std::vector<unsigned char>& b, int frame) {
  int16_t v;
  std::memcpy(&v, b.data() + 4 * frame + 2, 2);
  return v;
}

}  // namespace

TEST(StreamCallback, OutputBecomesTheSameSampleOnBothChannels) {
  struct Row {
    float output;
    int16_t sample;
  };
  const float inf = std::numeric_limits<float>::infinity();
  const Row rows[] = {
      {0.0f, 0},          {40000.0f, 32000},  {-1e9f, -32000},  {12.9f, 12},
      {-12.9f, -12},      {0.99f, 0},         {-0.99f, 0},      {32000.0f, 32000},
      {-32000.5f, -32000}, {31999.9f, 31999}, {inf, 32000},     {-inf, -32000},
      {std::numeric_limits<float>::quiet_NaN(), 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << "graph output " << r.output);
    testing::internal::CaptureStdout();
    ConstantGraph c(r.output);
    testing::internal::GetCapturedStdout();
    std::vector<unsigned char> buf(4 * 16, 0x5A);
    EXPECT_EQ(instrument_callback(nullptr, buf.data(), static_cast<int>(buf.size()), nullptr), 1);
    for (int f = 0; f < 16; f++) {
      EXPECT_EQ(left(buf, f), r.sample) << "frame " << f;
      EXPECT_EQ(right(buf, f), r.sample) << "frame " << f;
    }
  }
}

// A block of `length` bytes holds length / 4 whole frames; the graph advances by
// exactly that many samples and bytes past the last whole frame are not touched.
TEST(StreamCallback, BlockLengthDecidesFramesAndSamples) {
  struct Row {
    int length;
    int frames;
  };
  const Row rows[] = {{0, 0},  {-4, 0},  {-1, 0},  {-32768, 0}, {1, 0},     {3, 0},
                      {4, 1},  {5, 1},   {7, 1},   {10, 2},     {4095, 1023}, {32768, 8192}};
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << "length " << r.length);
    testing::internal::CaptureStdout();
    ConstantGraph c(1234.0f);
    testing::internal::GetCapturedStdout();
    const size_t room = 32768 + 8;
    std::vector<unsigned char> buf(room, 0xA5);
    EXPECT_EQ(instrument_callback(nullptr, buf.data(), r.length, nullptr), 1);
    EXPECT_EQ(c.samples_advanced(), r.frames);
    for (int f = 0; f < r.frames; f++) {
      ASSERT_EQ(left(buf, f), 1234);
      ASSERT_EQ(right(buf, f), 1234);
    }
    for (size_t i = 4 * static_cast<size_t>(r.frames); i < room; i++)
      ASSERT_EQ(buf[i], 0xA5) << "byte " << i;
  }
}
