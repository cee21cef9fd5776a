// The FSOUND_ calls of the sound layer: output and driver choice, initialisation,
// one stream fed by a callback on the device's thread. One SoundLayer object holds
// the backend (the device), the stream and the outage supervisor; the calls ask it.
//
// Every call here is made from the main thread. The device thread sees only
// `playing_` (the stream in play, published before the device starts) and the
// immutable FSOUND_STREAM it points to, plus the loss report.
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "audio/device_backend.h"
#include "audio/fsound.h"
#include "host/player.h"

namespace tev_sound {
namespace {

// Not yet chosen: FSOUND_Init then takes the first output that opens.
constexpr int kOutputUnset = -1;
// Attempts start 250 ms after the loss and slow down to one a second: a server
// restart is caught within a second, and a device gone for good costs a few
// failed opens a second at most.
constexpr std::chrono::milliseconds kFirstRetry{250};
constexpr std::chrono::milliseconds kSlowestRetry{1000};

bool valid_output(int t) {
  return t == FSOUND_OUTPUT_NOSOUND || t == FSOUND_OUTPUT_OSS || t == FSOUND_OUTPUT_ESD ||
         t == FSOUND_OUTPUT_ALSA;
}

Backend* make_backend(int t) {
  try {
    switch (t) {
      case FSOUND_OUTPUT_NOSOUND: return make_nosound_backend();
      case FSOUND_OUTPUT_OSS: return make_oss_backend();
      case FSOUND_OUTPUT_ESD: return make_rtaudio_backend(true);
      case FSOUND_OUTPUT_ALSA: return make_rtaudio_backend(false);
      default: return nullptr;
    }
  } catch (...) {
    return nullptr;
  }
}

// The process's one sound output, from the first call to exit. close() stops the
// device thread; it runs at exit (registered by the first successful init), before
// the object itself is destroyed.
class SoundLayer {
 public:
  ~SoundLayer() { close(); }

  // ---- the FSOUND_ calls (main thread)
  int set_output(int t);
  int output() const { return output_; }
  int driver_count();
  const char* driver_name(int id);
  int set_driver(int driver);
  int init(int mixrate, int maxsoftwarechannels);
  int error() const { return error_; }
  FSOUND_STREAM* create_stream(FSOUND_STREAMCALLBACK callback, int lenbytes, unsigned mode,
                               int samplerate, void* userdata);
  int play(int channel, FSOUND_STREAM* stream);
  int period_frames() const { return started_ && backend_ ? backend_->period_frames() : 0; }
  int latency_frames() const { return started_ && backend_ ? backend_->latency_frames() : 0; }
  void close();
  void supervise();

  // ---- device thread
  void render(void* out, unsigned frames);
  void note_lost(const char* what);
  bool output_lost() const { return loss_.load(std::memory_order_relaxed) != kFine; }

 private:
  int fail(int code) {
    error_ = code;
    return 0;
  }
  Backend* backend();
  void drop_backend();
  bool reopen();

  int error_ = FMOD_ERR_NONE;
  int output_ = kOutputUnset;
  int driver_ = 0;
  bool initialised_ = false;
  bool close_registered_ = false;
  int mixrate_ = 0;
  // The device of the output in force and its driver list, built on first need.
  std::unique_ptr<Backend> backend_;
  std::vector<std::string> drivers_;
  std::unique_ptr<FSOUND_STREAM> stream_;  // the one stream created
  bool started_ = false;
  std::atomic<FSOUND_STREAM*> playing_{nullptr};

  // The loss report: the device thread moves kFine -> kWriting, fills loss_text_,
  // then publishes kReported; the main thread reads the text once it sees
  // kReported and puts kFine back only while no device thread runs.
  enum { kFine = 0, kWriting = 1, kReported = 2 };
  std::atomic<int> loss_{kFine};
  char loss_text_[256] = "";

