#include "tests/e2e/synth_harness.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
      const Clock::time_point now = Clock::now();
      std::lock_guard<std::mutex> lock(mu_);
      out_.append(buf, static_cast<size_t>(n));
      const Clock::time_point origin = now - std::chrono::duration_cast<Clock::duration>(
          std::chrono::duration<double>(static_cast<double>(out_.size() / 4) / kRate));
      if (out_.size() == static_cast<size_t>(n) || origin < origin_) origin_ = origin;
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

Clock::time_point Child::origin() {
  std::lock_guard<std::mutex> lock(mu_);
  return origin_;
}

int Child::count(const std::string& text) {
  const std::string out = output();
  int found = 0;
  for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) found++;
  return found;
}

bool Child::wait_for_output(const std::string& text, double seconds, int n) {
  return wait_until(seconds, [&] { return count(text) >= n; });
}

bool Child::wait_exit(double seconds, int* status) {
  if (!reaped_ && !wait_until(seconds, [&] { return waitpid(pid_, status, WNOHANG) == pid_; })) return false;
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

bool Recorder::start(std::string* why) {
  // Warnings on standard error would mix with the samples.
  parec_.reset(new Child({"sh", "-c", "exec parec -d ci.monitor --format=s16le --rate=44100 --channels=2 "
                                      "--latency-msec=20 --raw 2>/dev/null"}, {}));
  if (wait_until(5, [&] { return frames() > 0; })) return true;
  *why = "parec recorded nothing within 5 s";
  return false;
}

void Recorder::stop() {
  int status;
  if (parec_) parec_->kill_now(SIGTERM), parec_->wait_exit(5, &status);
}

std::vector<int16_t> Recorder::samples() {
  const std::string bytes = parec_->output();
  std::vector<int16_t> s(bytes.size() / 4 * 2);
  std::memcpy(s.data(), bytes.data(), s.size() * 2);  // little-endian, as this machine
  return s;
}

long Recorder::frames() { return static_cast<long>(parec_->output().size() / 4); }

Clock::time_point Recorder::time_of_frame(long frame) {
  return parec_->origin() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(double(frame) / kRate));
}

