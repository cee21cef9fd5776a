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

// Output is collected by a thread; with `pty` the child has the terminal as its
// controlling terminal, so a typed Ctrl-C reaches it as from a console. The
// destructor kills a child still running.
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
  // Until the output holds `text` `count` times; false at the time-out.
  bool wait_for_output(const std::string& text, double seconds, int count = 1);
  // Until the end and the last of its output; `status` is waitpid's. False at the time-out.
  bool wait_exit(double seconds, int* status);
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

// Runs a command to its end (at most `seconds`, then killed); its exit status, or
// -1 when it ran over or died of a signal. Output into `out`.
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

// Key presses through the X test extension to the focused window; each call returns
// when the server has the events, so the moment of a press is known to a millisecond.
class Keyboard {
 public:
  bool open(std::string* why);
  ~Keyboard();
  // X key names ("z", "Return"): pressed in order, released in reverse.
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

// Records the null sink's monitor through parec into memory, noting when each
// block arrived, so that a recorded frame can be put on this process's clock.
class Recorder {
 public:
  bool start(std::string* why);  // returns once the first frames have arrived
  void stop();
  ~Recorder() { stop(); }
  std::vector<int16_t> samples();  // interleaved left/right so far
  // When frame `frame` was played: the earliest block arrival, moved back by the
  // frames before it, bounds the moment frame 0 was played.
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

// Answers the prompts: `output_key` ('2' PulseAudio, '3' ALSA, '4' NoSound), then
// the first driver, or for ALSA the one that reaches the PulseAudio server (else
// "default"). False, with the reason, when a prompt did not come.
bool answer_prompts(Child& synth, char output_key, std::string* why);

// Id of the window titled `caption` (a regular expression); empty when none came.
std::string find_window(const std::string& caption, double seconds);

// Three plain sine voices, each a keyboard, a "V" oscillator, a one-input mixer
// and an amplifier with release 10. Voice 0 (z x c ...) plays the key's note,
// voice 1 (a s d ...) four semitones higher, voice 2 (q w e ...) seven.
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
