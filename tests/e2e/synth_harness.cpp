#include "tests/e2e/synth_harness.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace e2e {
namespace {

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// What is there within `ms`: 0 at end of file, -1 when nothing came.
ssize_t read_some(int fd, void* buf, size_t n, int ms) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, ms) <= 0) return -1;
  const ssize_t got = read(fd, buf, n);
  return got < 0 ? (errno == EINTR || errno == EAGAIN ? -1 : 0) : got;
}

// Polls `done` every 5 ms for at most `seconds`.
template <typename F>
bool wait_until(double seconds, F done) {
  for (const Clock::time_point start = Clock::now();; std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
    if (done()) return true;
    if (seconds_since(start) > seconds) return false;
  }
}

// A child with standard input from /dev/null, output to `out_fd` and error to /dev/null.
pid_t spawn_quiet(const std::vector<const char*>& argv, int out_fd) {
  const pid_t pid = fork();
  if (pid == 0) {
    const int null_fd = open("/dev/null", O_RDWR);
    dup2(null_fd, 0), dup2(out_fd, 1), dup2(null_fd, 2);
    std::vector<const char*> v = argv;
    v.push_back(nullptr);
    execvp(v[0], const_cast<char* const*>(v.data()));
    _exit(127);
  }
  return pid;
}

}  // namespace

Child::Child(const std::vector<std::string>& argv, const Options& options) {
  int in[2] = {-1, -1}, out[2] = {-1, -1};
  if (options.pty) {
    pid_ = forkpty(&in_fd_, nullptr, nullptr, nullptr);
    if (pid_ > 0) fcntl(in_fd_, F_SETFD, FD_CLOEXEC), out_fd_ = in_fd_;
  } else {
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) dup2(in[0], 0), dup2(out[1], 1), dup2(out[1], 2);
    if (pid_ > 0) close(in[0]), close(out[1]), in_fd_ = in[1], out_fd_ = out[0];
  }
  if (pid_ == 0) {
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    for (const std::string& name : options.unset) unsetenv(name.c_str());
    for (const auto& nv : options.set) setenv(nv.first.c_str(), nv.second.c_str(), 1);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  if (pid_ > 0) reader_ = std::thread(&Child::read_loop, this);
}

Child::~Child() {
  if (pid_ > 0 && !reaped_) ::kill(pid_, SIGKILL), waitpid(pid_, nullptr, 0), reaped_ = true;
  if (reader_.joinable()) reader_.join();
  if (in_fd_ >= 0) close(in_fd_);
  if (out_fd_ >= 0 && out_fd_ != in_fd_) close(out_fd_);
}

void Child::read_loop() {
  char buf[4096];
  for (ssize_t n; (n = read_some(out_fd_, buf, sizeof buf, 50)) != 0;) {
    if (n > 0) {
      std::lock_guard<std::mutex> lock(mu_);
      out_.append(buf, static_cast<size_t>(n));
    } else if (reaped_) {
      return;  // the child is gone; a grandchild may still hold the pipe open
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
  return wait_until(seconds, [&] {
    const std::string out = output();
    int found = 0;
    for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) found++;
    return found >= count;
  });
}

bool Child::wait_exit(double seconds, int* status) {
  if (!wait_until(seconds, [&] { return waitpid(pid_, status, WNOHANG) == pid_; })) return false;
  reaped_ = true;
  if (reader_.joinable()) reader_.join();  // everything it wrote is in the output
  return true;
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
  if (pipe2(fds, O_CLOEXEC) != 0) return *why = "pipe failed", false;
  // Xvfb writes the display number it chose to this descriptor once it takes connections.
  const int fd = dup(fds[1]);  // without close-on-exec
  const std::string fd_text = std::to_string(fd);
  pid_ = spawn_quiet({"Xvfb", "-displayfd", fd_text.c_str(), "-screen", "0", "640x480x24", "-nolisten", "tcp"}, fd);
  close(fd), close(fds[1]);
  std::string number;
  char c;
  for (const Clock::time_point start = Clock::now(); seconds_since(start) < 10;) {
    const ssize_t n = read_some(fds[0], &c, 1, 100);
    if (n == 0 || (n > 0 && c == '\n')) break;
    if (n > 0) number += c;
  }
  close(fds[0]);
  if (number.empty()) return *why = "Xvfb gave no display number within 10 s (is it installed?)", false;
  display_ = ":" + number;
  const char* old = getenv("DISPLAY");
  if ((had_display_ = old != nullptr)) saved_display_ = old;
  setenv("DISPLAY", display_.c_str(), 1);
  return true;
}

XServer::~XServer() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  if (!wait_until(2, [&] { return waitpid(pid_, nullptr, WNOHANG) == pid_; }))
    ::kill(pid_, SIGKILL), waitpid(pid_, nullptr, 0);
  had_display_ ? setenv("DISPLAY", saved_display_.c_str(), 1) : unsetenv("DISPLAY");
}

bool Keyboard::open(std::string* why) {
  display_ = XOpenDisplay(nullptr);
  int event_base, error_base, major, minor;
  if (!display_) return *why = "cannot open the X display", false;
  if (!XTestQueryExtension(static_cast<Display*>(display_), &event_base, &error_base, &major, &minor))
    return *why = "the X server has no test extension", false;
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
  const std::string dir = make_temp_dir(), path = dir + "/shot.rgb";
  std::string out;
  const int rc = run({"import", "-window", window_id, "-depth", "8", "rgb:" + path}, 20, &out);
  std::ifstream f(path, std::ios::binary);
  image->rgb.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  remove_dir(dir);
  image->width = 320, image->height = 240;
  if (rc == 0 && image->rgb.size() == 320u * 240u * 3u) return true;
  *why = "import gave status " + std::to_string(rc) + " and " + std::to_string(image->rgb.size()) + " bytes: " + out;
  return false;
}

