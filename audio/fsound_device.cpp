// The FSOUND_ calls of the sound layer: output and driver choice, initialisation,
// one stream fed by a callback on the device's thread.
//
// Every call here is made from the main thread. The device thread sees only
// `g_playing` (the stream in play, published before the device starts) and the
// immutable FSOUND_STREAM it points to, plus the underrun counter and the loss
// report.
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "audio/device_backend.h"
#include "audio/fsound.h"

namespace tev_sound {
namespace {

// Not yet chosen: FSOUND_Init then takes the first output that opens.
constexpr int kOutputUnset = -1;

int g_error = FMOD_ERR_NONE;
int g_output = kOutputUnset;
int g_driver = 0;
bool g_initialised = false;
bool g_close_registered = false;
int g_mixrate = 0;
Backend* g_backend = nullptr;
std::vector<std::string>* g_drivers = nullptr;
FSOUND_STREAM* g_stream = nullptr;  // the one stream created, owned here
bool g_started = false;

std::atomic<FSOUND_STREAM*> g_playing{nullptr};
std::atomic<long> g_underruns{0};

// The loss report: the device thread moves kFine -> kWriting, fills g_loss_text,
// then publishes kReported; the main thread reads the text once it sees
// kReported and puts kFine back only while no device thread runs.
enum { kFine = 0, kWriting = 1, kReported = 2 };
std::atomic<int> g_loss{kFine};
char g_loss_text[256];

// Main thread only: the driver's name as chosen, to find it again on reopening,
// and the state of an outage.
using SteadyClock = std::chrono::steady_clock;
std::string g_driver_name;
bool g_reopening = false;
SteadyClock::time_point g_lost_at;
SteadyClock::time_point g_next_attempt;
std::chrono::milliseconds g_backoff{0};
// Attempts start 250 ms after the loss and slow down to one a second: a server
// restart is caught within a second, and a device gone for good costs a few
// failed opens a second at most.
constexpr std::chrono::milliseconds kFirstRetry{250};
constexpr std::chrono::milliseconds kSlowestRetry{1000};

int fail(int code) {
  g_error = code;
  return 0;
}

bool valid_output(int t) {
  return t == FSOUND_OUTPUT_NOSOUND || t == FSOUND_OUTPUT_OSS || t == FSOUND_OUTPUT_ESD ||
         t == FSOUND_OUTPUT_ALSA;
}

Backend* make_backend(int t) {
  try {
    switch (t) {
      case FSOUND_OUTPUT_NOSOUND: return make_nosound_backend();
      case FSOUND_OUTPUT_OSS: return make_oss_backend();
      case FSOUND_OUTPUT_ESD: return make_sound_server_backend();
      case FSOUND_OUTPUT_ALSA: return make_rtaudio_backend(false);
      default: return nullptr;
    }
  } catch (...) {
    return nullptr;
  }
}

// Backend and driver list of the output in force, built on first need.
Backend* backend() {
  if (!g_backend && valid_output(g_output)) {
    g_backend = make_backend(g_output);
    if (g_backend) {
      try {
        g_drivers = new std::vector<std::string>(g_backend->drivers());
      } catch (...) {
        g_drivers = new std::vector<std::string>();
      }
    }
  }
  return g_backend;
}

void drop_backend() {
  if (g_backend) g_backend->close();
  delete g_backend;
  g_backend = nullptr;
  delete g_drivers;
  g_drivers = nullptr;
}

int driver_count() {
  backend();
  return g_drivers ? static_cast<int>(g_drivers->size()) : 0;
}

void close_at_exit() { tev_sound_close(); }

}  // namespace

void render(void* out, unsigned frames) {
  FSOUND_STREAM* s = g_playing.load(std::memory_order_acquire);
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

void note_underrun() { g_underruns.fetch_add(1, std::memory_order_relaxed); }

void note_lost(const char* what) {
  int expected = kFine;
  if (!g_loss.compare_exchange_strong(expected, kWriting, std::memory_order_acquire)) return;
  std::snprintf(g_loss_text, sizeof g_loss_text, "%s", what && *what ? what : "device error");
  g_loss.store(kReported, std::memory_order_release);
}

bool output_lost() { return g_loss.load(std::memory_order_relaxed) != kFine; }

void raise_thread_priority() {
  sched_param sp{};
  sp.sched_priority = sched_get_priority_min(SCHED_FIFO) + 10;
  pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp);
}

}  // namespace tev_sound

