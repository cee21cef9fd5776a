// Real sound through the desktop server and through ALSA, on a private
// PulseAudio server with a null sink: a 440 Hz tone played through the layer
// must arrive whole, at pitch, on both channels, without a gap.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>

#include "audio/fsound.h"
#include "tests/support/pulse_env.h"

namespace {

constexpr unsigned kSynthMode = 0x1000150;
constexpr int kRate = 44100;
constexpr double kToneHz = 440.0;
constexpr int kToneFrames = kRate;  // one second
constexpr double kAmplitude = 8000.0;
constexpr double kPi = 3.14159265358979323846;

std::atomic<long long> g_frames{0};

// Silence while the device settles (as the synth plays before the first key),
// then one second of tone, then silence.
constexpr long long kToneStart = kRate / 4;
int tone(FSOUND_STREAM*, void* buffer, int length, void*) {
  short* s = static_cast<short*>(buffer);
  long long n = g_frames.load(std::memory_order_relaxed);
  for (int i = 0; i < length / 4; ++i, ++n) {
    short v = 0;
    const long long t = n - kToneStart;
    if (t >= 0 && t < kToneFrames)
      v = static_cast<short>(std::lround(kAmplitude * std::sin(2 * kPi * kToneHz * t / kRate)));
    s[2 * i] = v;
    s[2 * i + 1] = v;
  }
  g_frames.store(n, std::memory_order_relaxed);
  return 1;
}

struct Heard {
  double seconds = 0;     // from the first to the last loud frame
  double hz = 0;          // from the first and last rising zero crossings
  int peak = 0;
  int channel_mismatches = 0;
  double quietest_window = 0;  // smallest peak over 10 ms windows within the tone
};

Heard analyse(const std::vector<short>& rec) {
  Heard h;
  const size_t frames = rec.size() / 2;
  size_t first = frames, last = 0;
  for (size_t i = 0; i < frames; ++i) {
    if (std::abs(rec[2 * i]) > 1000) {
      if (first == frames) first = i;
      last = i;
    }
  }
  if (first == frames) return h;
  h.seconds = static_cast<double>(last - first) / kRate;
  double first_cross = -1, last_cross = -1;
  int crossings = 0;
  for (size_t i = first; i < last; ++i) {
    const int a = rec[2 * i], b = rec[2 * i + 2];
    if (rec[2 * i] != rec[2 * i + 1]) ++h.channel_mismatches;
    h.peak = std::max(h.peak, std::abs(a));
    if (a < 0 && b >= 0) {
      const double t = static_cast<double>(i) + static_cast<double>(-a) / (b - a);
      if (first_cross < 0) first_cross = t;
      last_cross = t;
      ++crossings;
    }
  }
  if (crossings > 1) h.hz = (crossings - 1) * kRate / (last_cross - first_cross);
  const size_t window = kRate / 100;
  h.quietest_window = 1e9;
  for (size_t w = first; w + window <= last; w += window) {
    int p = 0;
    for (size_t i = w; i < w + window; ++i) p = std::max(p, std::abs(static_cast<int>(rec[2 * i])));
    h.quietest_window = std::min(h.quietest_window, static_cast<double>(p));
  }
  return h;
}

class DeviceOutput : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    pulse_ = new tev_test::PulseEnv();
    if (!pulse_->start(&why_)) {
      delete pulse_;
      pulse_ = nullptr;
    }
  }
  static void TearDownTestSuite() {
    delete pulse_;
    pulse_ = nullptr;
  }
  static tev_test::PulseEnv* pulse_;
  static std::string why_;
};
tev_test::PulseEnv* DeviceOutput::pulse_ = nullptr;
std::string DeviceOutput::why_;

struct Played {
  int period = 0;
  int latency = 0;
  double ahead_ms = 0;
  long underruns = 0;
  Heard heard;
};

// Plays the tone through `output` while the null sink is recorded.
Played play_tone_through(int output, const std::string& dir) {
  Played p;
  tev_sound_close();
  g_frames = 0;
  const long underruns_before = tev_sound_underruns();
  EXPECT_EQ(FSOUND_SetOutput(output), 1);
  EXPECT_GE(FSOUND_GetNumDrivers(), 1);
  EXPECT_EQ(FSOUND_SetDriver(0), 1);
  EXPECT_EQ(FSOUND_Init(kRate, 32, 0), 1) << FMOD_ErrorString(FSOUND_GetError());
  FSOUND_STREAM* s = FSOUND_Stream_Create(tone, 32768, kSynthMode, kRate, nullptr);
  EXPECT_NE(s, nullptr);
  if (!s) return p;

  const std::string path = dir + "/recording.raw";
  pid_t rec = tev_test::start_recording(path);
  EXPECT_GT(rec, 0) << "parec did not start";
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  using clock = std::chrono::steady_clock;
  const clock::time_point started = clock::now();
  EXPECT_EQ(FSOUND_Stream_Play(0, s), 0) << FMOD_ErrorString(FSOUND_GetError());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  // Frames pulled ahead of the wall clock: the buffering a key press waits behind.
  p.ahead_ms = (static_cast<double>(g_frames.load()) / kRate -
                std::chrono::duration<double>(clock::now() - started).count()) * 1000;
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  p.period = tev_sound_period_frames();
  p.latency = tev_sound_latency_frames();
  p.underruns = tev_sound_underruns() - underruns_before;
  tev_sound_close();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  tev_test::stop_process(rec);
  p.heard = analyse(tev_test::read_raw_s16(path));
  return p;
}