  // The outage supervisor (main thread): the driver's name as chosen, to find it
  // again on reopening, and the state of an outage.
  using SteadyClock = std::chrono::steady_clock;
  std::string driver_name_;
  bool reopening_ = false;
  SteadyClock::time_point lost_at_;
  SteadyClock::time_point next_attempt_;
  std::chrono::milliseconds backoff_{0};
};

SoundLayer g_sound;

void close_at_exit() { g_sound.close(); }

Backend* SoundLayer::backend() {
  if (!backend_ && valid_output(output_)) {
    backend_.reset(make_backend(output_));
    if (backend_) {
      try {
        drivers_ = backend_->drivers();
      } catch (...) {
        drivers_.clear();
      }
    }
  }
  return backend_.get();
}

void SoundLayer::drop_backend() {
  if (backend_) backend_->close();
  backend_.reset();
  drivers_.clear();
}

int SoundLayer::driver_count() {
  backend();
  return backend_ ? static_cast<int>(drivers_.size()) : 0;
}

void SoundLayer::render(void* out, unsigned frames) {
  FSOUND_STREAM* s = playing_.load(std::memory_order_acquire);
  char* p = static_cast<char*>(out);
  if (!s) {
    std::memset(p, 0, static_cast<size_t>(frames) * kBytesPerFrame);
    return;
  }
  while (frames > 0) {
    unsigned n = frames < static_cast<unsigned>(s->max_frames) ? frames
                                                                : static_cast<unsigned>(s->max_frames);
    s->callback(s, p, static_cast<int>(n) * kBytesPerFrame, s->userdata);
    p += static_cast<size_t>(n) * kBytesPerFrame;
    frames -= n;
  }
}

void SoundLayer::note_lost(const char* what) {
  int expected = kFine;
  if (!loss_.compare_exchange_strong(expected, kWriting, std::memory_order_acquire)) return;
  std::snprintf(loss_text_, sizeof loss_text_, "%s", what && *what ? what : "device error");
  loss_.store(kReported, std::memory_order_release);
}

int SoundLayer::set_output(int outputtype) {
  if (initialised_) return fail(FMOD_ERR_BUSY);
  if (!valid_output(outputtype)) return fail(FMOD_ERR_INVALID_PARAM);
  if (outputtype != output_) {
    drop_backend();
    output_ = outputtype;
    driver_ = 0;
  }
  return 1;
}

const char* SoundLayer::driver_name(int id) {
  if (id < 0 || id >= driver_count()) {
    error_ = FMOD_ERR_INVALID_PARAM;
    return nullptr;
  }
  return drivers_[static_cast<size_t>(id)].c_str();
}

int SoundLayer::set_driver(int driver) {
  if (initialised_) return fail(FMOD_ERR_BUSY);
  if (driver < 0 || driver >= driver_count()) return fail(FMOD_ERR_INVALID_PARAM);
  driver_ = driver;
  return 1;
}

int SoundLayer::init(int mixrate, int maxsoftwarechannels) {
  if (initialised_) return fail(FMOD_ERR_BUSY);
  // Rates any of the devices can be asked for; channels as the library allows.
  if (mixrate < 4000 || mixrate > 192000 || maxsoftwarechannels < 0 ||
      maxsoftwarechannels > 4096)
    return fail(FMOD_ERR_INVALID_PARAM);
  if (output_ == kOutputUnset) {
    // Nothing chosen: the desktop server, then ALSA, then OSS, then silence.
    const int order[] = {FSOUND_OUTPUT_ESD, FSOUND_OUTPUT_ALSA, FSOUND_OUTPUT_OSS,
                         FSOUND_OUTPUT_NOSOUND};
    for (int t : order) {
      output_ = t;
      driver_ = 0;
      if (driver_count() > 0 && backend_->open(0, mixrate) == FMOD_ERR_NONE) break;
      drop_backend();
    }
  } else {
    if (!backend() || driver_count() == 0) return fail(FMOD_ERR_INIT);
    int err = backend_->open(driver_, mixrate);
    if (err != FMOD_ERR_NONE) {
      backend_->close();
      return fail(err);
    }
  }
  if (!backend_) return fail(FMOD_ERR_INIT);
  driver_name_ = driver_ < driver_count() ? drivers_[static_cast<size_t>(driver_)] : "";
  mixrate_ = mixrate;
  initialised_ = true;
  error_ = FMOD_ERR_NONE;
  if (!close_registered_) {
    // The device thread must stop before the process's globals are torn down.
    std::atexit(close_at_exit);
    close_registered_ = true;
  }
  return 1;
}

FSOUND_STREAM* SoundLayer::create_stream(FSOUND_STREAMCALLBACK callback, int lenbytes,
                                         unsigned mode, int samplerate, void* userdata) {
  if (!initialised_) {
    error_ = FMOD_ERR_UNINITIALIZED;
    return nullptr;
  }
  // The layer plays signed 16-bit stereo only: 8-bit (0x1), mono (0x20) and
  // unsigned (0x80) streams are refused, as is a rate other than the mix rate.
  const unsigned kNotPlayable = 0x1 | 0x20 | 0x80;
  if (!callback || lenbytes < kBytesPerFrame || (mode & kNotPlayable) ||
      samplerate != mixrate_) {
    error_ = FMOD_ERR_INVALID_PARAM;
    return nullptr;
  }
  if (stream_) {
    // One stream at a time: the device has a single feed.
    error_ = FMOD_ERR_ALLOCATED;
    return nullptr;
  }
  stream_.reset(new (std::nothrow) FSOUND_STREAM{callback, userdata, lenbytes / kBytesPerFrame});
  if (!stream_) {
    error_ = FMOD_ERR_MEMORY;
    return nullptr;
  }
  error_ = FMOD_ERR_NONE;
  return stream_.get();
}

int SoundLayer::play(int channel, FSOUND_STREAM* stream) {
  if (!initialised_) {
    error_ = FMOD_ERR_UNINITIALIZED;
    return -1;
  }
  if (!stream || stream != stream_.get() || channel < 0) {
    error_ = FMOD_ERR_INVALID_PARAM;
    return -1;
  }
  playing_.store(stream, std::memory_order_release);
  if (!started_) {
    // A failed probe before this start may have left a report: no device thread
    // runs yet, so it can be cleared.
    loss_.store(kFine, std::memory_order_release);
    int err = backend_->start();
    if (err != FMOD_ERR_NONE) {
      playing_.store(nullptr, std::memory_order_release);
      error_ = err;
      return -1;
    }
    started_ = true;
  }
  error_ = FMOD_ERR_NONE;
  return channel;
}

void SoundLayer::close() {
  if (backend_) backend_->close();
  started_ = false;
  reopening_ = false;
  playing_.store(nullptr, std::memory_order_release);
  stream_.reset();
  initialised_ = false;
  mixrate_ = 0;
}

// Opens the output again on the chosen driver, found by name in a fresh list,
// or on the output's default device when it is no longer listed.
bool SoundLayer::reopen() {
  std::vector<std::string> names;
  try {
    names = backend_->drivers();
  } catch (...) {
    return false;
  }
  if (names.empty()) return false;
  auto found = std::find(names.begin(), names.end(), driver_name_);
  const int index = found != names.end() ? static_cast<int>(found - names.begin())
                                         : backend_->default_driver();
  if (backend_->open(index, mixrate_) != FMOD_ERR_NONE) {
    backend_->close();
    return false;
  }
  // The old device thread was joined by close(): nothing can be writing the report.
  loss_.store(kFine, std::memory_order_release);
  if (backend_->start() != FMOD_ERR_NONE) {
    backend_->close();
    return false;
  }
  return true;
}

void SoundLayer::supervise() {
  if (!started_ || !backend_) return;
  const SteadyClock::time_point now = SteadyClock::now();
  if (!reopening_) {
    if (loss_.load(std::memory_order_acquire) != kReported) return;
    // RtAudio's messages end in a full stop; the line goes on after them.
    size_t len = std::strlen(loss_text_);
    if (len > 0 && loss_text_[len - 1] == '.') loss_text_[len - 1] = '\0';
    std::printf("sound output lost: %s; retrying\n", loss_text_);
    std::fflush(stdout);
    // Joins the device thread: from here on nothing runs the stream callback
    // until a new device starts, so no engine time passes while the output is gone.
    backend_->close();
    reopening_ = true;
    lost_at_ = now;
    backoff_ = kFirstRetry;
    next_attempt_ = now + backoff_;
    return;
  }
  if (now < next_attempt_) return;
  if (reopen()) {
    reopening_ = false;
    const double seconds = std::chrono::duration<double>(SteadyClock::now() - lost_at_).count();
    std::printf("sound output restored after %.1f s\n", seconds);
    std::fflush(stdout);
    return;
  }
  backoff_ = std::min(backoff_ * 2, kSlowestRetry);
  next_attempt_ = SteadyClock::now() + backoff_;
}

}  // namespace

void render(void* out, unsigned frames) { g_sound.render(out, frames); }

// Counted where what plays is counted: the live player.
void note_underrun() {
  if (g_player) g_player->count_underrun();
}

void note_lost(const char* what) { g_sound.note_lost(what); }

bool output_lost() { return g_sound.output_lost(); }

void raise_thread_priority() {
  sched_param sp{};
  sp.sched_priority = sched_get_priority_min(SCHED_FIFO) + 10;
  pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp);
}

}  // namespace tev_sound