using namespace tev_sound;

// 3.74 is the oldest version callers accept.
float FSOUND_GetVersion() { return 3.74f; }

int FSOUND_SetOutput(int outputtype) {
  if (g_initialised) return fail(FMOD_ERR_BUSY);
  if (!valid_output(outputtype)) return fail(FMOD_ERR_INVALID_PARAM);
  if (outputtype != g_output) {
    drop_backend();
    g_output = outputtype;
    g_driver = 0;
  }
  return 1;
}

int FSOUND_GetOutput() { return g_output; }

int FSOUND_GetNumDrivers() { return driver_count(); }

const char* FSOUND_GetDriverName(int id) {
  if (id < 0 || id >= driver_count()) {
    g_error = FMOD_ERR_INVALID_PARAM;
    return nullptr;
  }
  return (*g_drivers)[static_cast<size_t>(id)].c_str();
}

int FSOUND_SetDriver(int driver) {
  if (g_initialised) return fail(FMOD_ERR_BUSY);
  if (driver < 0 || driver >= driver_count()) return fail(FMOD_ERR_INVALID_PARAM);
  g_driver = driver;
  return 1;
}

int FSOUND_Init(int mixrate, int maxsoftwarechannels, unsigned int) {
  if (g_initialised) return fail(FMOD_ERR_BUSY);
  // Rates any of the devices can be asked for; channels as the library allows.
  if (mixrate < 4000 || mixrate > 192000 || maxsoftwarechannels < 0 ||
      maxsoftwarechannels > 4096)
    return fail(FMOD_ERR_INVALID_PARAM);
  if (g_output == kOutputUnset) {
    // Nothing chosen: the desktop server, then ALSA, then OSS, then silence.
    const int order[] = {FSOUND_OUTPUT_ESD, FSOUND_OUTPUT_ALSA, FSOUND_OUTPUT_OSS,
                         FSOUND_OUTPUT_NOSOUND};
    for (int t : order) {
      g_output = t;
      g_driver = 0;
      if (driver_count() > 0 && g_backend->open(0, mixrate) == FMOD_ERR_NONE) break;
      drop_backend();
    }
  } else {
    if (!backend() || driver_count() == 0) return fail(FMOD_ERR_INIT);
    int err = g_backend->open(g_driver, mixrate);
    if (err != FMOD_ERR_NONE) {
      g_backend->close();
      return fail(err);
    }
  }
  if (!g_backend) return fail(FMOD_ERR_INIT);
  g_driver_name = g_driver < driver_count() ? (*g_drivers)[static_cast<size_t>(g_driver)] : "";
  g_mixrate = mixrate;
  g_initialised = true;
  g_error = FMOD_ERR_NONE;
  if (!g_close_registered) {
    // The device thread must stop before the process's globals are torn down.
    std::atexit(close_at_exit);
    g_close_registered = true;
  }
  return 1;
}

int FSOUND_GetError() { return g_error; }

FSOUND_STREAM* FSOUND_Stream_Create(FSOUND_STREAMCALLBACK callback, int lenbytes,
                                    unsigned int mode, int samplerate, void* userdata) {
  if (!g_initialised) {
    g_error = FMOD_ERR_UNINITIALIZED;
    return nullptr;
  }
  // The layer plays signed 16-bit stereo only: 8-bit (0x1), mono (0x20) and
  // unsigned (0x80) streams are refused, as is a rate other than the mix rate.
  const unsigned kNotPlayable = 0x1 | 0x20 | 0x80;
  if (!callback || lenbytes < kBytesPerFrame || (mode & kNotPlayable) ||
      samplerate != g_mixrate) {
    g_error = FMOD_ERR_INVALID_PARAM;
    return nullptr;
  }
  if (g_stream) {
    // One stream at a time: the device has a single feed.
    g_error = FMOD_ERR_ALLOCATED;
    return nullptr;
  }
  g_stream = new (std::nothrow) FSOUND_STREAM{callback, userdata, lenbytes / kBytesPerFrame};
  if (!g_stream) {
    g_error = FMOD_ERR_MEMORY;
    return nullptr;
  }
  g_error = FMOD_ERR_NONE;
  return g_stream;
}

