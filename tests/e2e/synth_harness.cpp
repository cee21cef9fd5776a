#include "tests/e2e/synth_harness.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace e2e {
namespace {

std::vector<char*> c_argv(const std::vector<std::string>& argv) {
  std::vector<char*> v;
  for (const std::string& a : argv) v.push_back(const_cast<char*>(a.c_str()));
  v.push_back(nullptr);
  return v;
}

double seconds_since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

// Reads what is there, waiting at most `ms`; 0 at end of file (or a pty whose
// other side is gone), -1 when nothing came.
ssize_t read_some(int fd, void* buf, size_t n, int ms) {
  pollfd p{fd, POLLIN, 0};
  int r = poll(&p, 1, ms);
  if (r <= 0) return -1;
  ssize_t got = read(fd, buf, n);
  if (got < 0 && (errno == EINTR || errno == EAGAIN)) return -1;
  return got < 0 ? 0 : got;
}

}  // namespace

Child::Child(const std::vector<std::string>& argv, const Options& options) {
  std::vector<char*> args = c_argv(argv);
  int in_pipe[2] = {-1, -1}, out_pipe[2] = {-1, -1};
  if (options.pty) {
    int master = -1;
    pid_ = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid_ > 0) {
      fcntl(master, F_SETFD, FD_CLOEXEC);
      in_fd_ = out_fd_ = master;
    }
  } else {
    if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in_pipe[0], 0);
      dup2(out_pipe[1], 1);
      dup2(out_pipe[1], 2);
    } else {
      close(in_pipe[0]);
      close(out_pipe[1]);
      in_fd_ = in_pipe[1];
      out_fd_ = out_pipe[0];
    }
  }
  if (pid_ == 0) {
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    for (const std::string& name : options.unset) unsetenv(name.c_str());
    for (const auto& nv : options.set) setenv(nv.first.c_str(), nv.second.c_str(), 1);
    execvp(args[0], args.data());
    _exit(127);
  }
  if (pid_ > 0) reader_ = std::thread(&Child::read_loop, this);
}

Child::~Child() {
  if (pid_ > 0 && !reaped_) {
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    reaped_ = true;
  }
  if (reader_.joinable()) reader_.join();
  if (in_fd_ >= 0) close(in_fd_);
  if (out_fd_ >= 0 && out_fd_ != in_fd_) close(out_fd_);
}

void Child::read_loop() {
  char buf[4096];
  for (;;) {
    ssize_t n = read_some(out_fd_, buf, sizeof buf, 50);
    if (n == 0) return;
    if (n > 0) {
      std::lock_guard<std::mutex> lock(mu_);
      out_.append(buf, static_cast<size_t>(n));
    } else if (reaped_) {
      // The child is gone; a grandchild may still hold the pipe open.
      return;
    }
  }
}

void Child::type(const std::string& keys) {
  if (write(in_fd_, keys.data(), keys.size()) < 0) return;
}

std::string Child::output() {
  std::lock_guard<std::mutex> lock(mu_);
  return out_;
}

