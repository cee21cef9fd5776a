#include "tests/support/pulse_env.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>

namespace tev_test {
namespace {

const char kUnset[] = "\1";

bool can_connect(const std::string& socket_path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, socket_path.c_str(), sizeof addr.sun_path - 1);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

// Runs argv with standard output to `out_path` (or /dev/null) and standard
// error to /dev/null; returns the child's PID or -1.
pid_t spawn(const std::vector<std::string>& args, const std::string& out_path) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid != 0) return pid;
  int null_fd = open("/dev/null", O_RDWR);
  int out = out_path.empty() ? null_fd : open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  dup2(null_fd, 0);
  dup2(out, 1);
  dup2(null_fd, 2);
  execvp(argv[0], argv.data());
  _exit(127);
}

// True once the child has ended (and is reaped), or is no child of ours.
bool exited(pid_t pid) {
  int st;
  pid_t r = waitpid(pid, &st, WNOHANG);
  return r == pid || (r < 0 && errno == ECHILD);
}

void remove_tree(const std::string& dir) {
  if (dir.empty() || dir.rfind("/tmp/", 0) != 0) return;
  pid_t pid = fork();
  if (pid == 0) {
    execlp("rm", "rm", "-rf", "--", dir.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  if (pid > 0) waitpid(pid, nullptr, 0);
}

}  // namespace

bool PulseEnv::start(std::string* why) {
  stop();
  char tmpl[] = "/tmp/tev-pulse.XXXXXX";
  if (!mkdtemp(tmpl)) {
    *why = "mkdtemp failed";
    return false;
  }
  dir_ = tmpl;
  const std::string run = dir_ + "/run";
  mkdir(run.c_str(), 0700);
  const std::string socket_path = run + "/pulse.sock";
  server_ = "unix:" + socket_path;

  for (const char* name : {"HOME", "XDG_RUNTIME_DIR", "PULSE_SERVER"}) {
    const char* v = getenv(name);
    saved_env_.emplace_back(name, v ? v : kUnset);
  }
  setenv("HOME", dir_.c_str(), 1);
  setenv("XDG_RUNTIME_DIR", run.c_str(), 1);
  setenv("PULSE_SERVER", server_.c_str(), 1);

  return launch(why);
}

bool PulseEnv::restart(std::string* why) {
  if (server_.empty()) {
    *why = "no server was started";
    return false;
  }
  stop_process(pid_);
  pid_ = -1;
  return launch(why);
}

bool PulseEnv::launch(std::string* why) {
  const std::string socket_path = server_.substr(5);  // after "unix:"
  pid_ = spawn({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit",
                "--use-pid-file=no", "-L",
                "module-null-sink sink_name=ci rate=44100 channels=2 format=s16le norewinds=1",
                "-L", "module-native-protocol-unix auth-anonymous=1 socket=" + socket_path},
               "");
  if (pid_ < 0) {
    *why = "fork failed";
    stop();
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    if (can_connect(socket_path)) return true;
    if (exited(pid_)) {
      pid_ = -1;
      *why = "pulseaudio ended at start (is it installed?)";
      stop();
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  *why = "pulseaudio took no connection within 10 s";
  stop();
  return false;
}

void PulseEnv::stop() {
  stop_process(pid_);
  pid_ = -1;
  for (const auto& e : saved_env_) {
    if (e.second == kUnset)
      unsetenv(e.first.c_str());
    else
      setenv(e.first.c_str(), e.second.c_str(), 1);
  }
  saved_env_.clear();
  remove_tree(dir_);
  dir_.clear();
  server_.clear();
}

pid_t start_recording(const std::string& path) {
  pid_t pid = spawn({"parec", "-d", "ci.monitor", "--format=s16le", "--rate=44100",
                     "--channels=2", "--latency-msec=20", "--raw"},
                    path);
  if (pid < 0) return -1;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < deadline) {
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && st.st_size > 0) return pid;
    if (exited(pid)) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  stop_process(pid);
  return -1;
}

void stop_process(pid_t pid, int grace_ms) {
  if (pid <= 0) return;
  if (exited(pid)) return;
  kill(pid, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(grace_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    if (exited(pid)) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

std::vector<short> read_raw_s16(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  std::vector<short> out(bytes.size() / 2);
  for (size_t i = 0; i < out.size(); ++i) {
    unsigned lo = static_cast<unsigned char>(bytes[2 * i]);
    unsigned hi = static_cast<unsigned char>(bytes[2 * i + 1]);
    out[i] = static_cast<short>(lo | (hi << 8));
  }
  return out;
}

}  // namespace tev_test