int FSOUND_Stream_Play(int channel, FSOUND_STREAM* stream) {
  if (!g_initialised) {
    g_error = FMOD_ERR_UNINITIALIZED;
    return -1;
  }
  if (!stream || stream != g_stream || channel < 0) {
    g_error = FMOD_ERR_INVALID_PARAM;
    return -1;
  }
  g_playing.store(stream, std::memory_order_release);
  if (!g_started) {
    // A failed probe before this start may have left a report: no device thread
    // runs yet, so it can be cleared.
    g_loss.store(kFine, std::memory_order_release);
    int err = g_backend->start();
    if (err != FMOD_ERR_NONE) {
      g_playing.store(nullptr, std::memory_order_release);
      g_error = err;
      return -1;
    }
    g_started = true;
  }
  g_error = FMOD_ERR_NONE;
  return channel;
}

int tev_sound_period_frames() { return g_started && g_backend ? g_backend->period_frames() : 0; }

int tev_sound_latency_frames() { return g_started && g_backend ? g_backend->latency_frames() : 0; }

long tev_sound_underruns() { return g_underruns.load(std::memory_order_relaxed); }

void tev_sound_close() {
  if (g_backend) g_backend->close();
  g_started = false;
  g_reopening = false;
  g_playing.store(nullptr, std::memory_order_release);
  delete g_stream;
  g_stream = nullptr;
  g_initialised = false;
  g_mixrate = 0;
}

namespace {

// Opens the output again on the chosen driver, found by name in a fresh list,
// or on the output's default device when it is no longer listed.
bool reopen() {
  std::vector<std::string> names;
  try {
    names = g_backend->drivers();
  } catch (...) {
    return false;
  }
  if (names.empty()) return false;
  auto found = std::find(names.begin(), names.end(), g_driver_name);
  const int index = found != names.end() ? static_cast<int>(found - names.begin())
                                         : g_backend->substitute(g_driver_name);
  if (index < 0) return false;
  if (g_backend->open(index, g_mixrate) != FMOD_ERR_NONE) {
    g_backend->close();
    return false;
  }
  // The old device thread was joined by close(): nothing can be writing the report.
  g_loss.store(kFine, std::memory_order_release);
  if (g_backend->start() != FMOD_ERR_NONE) {
    g_backend->close();
    return false;
  }
  return true;
}

}  // namespace

bool tev_sound_on_jack() { return g_backend && g_backend->on_jack(); }

int tev_sound_supervise() {
  if (!g_started || !g_backend) return TEV_SOUND_STEADY;
  const SteadyClock::time_point now = SteadyClock::now();
  if (!g_reopening) {
    if (g_loss.load(std::memory_order_acquire) != kReported) return TEV_SOUND_STEADY;
    // RtAudio's messages end in a full stop; the line goes on after them.
    size_t len = std::strlen(g_loss_text);
    if (len > 0 && g_loss_text[len - 1] == '.') g_loss_text[len - 1] = '\0';
    std::printf("sound output lost: %s; retrying\n", g_loss_text);
    std::fflush(stdout);
    // Joins the device thread: from here on nothing runs the stream callback
    // until a new device starts, so no engine time passes while the output is gone.
    g_backend->close();
    g_reopening = true;
    g_lost_at = now;
    g_backoff = kFirstRetry;
    g_next_attempt = now + g_backoff;
    return TEV_SOUND_LOST;
  }
  if (now < g_next_attempt) return TEV_SOUND_STEADY;
  if (reopen()) {
    g_reopening = false;
    const double seconds = std::chrono::duration<double>(SteadyClock::now() - g_lost_at).count();
    std::printf("sound output restored after %.1f s\n", seconds);
    std::fflush(stdout);
    return TEV_SOUND_RESTORED;
  }
  g_backoff = std::min(g_backoff * 2, kSlowestRetry);
  g_next_attempt = SteadyClock::now() + g_backoff;
  return TEV_SOUND_STEADY;
}