bool Child::wait_for_output(const std::string& text, double seconds, int count) {
  const Clock::time_point start = Clock::now();
  for (;;) {
    const std::string out = output();
    int found = 0;
    for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) found++;
    if (found >= count) return true;
    if (seconds_since(start) > seconds) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool Child::wait_exit(double seconds, int* status) {
  const Clock::time_point start = Clock::now();
  for (;;) {
    int st = 0;
    if (waitpid(pid_, &st, WNOHANG) == pid_) {
      reaped_ = true;
      *status = st;
      // Everything the child wrote is in the output once the reader has drained it.
      if (reader_.joinable()) reader_.join();
      return true;
    }
    if (seconds_since(start) > seconds) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void Child::kill_now(int sig) {
  if (pid_ > 0 && !reaped_) ::kill(pid_, sig);
}

int run(const std::vector<std::string>& argv, double seconds, std::string* out) {
  Child c(argv, {});
  int st = 0;
  if (!c.wait_exit(seconds, &st)) return -1;
  if (out) *out = c.output();
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

bool XServer::start(std::string* why) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    *why = "pipe failed";
    return false;
  }
  pid_ = fork();
  if (pid_ == 0) {
    // Xvfb writes the display number it chose to this descriptor once it takes
    // connections; it must survive the exec.
    int fd = dup(fds[1]);
    int null_fd = open("/dev/null", O_RDWR);
    dup2(null_fd, 0);
    dup2(null_fd, 1);
    dup2(null_fd, 2);
    const std::string fd_text = std::to_string(fd);
    execlp("Xvfb", "Xvfb", "-displayfd", fd_text.c_str(), "-screen", "0", "640x480x24",
           "-nolisten", "tcp", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  std::string number;
  const Clock::time_point start = Clock::now();
  while (seconds_since(start) < 10) {
    char c;
    ssize_t n = read_some(fds[0], &c, 1, 100);
    if (n == 0) break;
    if (n < 0) continue;
    if (c == '\n') break;
    number += c;
  }
  close(fds[0]);
  if (number.empty()) {
    *why = "Xvfb gave no display number within 10 s (is it installed?)";
    return false;
  }
  display_ = ":" + number;
  const char* old = getenv("DISPLAY");
  had_display_ = old != nullptr;
  if (old) saved_display_ = old;
  setenv("DISPLAY", display_.c_str(), 1);
  return true;
}

XServer::~XServer() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  for (int i = 0; i < 200; i++) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (had_display_)
    setenv("DISPLAY", saved_display_.c_str(), 1);
  else
    unsetenv("DISPLAY");
}

bool Keyboard::open(std::string* why) {
  display_ = XOpenDisplay(nullptr);
  if (!display_) {
    *why = "cannot open the X display";
    return false;
  }
  int event_base, error_base, major, minor;
  if (!XTestQueryExtension(static_cast<Display*>(display_), &event_base, &error_base, &major,
                           &minor)) {
    *why = "the X server has no test extension";
    return false;
  }
  return true;
}

Keyboard::~Keyboard() {
  if (display_) XCloseDisplay(static_cast<Display*>(display_));
}

bool Keyboard::send(const std::vector<std::string>& keys, bool down) {
  Display* d = static_cast<Display*>(display_);
  std::vector<KeyCode> codes;
  for (const std::string& k : keys) {
    const KeySym sym = XStringToKeysym(k.c_str());
    const KeyCode code = sym == NoSymbol ? 0 : XKeysymToKeycode(d, sym);
    if (code == 0) return false;
    codes.push_back(code);
  }
  if (!down) std::reverse(codes.begin(), codes.end());
  for (KeyCode c : codes) XTestFakeKeyEvent(d, c, down ? True : False, CurrentTime);
  XSync(d, False);
  return true;
}

bool Keyboard::press(const std::vector<std::string>& keys) { return send(keys, true); }
bool Keyboard::release(const std::vector<std::string>& keys) { return send(keys, false); }

bool grab_window(const std::string& window_id, Image* image, std::string* why) {
  const std::string dir = make_temp_dir();
  const std::string path = dir + "/shot.rgb";
  std::string out;
  const int rc = run({"import", "-window", window_id, "-depth", "8", "rgb:" + path}, 20, &out);
  std::ifstream f(path, std::ios::binary);
  std::vector<uint8_t> d((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  remove_dir(dir);
  // The window is the synth's 320 x 240.
  if (rc != 0 || d.size() != 320u * 240u * 3u) {
    *why = "import gave status " + std::to_string(rc) + " and " + std::to_string(d.size()) +
           " bytes: " + out;
    return false;
  }
  image->width = 320;
  image->height = 240;
  image->rgb = std::move(d);
  return true;
}

bool Recorder::start(std::string* why) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    *why = "pipe failed";
    return false;
  }
  pid_ = fork();
  if (pid_ == 0) {
    int null_fd = open("/dev/null", O_RDWR);
    dup2(null_fd, 0);
    dup2(fds[1], 1);
    dup2(null_fd, 2);
    execlp("parec", "parec", "-d", "ci.monitor", "--format=s16le", "--rate=44100",
           "--channels=2", "--latency-msec=20", "--raw", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  fd_ = fds[0];
  reader_ = std::thread(&Recorder::read_loop, this);
  const Clock::time_point start = Clock::now();
  while (seconds_since(start) < 5) {
    if (frames() > 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  *why = "parec recorded nothing within 5 s";
  stop();
  return false;
}

void Recorder::read_loop() {
  uint8_t buf[8192];
  for (;;) {
    ssize_t n = read_some(fd_, buf, sizeof buf, 50);
    if (n == 0) return;
    if (n < 0) continue;
    const Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> lock(mu_);
    bytes_.insert(bytes_.end(), buf, buf + n);
    const long whole_frames = static_cast<long>(bytes_.size() / 4);
    const Clock::time_point origin =
        now - std::chrono::duration_cast<Clock::duration>(
                  std::chrono::duration<double>(static_cast<double>(whole_frames) / kRate));
    if (!have_origin_ || origin < origin_) origin_ = origin;
    have_origin_ = true;
  }
}

void Recorder::stop() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  if (reader_.joinable()) reader_.join();
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

std::vector<int16_t> Recorder::samples() {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<int16_t> s(bytes_.size() / 4 * 2);
  for (size_t i = 0; i < s.size(); i++)
    s[i] = static_cast<int16_t>(bytes_[2 * i] | bytes_[2 * i + 1] << 8);
  return s;
}

long Recorder::frames() {
  std::lock_guard<std::mutex> lock(mu_);
  return static_cast<long>(bytes_.size() / 4);
}

Clock::time_point Recorder::time_of_frame(long frame) {
  std::lock_guard<std::mutex> lock(mu_);
  return origin_ + std::chrono::duration_cast<Clock::duration>(
                       std::chrono::duration<double>(static_cast<double>(frame) / kRate));
}

const char kThreeVoicePatch[] =
    "#three_sine_voices\n"
    "KEY_Q;\n"
    "VCO_Q;*TYPE=1;KEY_Q:GATE;*NOTE=7;\n"
    "MIXER_Q;VCO_Q:IN1;\n"
    "VCA_Q;*ATTACK=1;*DECAY=100;*SUSTAIN=1;*RELEASE=10;MIXER_Q:OUT;KEY_Q:GATE;\n"
    "KEY_A;\n"
    "VCO_A;*TYPE=1;KEY_A:GATE;*NOTE=4;\n"
    "MIXER_A;VCO_A:IN1;\n"
    "VCA_A;*ATTACK=1;*DECAY=100;*SUSTAIN=1;*RELEASE=10;MIXER_A:OUT;KEY_A:GATE;\n"
    "KEY_Z;\n"
    "VCO_Z;*TYPE=1;KEY_Z:GATE;*NOTE=0;\n"
    "MIXER_Z;VCO_Z:IN1;\n"
    "VCA_Z;*ATTACK=1;*DECAY=100;*SUSTAIN=1;*RELEASE=10;MIXER_Z:OUT;KEY_Z:GATE;\n";

bool answer_prompts(Child& synth, char output_key, std::string* why) {
  const std::string press = "Press a corresponding number or ESC to quit";
  if (!synth.wait_for_output(press, 10)) {
    *why = "no output prompt; got:\n" + synth.output();
    return false;
  }
  synth.type(std::string(1, output_key));
  if (!synth.wait_for_output(press, 10, 2)) {
    *why = "no driver prompt; got:\n" + synth.output();
    return false;
  }
  const std::string out = synth.output();
  const size_t list = out.find("Driver list");
  std::string driver_key = "1";
  if (output_key == '3' && list != std::string::npos) {
    // "N - name" lines; the PulseAudio plugin's own entry when ALSA lists it.
    std::string fallback;
    size_t at = list;
    while ((at = out.find('\n', at)) != std::string::npos) {
      at++;
      const size_t end = out.find('\n', at);
      const std::string line = out.substr(at, end == std::string::npos ? end : end - at);
      const size_t dash = line.find(" - ");
      if (dash == std::string::npos || dash == 0) continue;
      const std::string name = line.substr(dash + 3);
      std::string lower = name;
      std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
      const char key = static_cast<char>('1' + std::atoi(line.c_str()) - 1);
      if (lower.find("pulse") != std::string::npos) {
        driver_key = std::string(1, key);
        fallback.clear();
        break;
      }
      if (fallback.empty() && lower.rfind("default", 0) == 0) fallback = std::string(1, key);
    }
    if (!fallback.empty()) driver_key = fallback;
  }
  synth.type(driver_key);
  return true;
}

std::string find_window(const std::string& caption, double seconds) {
  const Clock::time_point start = Clock::now();
  for (;;) {
    const double left = seconds - seconds_since(start);
    if (left <= 0) return "";
    std::string out;
    // xdotool gives up on an X error, which a window destroyed while it looks at
    // it causes (SDL makes and drops helper windows as it starts): try again.
    if (run({"xdotool", "search", "--sync", "--name", caption}, left, &out) == 0) {
      const size_t end = out.find('\n');
      if (end != 0 && !out.empty()) return out.substr(0, end);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

std::string make_temp_dir() {
  char tmpl[] = "/tmp/tev-e2e.XXXXXX";
  return mkdtemp(tmpl) ? std::string(tmpl) : std::string();
}

void remove_dir(const std::string& dir) {
  std::error_code ec;
  if (dir.rfind("/tmp/tev-e2e.", 0) == 0) std::filesystem::remove_all(dir, ec);
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

void copy_file(const std::string& from, const std::string& to) {
  std::error_code ec;
  std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, ec);
}

}  // namespace e2e
