// The device side of the sound layer: one backend per output type. Private to
// the device library; the public surface is audio/fsound.h.
#pragma once

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "audio/fsound.h"

struct FSOUND_STREAM {
  FSOUND_STREAMCALLBACK callback;
  void* userdata;
  // Largest block handed to the callback, in frames (the caller's lenbytes / 4).
  int max_frames;
};

namespace tev_sound {

// Frames are signed 16-bit stereo, interleaved: 4 bytes each.
constexpr int kBytesPerFrame = 4;
// Periods asked from every device: 256 frames is 5.8 ms at 44100 Hz, so a key is
// heard within a few periods even on a loaded machine.
constexpr unsigned kWantedPeriodFrames = 256;
constexpr unsigned kWantedPeriods = 4;

// Fills `frames` frames at `out` from the stream in play, or with silence when
// none plays. Runs on the device thread: no allocation, no lock, no I/O.
void render(void* out, unsigned frames);
// Counts an underrun the device reported (device thread).
void note_underrun();
// The device thread's report that the output is gone (the server died, the device
// was unplugged): the first report since the stream started is kept, later ones
// are dropped. No allocation, no lock.
void note_lost(const char* what);
// True once a loss was reported: the device thread then stops feeding the device
// (no engine runs) until the main thread has reopened it.
bool output_lost();

class Backend {
 public:
  virtual ~Backend() = default;
  // Driver names of this output, in the order the user numbers them.
  virtual std::vector<std::string> drivers() = 0;
  // Opens driver `index` at `rate` frames/s; on failure returns an error code.
  virtual int open(int index, int rate) = 0;
  // Starts the device pulling frames through render(); returns an error code.
  virtual int start() = 0;
  // Stops the device and closes it; safe when never opened or started.
  virtual void close() = 0;
  // Index in the last drivers() list of the output's default device; 0 where
  // the output has no notion of one.
  virtual int default_driver() const { return 0; }
  // Index in the last drivers() list of the device to play on when the driver
  // named `lost` is no longer listed; -1 to wait for that one to come back.
  virtual int substitute(const std::string& lost) const {
    (void)lost;
    return default_driver();
  }
  // True when the driver last opened is a JACK server.
  virtual bool on_jack() const { return false; }
  virtual int period_frames() const = 0;
  virtual int latency_frames() const = 0;
};

// The layer's own device thread, for the outputs that push frames themselves
// (OSS, NoSound): started once, asked to stop and joined on close.
class DeviceThread {
 public:
  template <class Body>
  int start(Body body) {
    if (thread_.joinable()) return FMOD_ERR_NONE;
    stop_.store(false);
    try {
      thread_ = std::thread(body);
    } catch (...) {
      return FMOD_ERR_PLAY;
    }
    return FMOD_ERR_NONE;
  }
  void stop() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
  }
  // Polled by the body between periods.
  bool stopping() const { return stop_.load(std::memory_order_relaxed); }
  ~DeviceThread() { stop(); }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

Backend* make_nosound_backend();
Backend* make_oss_backend();
// api_pulse selects PulseAudio (or PipeWire's pulse server) over ALSA.
Backend* make_rtaudio_backend(bool api_pulse);
// The sound server's devices through RtAudio, then JACK when a JACK server runs.
Backend* make_sound_server_backend();

// Makes the calling thread a low real-time priority thread where allowed;
// silently stays as it is otherwise.
void raise_thread_priority();

}  // namespace tev_sound