bool Recorder::start(std::string* why) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return *why = "pipe failed", false;
  pid_ = spawn_quiet({"parec", "-d", "ci.monitor", "--format=s16le", "--rate=44100", "--channels=2",
                      "--latency-msec=20", "--raw"}, fds[1]);
  close(fds[1]);
  fd_ = fds[0];
  reader_ = std::thread(&Recorder::read_loop, this);
  if (wait_until(5, [&] { return frames() > 0; })) return true;
  *why = "parec recorded nothing within 5 s";
  stop();
  return false;
}

void Recorder::read_loop() {
  uint8_t buf[8192];
  for (ssize_t n; (n = read_some(fd_, buf, sizeof buf, 50)) != 0;) {
    if (n < 0) continue;
    const Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> lock(mu_);
    bytes_.insert(bytes_.end(), buf, buf + n);
    const Clock::time_point origin = now - std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(static_cast<double>(bytes_.size() / 4) / kRate));
    if (!have_origin_ || origin < origin_) origin_ = origin;
    have_origin_ = true;
  }
}

void Recorder::stop() {
  if (pid_ > 0) ::kill(pid_, SIGTERM), waitpid(pid_, nullptr, 0), pid_ = -1;
  if (reader_.joinable()) reader_.join();
  if (fd_ >= 0) close(fd_), fd_ = -1;
}

std::vector<int16_t> Recorder::samples() {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<int16_t> s(bytes_.size() / 4 * 2);
  for (size_t i = 0; i < s.size(); i++) s[i] = static_cast<int16_t>(bytes_[2 * i] | bytes_[2 * i + 1] << 8);
  return s;
}

long Recorder::frames() {
  std::lock_guard<std::mutex> lock(mu_);
  return static_cast<long>(bytes_.size() / 4);
}

Clock::time_point Recorder::time_of_frame(long frame) {
  std::lock_guard<std::mutex> lock(mu_);
  return origin_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(double(frame) / kRate));
}

const char kThreeVoicePatch[] =
    "#three_sine_voices\n"
    "KEY_Q;\nVCO_Q;*TYPE=1;KEY_Q:GATE;*NOTE=7;\nMIXER_Q;VCO_Q:IN1;\n"
    "VCA_Q;*ATTACK=1;*DECAY=100;*SUSTAIN=1;*RELEASE=10;MIXER_Q:OUT;KEY_Q:GATE;\n"
    "KEY_A;\nVCO_A;*TYPE=1;KEY_A:GATE;*NOTE=4;\nMIXER_A;VCO_A:IN1;\n"
    "VCA_A;*ATTACK=1;*DECAY=100;*SUSTAIN=1;*RELEASE=10;MIXER_A:OUT;KEY_A:GATE;\n"
    "KEY_Z;\nVCO_Z;*TYPE=1;KEY_Z:GATE;*NOTE=0;\nMIXER_Z;VCO_Z:IN1;\n"
    "VCA_Z;*ATTACK=1;*DECAY=100;*SUSTAIN=1;*RELEASE=10;MIXER_Z:OUT;KEY_Z:GATE;\n";

bool answer_prompts(Child& synth, char output_key, std::string* why) {
  const std::string press = "Press a corresponding number or ESC to quit";
  if (!synth.wait_for_output(press, 10)) return *why = "no output prompt; got:\n" + synth.output(), false;
  synth.type(std::string(1, output_key));
  if (!synth.wait_for_output(press, 10, 2)) return *why = "no driver prompt; got:\n" + synth.output(), false;
  // ALSA's list, "N - name" lines: the PulseAudio plugin's entry, else "default", else the first.
  std::string driver = "1", fallback;
  const std::string out = synth.output();
  for (size_t at = out.find("Driver list"); output_key == '3' && at != std::string::npos;) {
    at = out.find('\n', at);
    if (at++ == std::string::npos) break;
    std::string line = out.substr(at, out.find('\n', at) - at);
    std::transform(line.begin(), line.end(), line.begin(), ::tolower);
    const size_t dash = line.find(" - ");
    if (dash == std::string::npos || dash == 0) continue;
    const std::string key(1, static_cast<char>('0' + std::atoi(line.c_str())));
    if (line.find("pulse", dash) != std::string::npos) {
      fallback = key;
      break;
    }
    if (fallback.empty() && line.compare(dash + 3, 7, "default") == 0) fallback = key;
  }
  synth.type(fallback.empty() ? driver : fallback);
  return true;
}

std::string find_window(const std::string& caption, double seconds) {
  std::string out;
  // xdotool gives up on an X error, which a window destroyed while it looks at it
  // causes (SDL makes and drops helper windows as it starts): try again.
  if (!wait_until(seconds, [&] {
        return run({"xdotool", "search", "--sync", "--name", caption}, 2, &out) == 0 && !out.empty() &&
               out[0] != '\n';
      }))
    return "";
  return out.substr(0, out.find('\n'));
}

std::string make_temp_dir() {
  char tmpl[] = "/tmp/tev-e2e.XXXXXX";
  return mkdtemp(tmpl) ? std::string(tmpl) : std::string();
}

void remove_dir(const std::string& dir) {
  std::error_code ec;
  if (dir.rfind("/tmp/tev-e2e.", 0) == 0) std::filesystem::remove_all(dir, ec);
}

void write_file(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

void copy_file(const std::string& from, const std::string& to) {
  std::error_code ec;
  std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, ec);
}

}  // namespace e2e
