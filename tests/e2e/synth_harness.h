// The end-to-end fixture: the real tev-synth as a child process (pipes or a
// pseudo-terminal) under a private X server and a private PulseAudio server with
// a null sink "ci", keys through xdotool, and a timestamped recording of the sink.
// Everything started here is stopped by its PID.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/render.h"

namespace e2e {

using Clock = std::chrono::steady_clock;
constexpr int kRate = 44100;  // frames per second of the synth's stream and of the recording

// Output collected by a thread; with `pty` the terminal is the child's controlling
// one (a typed Ctrl-C reaches it). The destructor kills a child still running.
class Child {
 public:
  struct Options {
    std::string cwd;  // empty: this process's
    bool pty = false;
  };
  Child(const std::vector<std::string>& argv, const Options& options);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  pid_t pid() const { return pid_; }
  int pty_fd() const { return in_fd_ == out_fd_ ? in_fd_ : -1; }  // -1 with pipes
  void type(const std::string& keys);
  std::string output();
  // Read as 16-bit stereo at kRate: the earliest arrival of a block, moved back by
  // the frames before it, bounds the time of frame 0.
  Clock::time_point origin();
  int count(const std::string& text);  // occurrences in the output so far
  bool wait_for_output(const std::string& text, double seconds, int count = 1);  // `count` times
  bool wait_exit(double seconds, int* status);  // waitpid's status; all output read
  void kill_now(int sig);

 private:
  void read_loop();
  pid_t pid_ = -1;
  int in_fd_ = -1, out_fd_ = -1;
  std::atomic<bool> reaped_{false};
  std::mutex mu_;
  std::string out_;
  Clock::time_point origin_;
  std::thread reader_;
};

// A command to its end (`seconds` at most): its exit status, -1 when it ran over
// (killed) or died of a signal.
int run(const std::vector<std::string>& argv, double seconds, std::string* out = nullptr);

// The null sink's monitor recorded through parec, with the arrival time of each
// block, so that a recorded frame can be put on this process's clock.
class Recorder {
 public:
  bool start(std::string* why);  // returns once the first frames have arrived
  void stop();
  ~Recorder() { stop(); }
  std::vector<int16_t> samples();  // interleaved left/right so far
  Clock::time_point time_of_frame(long frame);
  long frame_at(Clock::time_point t);  // clamped to the frames recorded
  long frames();

 private:
  std::unique_ptr<Child> parec_;
};

// tests/e2e/voices.tsy: three sine voices (keyboard, "V" oscillator, one-input
// mixer, amplifier with release 10): voice 0 (z x c ...) at the key's note, 1
// (a s d ...) 4 semitones up, 2 (q w e ...) 7.
// Release 10 keeps 999/1000 of the level per frame: a tenth after 2303 frames,
// below one 16-bit step (from 10000) after 9210.
constexpr double kReleaseToTenthSeconds = 2303.0 / kRate;

void write_file(const std::string& path, const std::string& text);
using tevtest::slurp;
int exit_code(int status);  // 128 + the signal for a child killed by one
// The 16-bit samples of a WAV file's data chunk; `whole`, when given, tells whether
// the header's RIFF and data sizes both match the file.
std::vector<int16_t> wav_samples(const std::string& path, bool* whole = nullptr);
// First frame before `to` where the recording (stream frame 0 at its frame `at0`)
// and the render differ; `to` when none does, fewer when either ends first.
long differs(const std::vector<int16_t>& rec, long at0, const std::vector<int16_t>& r, long to);
// The first frame of `hay` from `from` on where frames [at, at + n) of `s` are
// found exactly; -1 when nowhere.
long find_frames(const std::vector<int16_t>& hay, long from, const std::vector<int16_t>& s, long at, long n);
long cpu_ticks(pid_t pid);    // user plus system CPU time of a process, in clock ticks
long resident_kb(pid_t pid);  // its resident memory
// The share of one core `pid` used over the `seconds` since cpu_ticks gave `before`.
double cpu_share(pid_t pid, long before, double seconds);

// One X server (Xvfb, 640x480x24, DISPLAY set) and one PulseAudio server for the
// whole test program (HOME, XDG_RUNTIME_DIR and PULSE_SERVER point at it, so
// ALSA's "default" device too); a folder with voices.tsy, pilot.tsy (voices.tsy
// plus a quiet tone from the stream's first frame, which finds stream frame 0 in a
// recording) and fond.bmp per test.
class Synth : public testing::Test {
 public:
  static void SetUpTestSuite();
  static void TearDownTestSuite();
  void SetUp() override;
  void TearDown() override;
  // The synth on `patch` with the prompts answered ('2' PulseAudio, '3' ALSA through
  // its PulseAudio plugin, '4' NoSound) and its window focused; `env` as env(1) takes it.
  // `driver`: the listed driver whose name holds it (lower case), else the first;
  // `options` go before the patch.
  void launch(char output, const std::string& patch = "voices.tsy", bool pty = false,
              std::vector<std::string> env = {}, const std::string& driver = "",
              const std::vector<std::string>& options = {});
  int quit_with_escape();  // the exit code
  // X key names ("z", "Return"); returns when the X server has the event.
  static bool key(const std::string& name, bool down);
  // Kills the sound server (SIGKILL) or starts a new one on the same socket, as
  // when a desktop's server restarts.
  static void kill_pulse();
  static bool restart_pulse(std::string* why);
  // A JACK server (dummy driver, 256-frame periods) under the name the fixture puts
  // in JACK_DEFAULT_SERVER for the synth and every JACK tool: no other server on the
  // machine is touched. Stopped by SIGTERM (also at TearDown), so that it leaves no
  // entry in JACK's small registry of servers.
  static bool start_jackd(int rate, std::string* why);
  static void stop_jackd();

  std::string dir_, window_;
  std::string synth_bin_ = TEV_SYNTH_BIN;  // what launch() starts
  std::unique_ptr<Child> synth_;
};

}  // namespace e2e
