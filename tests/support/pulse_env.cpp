#include "tests/support/pulse_env.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

namespace tev_test {
namespace {

const char kUnset[] = "\1";

bool can_connect(const std::string& socket_path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, socket_path.c_str(), sizeof addr.sun_path - 1);
  const bool ok = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  if (fd >= 0) close(fd);
  return ok;
}

// Ends our child `pid` (SIGTERM, SIGKILL after 2 s) unless it is gone or already
// reaped (then the number may be another process's: left alone).
void end_child(pid_t pid) {
  if (pid <= 0 || waitpid(pid, nullptr, WNOHANG) != 0) return;
  kill(pid, SIGTERM);
  for (int i = 0; i < 100; i++, std::this_thread::sleep_for(std::chrono::milliseconds(20)))
    if (waitpid(pid, nullptr, WNOHANG) != 0) return;
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

}  // namespace

bool PulseEnv::start(std::string* why) {
  stop();
  char tmpl[] = "/tmp/tev-pulse.XXXXXX";
  if (!mkdtemp(tmpl)) return *why = "mkdtemp failed", false;
  dir_ = tmpl;
  const std::string run = dir_ + "/run";
  mkdir(run.c_str(), 0700);
  server_ = "unix:" + run + "/pulse.sock";
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
  if (server_.empty()) return *why = "no server was started", false;
  end_child(pid_);
  pid_ = -1;
  return launch(why);
}

bool PulseEnv::launch(std::string* why) {
  const std::string socket_path = server_.substr(5);  // after "unix:"
  const std::string sink = "module-null-sink sink_name=ci rate=44100 channels=2 format=s16le norewinds=1";
  const std::string unix_socket = "module-native-protocol-unix auth-anonymous=1 socket=" + socket_path;
  pid_ = fork();
  if (pid_ == 0) {
    freopen("/dev/null", "r", stdin), freopen("/dev/null", "w", stdout), freopen("/dev/null", "w", stderr);
    execlp("pulseaudio", "pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
           "--disallow-exit", "--use-pid-file=no", "-L", sink.c_str(), "-L", unix_socket.c_str(),
           static_cast<char*>(nullptr));
    _exit(127);
  }
  for (int i = 0; i < 200 && pid_ > 0; i++) {
    if (can_connect(socket_path)) return true;
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  *why = pid_ < 0 ? "pulseaudio ended at start (is it installed?)" : "pulseaudio took no connection within 10 s";
  stop();
  return false;
}

void PulseEnv::stop() {
  end_child(pid_);
  pid_ = -1;
  for (const auto& e : saved_env_)
    e.second == kUnset ? unsetenv(e.first.c_str()) : setenv(e.first.c_str(), e.second.c_str(), 1);
  saved_env_.clear();
  std::error_code ec;
  if (dir_.rfind("/tmp/tev-pulse.", 0) == 0) std::filesystem::remove_all(dir_, ec);
  dir_.clear();
  server_.clear();
}

}  // namespace tev_test