void write_file(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

int exit_code(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

std::vector<int16_t> wav_samples(const std::string& path, bool* whole) {
  const std::string bytes = slurp(path);
  const size_t data = std::min(bytes.find("data"), bytes.size()), from = std::min(data + 8, bytes.size());
  std::vector<int16_t> s((bytes.size() - from) / 2);
  std::memcpy(s.data(), bytes.data() + from, 2 * s.size());
  auto u32 = [&](size_t at) {
    uint32_t v = 0;
    if (at + 4 <= bytes.size()) std::memcpy(&v, bytes.data() + at, 4);
    return static_cast<size_t>(v);
  };
  if (whole) *whole = bytes.size() > 12 && u32(4) == bytes.size() - 8 && u32(data + 4) == bytes.size() - from;
  return s;
}

long differs(const std::vector<int16_t>& rec, long at0, const std::vector<int16_t>& r, long to) {
  to = std::min({to, static_cast<long>(r.size() / 2), static_cast<long>(rec.size() / 2) - at0});
  for (long f = 0; f < to; f++)
    if (rec[2 * (at0 + f)] != r[2 * f] || rec[2 * (at0 + f) + 1] != r[2 * f + 1]) return f;
  return to;
}

long find_frames(const std::vector<int16_t>& hay, long from, const std::vector<int16_t>& s, long at, long n) {
  const auto same = [&](long f) { return std::equal(s.data() + 2 * at, s.data() + 2 * (at + n), hay.data() + 2 * f); };
  for (long f = std::max(from, 0L); f + n <= static_cast<long>(hay.size() / 2); f++)
    if (same(f)) return f;
  return -1;
}

// After the name come the state, eleven more fields, then utime and stime.
long cpu_ticks(pid_t pid) {
  const std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
  long utime = 0, stime = 0;
  std::sscanf(stat.c_str() + stat.rfind(')') + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld", &utime, &stime);
  return utime + stime;
}

double cpu_share(pid_t pid, long before, double seconds) {
  return static_cast<double>(cpu_ticks(pid) - before) / static_cast<double>(sysconf(_SC_CLK_TCK)) / seconds;
}

long resident_kb(pid_t pid) {
  long pages = 0, resident = 0;
  std::ifstream("/proc/" + std::to_string(pid) + "/statm") >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

long Recorder::frame_at(Clock::time_point t) {
  const double s = std::chrono::duration<double>(t - time_of_frame(0)).count();
  return std::min(frames(), std::max(0L, static_cast<long>(s * kRate)));
}

namespace {
std::unique_ptr<Child> g_xvfb, g_pulse, g_jackd;
std::string g_pulse_dir, g_setup_error;

bool can_connect(const std::string& socket_path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, socket_path.c_str(), sizeof addr.sun_path - 1);
  const bool ok = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  if (fd >= 0) close(fd);
  return ok;
}

// SIGTERM, SIGKILL (by the destructor) after 2 s.
void end_child(std::unique_ptr<Child>* c) {
  int status;
  if (*c) (*c)->kill_now(SIGTERM), (*c)->wait_exit(2, &status);
  c->reset();
}

bool start_pulse(std::string* why) {
  const std::string socket_path = g_pulse_dir + "/run/pulse.sock";
  g_pulse.reset(new Child({"pulseaudio", "-n", "--daemonize=no",
                           "--exit-idle-time=-1", "--disallow-exit", "--use-pid-file=no", "-L",
                           "module-null-sink sink_name=ci rate=44100 channels=2 format=s16le norewinds=1", "-L",
                           "module-native-protocol-unix auth-anonymous=1 socket=" + socket_path}, {}));
  if (wait_until(10, [&] { return can_connect(socket_path); })) return true;
  *why = "pulseaudio took no connection within 10 s (is it installed?):\n" + g_pulse->output();
  return false;
}
}  // namespace

void Synth::SetUpTestSuite() {
  char tmpl[] = "/tmp/tev-e2e.XXXXXX";
  g_pulse_dir = mkdtemp(tmpl) ? tmpl : "";
  mkdir((g_pulse_dir + "/run").c_str(), 0700);
  setenv("HOME", g_pulse_dir.c_str(), 1);
  setenv("XDG_RUNTIME_DIR", (g_pulse_dir + "/run").c_str(), 1);
  setenv("PULSE_SERVER", ("unix:" + g_pulse_dir + "/run/pulse.sock").c_str(), 1);
  // JACK servers of this program's own name only (start_jackd): none of the machine's.
  setenv("JACK_DEFAULT_SERVER", ("tev-test-" + std::to_string(getpid())).c_str(), 1);
  // Xvfb writes the display number it chose once it takes connections.
  g_xvfb.reset(new Child({"sh", "-c", "exec Xvfb -displayfd 1 -screen 0 640x480x24 -nolisten tcp 2>/dev/null"}, {}));
  if (!g_xvfb->wait_for_output("\n", 10))
    g_setup_error = "Xvfb gave no display number within 10 s (is it installed?)";
  setenv("DISPLAY", (":" + g_xvfb->output().substr(0, g_xvfb->output().find('\n'))).c_str(), 1);
  if (g_setup_error.empty()) start_pulse(&g_setup_error);
}

void Synth::TearDownTestSuite() {
  end_child(&g_pulse);
  end_child(&g_xvfb);
  std::error_code ec;
  std::filesystem::remove_all(g_pulse_dir, ec);
}

void Synth::kill_pulse() {
  int status;
  g_pulse->kill_now(SIGKILL);
  g_pulse->wait_exit(2, &status);
}

bool Synth::start_jackd(int rate, std::string* why) {
  g_jackd.reset(new Child({"jackd", "--no-realtime", "-n", std::getenv("JACK_DEFAULT_SERVER"), "-d", "dummy", "-r",
                           std::to_string(rate), "-p", "256"}, {}));
  if (wait_until(10, [] { return run({"jack_lsp"}, 5) == 0; })) return true;
  *why = "jackd took no client within 10 s:\n" + g_jackd->output();
  return false;
}

void Synth::stop_jackd() { end_child(&g_jackd); }

bool Synth::restart_pulse(std::string* why) {
  end_child(&g_pulse);
  return start_pulse(why);
}

void Synth::SetUp() {
  ASSERT_TRUE(g_setup_error.empty()) << g_setup_error;
  char tmpl[] = "/tmp/tev-e2e.XXXXXX";
  ASSERT_TRUE(mkdtemp(tmpl));
  dir_ = tmpl;
  std::error_code ec;
  for (const char* f : {"voices.tsy", "pilot.tsy"})
    std::filesystem::copy_file(std::string(TEV_E2E_DATA "/") + f, dir_ + "/" + f, ec);
  std::filesystem::copy_file(TEV_FOND_BMP, dir_ + "/fond.bmp", ec);
}

void Synth::TearDown() {
  synth_.reset();
  stop_jackd();
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

void Synth::launch(char output, const std::string& patch, bool pty, std::vector<std::string> env,
                   const std::string& driver, const std::vector<std::string>& options) {
  env.insert(env.begin(), "env");
  env.push_back(synth_bin_);
  env.insert(env.end(), options.begin(), options.end());
  env.push_back(patch);
  synth_.reset(new Child(env, {dir_, pty}));
  const std::string press = "Press a corresponding number or ESC to quit";
  ASSERT_TRUE(synth_->wait_for_output(press, 10)) << "no output prompt; got:\n" << synth_->output();
  synth_->type(std::string(1, output));
  ASSERT_TRUE(synth_->wait_for_output(press, 10, 2)) << "no driver prompt; got:\n" << synth_->output();
  // ALSA's list, "N - name" lines: the PulseAudio plugin's entry, else "default", else the first.
  std::string fallback;
  const std::string out = synth_->output(), wanted = output == '3' ? "pulse" : driver;
  for (size_t at = out.find("Driver list"); !wanted.empty() && at != std::string::npos;) {
    at = out.find('\n', at);
    if (at++ == std::string::npos) break;
    std::string line = out.substr(at, out.find('\n', at) - at);
    std::transform(line.begin(), line.end(), line.begin(), ::tolower);
    const size_t dash = line.find(" - ");
    if (dash == std::string::npos || dash == 0) continue;
    const std::string key(1, static_cast<char>('0' + std::atoi(line.c_str())));
    if (line.find(wanted, dash) != std::string::npos) {
      fallback = key;
      break;
    }
    if (fallback.empty() && line.compare(dash + 3, 7, "default") == 0) fallback = key;
  }
  synth_->type(fallback.empty() ? "1" : fallback);
  // xdotool gives up on an X error, which a window destroyed while it looks at it
  // causes (SDL makes and drops helper windows as it starts): try again.
  std::string id;
  wait_until(15, [&] {
    return run({"xdotool", "search", "--sync", "--name", "^" + patch + "$"}, 2, &id) == 0 && !id.empty() &&
           id[0] != '\n';
  });
  window_ = id.substr(0, id.find('\n'));
  ASSERT_FALSE(window_.empty()) << synth_->output();
  ASSERT_EQ(run({"xdotool", "windowfocus", window_}, 10), 0);
}

int Synth::quit_with_escape() {
  int status = -1;
  EXPECT_EQ(run({"xdotool", "key", "Escape"}, 10), 0);
  EXPECT_TRUE(synth_->wait_exit(5, &status)) << synth_->output();
  return exit_code(status);
}

bool Synth::key(const std::string& name, bool down) {
  return run({"xdotool", down ? "keydown" : "keyup", name}, 10) == 0;
}

}  // namespace e2e
