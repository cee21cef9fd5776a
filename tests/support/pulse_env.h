// A private PulseAudio server with a null sink "ci", for tests that play real
// sound without a sound card. Started and stopped by its PID.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace tev_test {

class PulseEnv {
 public:
  PulseEnv() = default;
  PulseEnv(const PulseEnv&) = delete;
  PulseEnv& operator=(const PulseEnv&) = delete;
  ~PulseEnv() { stop(); }
  // Starts it in a fresh directory and points HOME, XDG_RUNTIME_DIR and
  // PULSE_SERVER of this process (and so of its children; ALSA's "default" device
  // too) at it; waits until it takes connections (10 s at most). False, and why.
  bool start(std::string* why);
  void stop();  // kills it, puts the environment back, removes the directory
  // A new server on the same directory and socket, after the test ended the old
  // one through pid(): what a client sees when the desktop's server restarts.
  bool restart(std::string* why);
  pid_t pid() const { return pid_; }
  const std::string& dir() const { return dir_; }
  const std::string& server() const { return server_; }  // "unix:<dir>/run/pulse.sock"

 private:
  bool launch(std::string* why);
  pid_t pid_ = -1;
  std::string dir_, server_;
  std::vector<std::pair<std::string, std::string>> saved_env_;  // name, value ("\1" unset)
};

}  // namespace tev_test
