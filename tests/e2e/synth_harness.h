// Driving the real tev-synth from a test: its console (pipes or a pseudo-terminal),
// a private X server, xdotool, screenshots and a timestamped recording of the
// PulseAudio null sink. Everything started here is stopped by its PID.
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

// A child process whose standard input, output and error go through pipes, or
// through one pseudo-terminal (the child then has it as its controlling terminal,
// so a typed Ctrl-C reaches it as from a real console). Output is collected by a
// thread. The destructor kills the child by PID if it still runs.
class Child {
 public:
  struct Options {
    std::string cwd;                 // empty: this process's
    std::vector<std::string> unset;  // environment variables the child must not see
    std::vector<std::pair<std::string, std::string>> set;  // and ones it sees changed
    bool pty = false;
  };
  Child(const std::vector<std::string>& argv, const Options& options);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  // The pseudo-terminal's master side (-1 with pipes): its settings are the
  // child's console settings.
  int pty_fd() const { return in_fd_ == out_fd_ ? in_fd_ : -1; }

  void type(const std::string& keys);
  std::string output();
  // Waits until the output holds `text` `count` times; false at the time-out.
  bool wait_for_output(const std::string& text, double seconds, int count = 1);
  // Waits for the end and for the last of its output; false (child still running)
  // at the time-out. `status` is the raw waitpid status.
  bool wait_exit(double seconds, int* status);
  void kill_now(int sig);

 private:
  void read_loop();
  pid_t pid_ = -1;
  int in_fd_ = -1;
  int out_fd_ = -1;
  std::atomic<bool> reaped_{false};
  std::mutex mu_;
  std::string out_;
  std::thread reader_;
};

// Runs a command to its end (at most `seconds`); returns its exit status, or -1
// when it ran over (it is then killed) or died of a signal. Output into `out`.
int run(const std::vector<std::string>& argv, double seconds, std::string* out = nullptr);

// A private X server on a free display (Xvfb picks it), 640x480, 24-bit. Sets
// DISPLAY in this process's environment while it runs.
class XServer {
 public:
  bool start(std::string* why);
  ~XServer();
  const std::string& display() const { return display_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
  std::string saved_display_;
  bool had_display_ = false;
};

// Presses and releases keys through the X server's test extension, as a keyboard
// would, to the focused window; each call returns when the server has the events,
// which makes the moment of a key press known to within a millisecond.
class Keyboard {
 public:
  bool open(std::string* why);  // on this process's DISPLAY
  ~Keyboard();
  // X key names ("z", "Shift_L"): all pressed in order, or all released in reverse.
  bool press(const std::vector<std::string>& keys);
  bool release(const std::vector<std::string>& keys);

 private:
  bool send(const std::vector<std::string>& keys, bool down);
  void* display_ = nullptr;
};

// 8-bit RGB pixels, rows top to bottom.
struct Image {
  int width = 0, height = 0;
  std::vector<uint8_t> rgb;
};
// What the X server shows in a window, through ImageMagick's import.
bool grab_window(const std::string& window_id, Image* image, std::string* why);

// Records the null sink's monitor through parec into memory, noting when each
// block arrived, so that a recorded frame can be put on this process's clock.
class Recorder {
 public:
  bool start(std::string* why);  // returns once the first frames have arrived
  void stop();
  ~Recorder() { stop(); }
  // Interleaved left/right samples recorded so far.
  std::vector<int16_t> samples();
  // When frame `frame` was played, on this process's clock: the earliest block
  // arrival, moved back by the frames it followed, is the closest bound on the
  // moment frame 0 was played (a block can't arrive before it was played).
  Clock::time_point time_of_frame(long frame);
  long frames();

 private:
  void read_loop();
  pid_t pid_ = -1;
  int fd_ = -1;
  std::mutex mu_;
  std::vector<uint8_t> bytes_;
  bool have_origin_ = false;
  Clock::time_point origin_;  // estimated play time of frame 0
  std::thread reader_;
};

// The prompts answered: `output_key` ('2' PulseAudio, '3' ALSA, '4' NoSound), then
// the driver: for ALSA the one that reaches the PulseAudio server (named after
// it, else "default"), for the others the first. False, with the reason, when a
// prompt did not come.
bool answer_prompts(Child& synth, char output_key, std::string* why);

// Id of the window titled `caption` (a regular expression), waiting at most
// `seconds`; empty when none came.
std::string find_window(const std::string& caption, double seconds);

// A patch of three plain sine voices, each a keyboard, a "V" oscillator, a
// one-input mixer and an amplifier with a short release. Voice 0 (z x c ...)
// plays the key's note, voice 1 (a s d ...) four semitones higher and voice 2
// (q w e ...) seven, so that each voice is heard at its own pitch.
extern const char kThreeVoicePatch[];
constexpr int kVoiceOffset[3] = {0, 4, 7};
// The release constant 10 takes a tone from full level to a tenth in 2303 frames
// (the level keeps 999/1000 per frame) and below one step of a 16-bit sample
// (from 10000) in 9210 frames.
constexpr double kReleaseToTenthSeconds = 2303.0 / kRate;
constexpr double kReleaseToSilenceSeconds = 9210.0 / kRate;

std::string make_temp_dir();
void remove_dir(const std::string& dir);
void write_file(const std::string& path, const std::string& text);
void copy_file(const std::string& from, const std::string& to);

}  // namespace e2e
