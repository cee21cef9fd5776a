// The sound layer's calls as the synth makes them, on the NoSound output (no
// device needed): error codes, refusals after a failed initialisation, and the
// real-time pace at which the stream is pulled.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>

#include "audio/fsound.h"

namespace {

constexpr unsigned kSynthMode = 0x1000150;  // 16-bit signed stereo, as the synth asks
constexpr int kBlockBytes = 32768;

std::atomic<long long> g_frames{0};
std::atomic<int> g_bad_lengths{0};

int counting_callback(FSOUND_STREAM*, void* buffer, int length, void*) {
  if (length <= 0 || length % 4 != 0 || length > kBlockBytes) g_bad_lengths.fetch_add(1);
  short* s = static_cast<short*>(buffer);
  for (int i = 0; i < length / 2; ++i) s[i] = 0;
  g_frames.fetch_add(length / 4);
  return 1;
}

int other_callback(FSOUND_STREAM*, void*, int, void*) { return 1; }

class SoundLayer : public ::testing::Test {
 protected:
  void SetUp() override { tev_sound_close(); }
  void TearDown() override { tev_sound_close(); }
};

TEST_F(SoundLayer, RefusesStreamsUntilInitialised) {
  EXPECT_EQ(FSOUND_Stream_Create(counting_callback, kBlockBytes, kSynthMode, 44100, nullptr),
            nullptr);
  EXPECT_EQ(FSOUND_GetError(), FMOD_ERR_UNINITIALIZED);
  EXPECT_EQ(FSOUND_Stream_Play(0, nullptr), -1);
  EXPECT_EQ(FSOUND_GetError(), FMOD_ERR_UNINITIALIZED);
}

TEST_F(SoundLayer, CallsAndTheErrorsTheyReport) {
  ASSERT_EQ(FSOUND_SetOutput(FSOUND_OUTPUT_NOSOUND), 1);
  EXPECT_EQ(FSOUND_GetOutput(), FSOUND_OUTPUT_NOSOUND);
  EXPECT_EQ(FSOUND_GetNumDrivers(), 1);
  ASSERT_NE(FSOUND_GetDriverName(0), nullptr);

  struct Step {
    const char* what;
    std::function<int()> call;
    int expected_result;
    int expected_error;
  };
  const Step before_init[] = {
      {"output type 3 is not one of ours", [] { return FSOUND_SetOutput(3); }, 0,
       FMOD_ERR_INVALID_PARAM},
      {"driver past the list", [] { return FSOUND_SetDriver(1); }, 0, FMOD_ERR_INVALID_PARAM},
      {"negative driver", [] { return FSOUND_SetDriver(-1); }, 0, FMOD_ERR_INVALID_PARAM},
      {"name past the list", [] { return FSOUND_GetDriverName(1) == nullptr ? 1 : 0; }, 1,
       FMOD_ERR_INVALID_PARAM},
      {"zero mix rate", [] { return FSOUND_Init(0, 32, 0); }, 0, FMOD_ERR_INVALID_PARAM},
      {"the synth's own init", [] { return FSOUND_Init(44100, 32, 0); }, 1, FMOD_ERR_NONE},
  };
  for (const Step& s : before_init) {
    EXPECT_EQ(s.call(), s.expected_result) << s.what;
    EXPECT_EQ(FSOUND_GetError(), s.expected_error) << s.what;
  }
  EXPECT_EQ(FSOUND_GetOutput(), FSOUND_OUTPUT_NOSOUND) << "a refused output type changes nothing";

  struct CreateCase {
    const char* what;
    FSOUND_STREAMCALLBACK cb;
    int lenbytes;
    unsigned mode;
    int rate;
    int expected_error;
  };
  const CreateCase creates[] = {
      {"no callback", nullptr, kBlockBytes, kSynthMode, 44100, FMOD_ERR_INVALID_PARAM},
      {"block smaller than a frame", counting_callback, 3, kSynthMode, 44100,
       FMOD_ERR_INVALID_PARAM},
      {"rate other than the mix rate", counting_callback, kBlockBytes, kSynthMode, 22050,
       FMOD_ERR_INVALID_PARAM},
      {"mono", counting_callback, kBlockBytes, 0x20, 44100, FMOD_ERR_INVALID_PARAM},
      {"8-bit", counting_callback, kBlockBytes, 0x1 | 0x40, 44100, FMOD_ERR_INVALID_PARAM},
  };
  for (const CreateCase& c : creates) {
    EXPECT_EQ(FSOUND_Stream_Create(c.cb, c.lenbytes, c.mode, c.rate, nullptr), nullptr) << c.what;
    EXPECT_EQ(FSOUND_GetError(), c.expected_error) << c.what;
  }

  FSOUND_STREAM* s = FSOUND_Stream_Create(counting_callback, kBlockBytes, kSynthMode, 44100, nullptr);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(FSOUND_Stream_Create(other_callback, kBlockBytes, kSynthMode, 44100, nullptr), nullptr);
  EXPECT_EQ(FSOUND_GetError(), FMOD_ERR_ALLOCATED);
  EXPECT_EQ(FSOUND_Stream_Play(0, nullptr), -1);
  EXPECT_EQ(FSOUND_GetError(), FMOD_ERR_INVALID_PARAM);
  EXPECT_EQ(FSOUND_Stream_Play(0, s), 0);
  EXPECT_EQ(FSOUND_Init(44100, 32, 0), 0);
  EXPECT_EQ(FSOUND_GetError(), FMOD_ERR_BUSY);
  EXPECT_EQ(FSOUND_SetOutput(FSOUND_OUTPUT_ALSA), 0);
  EXPECT_EQ(FSOUND_GetError(), FMOD_ERR_BUSY);
  EXPECT_EQ(FSOUND_GetOutput(), FSOUND_OUTPUT_NOSOUND);
}

TEST_F(SoundLayer, FailedInitLeavesNothingToPlay) {
  // A desktop sound server that is not there: the device can't be opened.
  setenv("PULSE_SERVER", "unix:/nonexistent/tev-no-server", 1);
  ASSERT_EQ(FSOUND_SetOutput(FSOUND_OUTPUT_ESD), 1);
  if (FSOUND_GetNumDrivers() > 0) {
    ASSERT_EQ(FSOUND_SetDriver(0), 1);
  }
  EXPECT_EQ(FSOUND_Init(44100, 32, 0), 0);
  EXPECT_EQ(FSOUND_GetError(), FMOD_ERR_INIT);
  EXPECT_EQ(FSOUND_Stream_Create(counting_callback, kBlockBytes, kSynthMode, 44100, nullptr),
            nullptr);
  EXPECT_EQ(FSOUND_GetError(), FMOD_ERR_UNINITIALIZED);
  EXPECT_EQ(FSOUND_Stream_Play(0, nullptr), -1);
  unsetenv("PULSE_SERVER");
}

TEST_F(SoundLayer, NoSoundPullsFramesAtRealTimePace) {
  g_frames = 0;
  g_bad_lengths = 0;
  ASSERT_EQ(FSOUND_SetOutput(FSOUND_OUTPUT_NOSOUND), 1);
  ASSERT_EQ(FSOUND_SetDriver(0), 1);
  ASSERT_EQ(FSOUND_Init(44100, 32, 0), 1);
  FSOUND_STREAM* s = FSOUND_Stream_Create(counting_callback, kBlockBytes, kSynthMode, 44100, nullptr);
  ASSERT_NE(s, nullptr);
  using clock = std::chrono::steady_clock;
  const clock::time_point started = clock::now();
  ASSERT_EQ(FSOUND_Stream_Play(0, s), 0);
  EXPECT_LE(tev_sound_period_frames(), 256);
  EXPECT_GT(tev_sound_period_frames(), 0);

  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  // Frames pulled ahead of the wall clock are what a key waits behind.
  const double ahead = static_cast<double>(g_frames.load()) -
                       44100.0 * std::chrono::duration<double>(clock::now() - started).count();
  EXPECT_LT(ahead, 0.020 * 44100) << "frames buffered ahead of real time";

  const long long f0 = g_frames.load();
  const clock::time_point t0 = clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const long long f1 = g_frames.load();
  const double seconds = std::chrono::duration<double>(clock::now() - t0).count();
  const double rate = static_cast<double>(f1 - f0) / seconds;
  std::printf("NoSound pace: %.1f frames/s over %.3f s, period %d frames\n", rate, seconds,
              tev_sound_period_frames());
  EXPECT_NEAR(rate, 44100.0, 441.0);
  EXPECT_EQ(g_bad_lengths.load(), 0);
}

}  // namespace
