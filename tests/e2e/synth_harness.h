// The end-to-end fixture's parts: the real tev-synth as a child process (pipes or
// a pseudo-terminal), a private X server, keys through the X test extension, a
// window's picture, and a timestamped recording of the PulseAudio null sink "ci"
// (tests/support/pulse_env.h). Everything started here is stopped by its PID.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

using Clock = std::chrono::steady_clock;
constexpr int kRate = 44100;  // frames per second of the synth's stream and of the recording

// Output collected by a thread; with `pty` the terminal is the child's controlling
// one (a typed Ctrl-C reaches it). The destructor kills a child still running.
class Child {
 public:
  struct Options {
    std::string cwd;                                        // empty: this process's
    std::vector<std::string> unset;                         // variables the child must not see
    std::vector<std::pair<std::string, std::string>> set;  // and ones it sees changed
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
  std::thread reader_;
};

// A command to its end (`seconds` at most): its exit status, -1 when it ran over
// (killed) or died of a signal.
int run(const std::vector<std::string>& argv, double seconds, std::string* out = nullptr);

// Xvfb on a free display, 640x480x24; DISPLAY points at it while it runs.
class XServer {
 public:
  bool start(std::string* why);
  ~XServer();
  const std::string& display() const { return display_; }

 private:
  pid_t pid_ = -1;
  std::string display_, saved_display_;
  bool had_display_ = false;
};

// Keys through the X test extension to the focused window; a call returns when the
// server has the events (the moment of a press is known to a millisecond).
class Keyboard {
 public:
  bool open(std::string* why);
  ~Keyboard();
  // X key names ("z", "Return"), pressed in order, released in reverse.
  bool press(const std::vector<std::string>& keys);
  bool release(const std::vector<std::string>& keys);

 private:
  bool send(const std::vector<std::string>& keys, bool down);
  void* display_ = nullptr;
};

struct Image {  // 8-bit RGB, rows top to bottom
  int width = 0, height = 0;
  std::vector<uint8_t> rgb;
};
// What the X server shows in the synth's 320x240 window (ImageMagick's import).
bool grab_window(const std::string& window_id, Image* image, std::string* why);

// The null sink's monitor recorded through parec, with the arrival time of each
// block, so that a recorded frame can be put on this process's clock.
class Recorder {
 public:
  bool start(std::string* why);  // returns once the first frames have arrived
  void stop();
  ~Recorder() { stop(); }
  std::vector<int16_t> samples();  // interleaved left/right so far
  // The earliest block arrival, moved back by the frames before it, bounds frame 0.
  Clock::time_point time_of_frame(long frame);
  long frames();

 private:
  void read_loop();
  pid_t pid_ = -1;
  int fd_ = -1;
  std::mutex mu_;
  std::vector<uint8_t> bytes_;
  bool have_origin_ = false;
  Clock::time_point origin_;
  std::thread reader_;
};

// `output_key` ('2' PulseAudio, '3' ALSA, '4' NoSound), then the first driver, or
// ALSA's PulseAudio plugin (else "default"). False, and why, when a prompt is missing.
bool answer_prompts(Child& synth, char output_key, std::string* why);

// Id of the window titled `caption` (a regular expression); empty when none came.
std::string find_window(const std::string& caption, double seconds);

// Three sine voices (keyboard, "V" oscillator, one-input mixer, amplifier with
// release 10): voice 0 (z x c ...) at the key's note, 1 (a s d ...) 4 semitones up, 2 (q w e ...) 7.
extern const char kThreeVoicePatch[];
constexpr int kVoiceOffset[3] = {0, 4, 7};
// Release 10 keeps 999/1000 of the level per frame: a tenth after 2303 frames,
// below one 16-bit step (from 10000) after 9210.
constexpr double kReleaseToTenthSeconds = 2303.0 / kRate;
constexpr double kReleaseToSilenceSeconds = 9210.0 / kRate;

std::string make_temp_dir();
void remove_dir(const std::string& dir);
void write_file(const std::string& path, const std::string& text);
void copy_file(const std::string& from, const std::string& to);

}  // namespace e2e