bool whole(const Heard& h) {
  return std::fabs(h.seconds - 1.0) <= 0.005 && std::fabs(h.hz - kToneHz) <= kToneHz * 0.0006 &&
         std::fabs(h.peak - kAmplitude) <= 2.0 && h.channel_mismatches == 0 &&
         h.quietest_window > kAmplitude * 0.9;
}

TEST_F(DeviceOutput, ToneArrivesWholeThroughEachOutput) {
  ASSERT_NE(pulse_, nullptr) << why_;
  struct Case {
    const char* name;
    int output;
  };
  const Case cases[] = {{"desktop sound server", FSOUND_OUTPUT_ESD}, {"ALSA", FSOUND_OUTPUT_ALSA}};
  // The machine is shared: a play that a scheduling stall broke is tried again,
  // while a fault of the layer (pitch, gaps, lost frames) breaks every try.
  constexpr int kTries = 3;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Played p;
    for (int attempt = 1; attempt <= kTries; ++attempt) {
      p = play_tone_through(c.output, pulse_->dir());
      const Heard& h = p.heard;
      std::printf("%s (try %d): period %d frames, latency %d frames (%.1f ms), pulled %.1f ms "
                  "ahead, underruns %ld; heard %.3f s at %.3f Hz, peak %d\n",
                  c.name, attempt, p.period, p.latency, p.latency * 1000.0 / kRate, p.ahead_ms,
                  p.underruns, h.seconds, h.hz, h.peak);
      if (::testing::Test::HasFatalFailure() || whole(h)) break;
    }
    const Heard& h = p.heard;
    EXPECT_GT(p.period, 0);
    EXPECT_LE(p.period, 1024);
    EXPECT_LT(p.ahead_ms, 50.0) << "the device buffers far ahead of real time";
    EXPECT_NEAR(h.seconds, 1.0, 0.005) << "tone cut short or stretched by gaps";
    EXPECT_NEAR(h.hz, kToneHz, kToneHz * 0.0006) << "more than a cent off";
    EXPECT_NEAR(h.peak, kAmplitude, 2.0);
    EXPECT_EQ(h.channel_mismatches, 0);
    EXPECT_GT(h.quietest_window, kAmplitude * 0.9) << "a dropout inside the tone";
  }
}

// OSS as the pulse OSS emulation presents it: the layer writes /dev/dsp from
// its own thread, and the emulation must be preloaded into a process of its own.
TEST_F(DeviceOutput, ToneArrivesWholeThroughEmulatedOss) {
  ASSERT_NE(pulse_, nullptr) << why_;
  const char* kEmulation = "/usr/lib/x86_64-linux-gnu/pulseaudio/libpulsedsp.so";
  if (access(kEmulation, R_OK) != 0) GTEST_SKIP() << "no OSS emulation library on this machine";
  const std::string path = pulse_->dir() + "/oss.raw";
  pid_t rec = tev_test::start_recording(path);
  ASSERT_GT(rec, 0) << "parec did not start";
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  int in[2];
  ASSERT_EQ(pipe(in), 0);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    close(in[1]);
    int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 1);
    dup2(null_fd, 2);
    setenv("LD_PRELOAD", kEmulation, 1);
    execl(TEV_PROMPT_DRIVER, TEV_PROMPT_DRIVER, "--tone", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(in[0]);
  // OSS, then its first device.
  ASSERT_EQ(write(in[1], "11", 2), 2);
  close(in[1]);
  int status = -1;
  for (int i = 0; i < 1000 && waitpid(pid, &status, WNOHANG) != pid; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (!WIFEXITED(status)) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  tev_test::stop_process(rec);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "driver status " << status;

  Heard h = analyse(tev_test::read_raw_s16(path));
  std::printf("emulated OSS: heard %.3f s at %.3f Hz, peak %d\n", h.seconds, h.hz, h.peak);
  EXPECT_NEAR(h.seconds, 1.0, 0.005);
  EXPECT_NEAR(h.hz, kToneHz, kToneHz * 0.0006);
  EXPECT_NEAR(h.peak, kAmplitude, 2.0);
  EXPECT_EQ(h.channel_mismatches, 0);
  EXPECT_GT(h.quietest_window, kAmplitude * 0.9);
}

}  // namespace
