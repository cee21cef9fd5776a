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
  // A new server on the same directory and socket, after the test ended the
  // old one through pid(): what a client sees when the desktop's server restarts.
  bool restart(std::string* why);

  pid_t pid() const { return pid_; }
  const std::string& dir() const { return dir_; }
  // "unix:<dir>/run/pulse.sock"
  const std::string& server() const { return server_; }

 private:
  bool launch(std::string* why);
  pid_t pid_ = -1;
  std::string dir_;
  std::string server_;
  std::vector<std::pair<std::string, std::string>> saved_env_;  // name, value ("\1" unset)
};

// Records the null sink "ci" (its monitor) as raw signed 16-bit little-endian
// stereo at 44100 Hz into `path`, through parec with 20 ms latency. Returns once
// data flows (at most 5 s), or -1 when parec can't be started.
pid_t start_recording(const std::string& path);

// Ends a child started by these helpers: SIGTERM, then SIGKILL after
// `grace_ms`; reaps it. Does nothing for pid <= 0.
void stop_process(pid_t pid, int grace_ms = 2000);

// Interleaved samples of a raw 16-bit little-endian file (empty when unreadable).
std::vector<short> read_raw_s16(const std::string& path);

}  // namespace tev_test