using tev_sound::g_sound;

// 3.74 is the oldest version callers accept.
float FSOUND_GetVersion() { return 3.74f; }
int FSOUND_SetOutput(int outputtype) { return g_sound.set_output(outputtype); }
int FSOUND_GetOutput() { return g_sound.output(); }
int FSOUND_GetNumDrivers() { return g_sound.driver_count(); }
const char* FSOUND_GetDriverName(int id) { return g_sound.driver_name(id); }
int FSOUND_SetDriver(int driver) { return g_sound.set_driver(driver); }
int FSOUND_Init(int mixrate, int maxsoftwarechannels, unsigned int) {
  return g_sound.init(mixrate, maxsoftwarechannels);
}
int FSOUND_GetError() { return g_sound.error(); }
FSOUND_STREAM* FSOUND_Stream_Create(FSOUND_STREAMCALLBACK callback, int lenbytes,
                                    unsigned int mode, int samplerate, void* userdata) {
  return g_sound.create_stream(callback, lenbytes, mode, samplerate, userdata);
}
int FSOUND_Stream_Play(int channel, FSOUND_STREAM* stream) { return g_sound.play(channel, stream); }

int tev_sound_period_frames() { return g_sound.period_frames(); }
int tev_sound_latency_frames() { return g_sound.latency_frames(); }
void tev_sound_close() { g_sound.close(); }
void tev_sound_supervise() { g_sound.supervise(); }
