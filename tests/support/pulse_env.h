// A private PulseAudio server with a null sink named "ci", for tests that play
// real sound without a sound card, and a recorder of what reaches that sink.
// Everything started here is stopped by its PID; nothing else is touched.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace tev_test {

class PulseEnv {
 public:
  PulseEnv() = default;
  PulseEnv(const PulseEnv&) = delete;
  PulseEnv& operator=(const PulseEnv&) = delete;
  ~PulseEnv() { stop(); }

  // Starts the server in a fresh private directory (its HOME and
  // XDG_RUNTIME_DIR) and points this process's environment at it: HOME,
  // XDG_RUNTIME_DIR and PULSE_SERVER, which child processes inherit. The ALSA
  // "default" device then plays through it too. Waits until the server takes
  // connections (at most 10 s). On failure returns false and says why.
  bool start(std::string* why);
  // Kills the server by PID, puts the environment back and removes the directory.
  void stop();

  pid_t pid() const { return pid_; }
  const std::string& dir() const { return dir_; }
  // "unix:<dir>/run/pulse.sock"
  const std::string& server() const { return server_; }

 private:
  pid_t pid_ = -1;
  std::string dir_;
  std::string server_;
  std::vector<std::pair<std::string, std::string>> saved_env_;  // name, value ("\1" unset)
};

}  // namespace tev_test
