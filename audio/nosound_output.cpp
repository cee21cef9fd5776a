// NoSound: the stream is pulled at real-time pace and its frames discarded, so
// the synth behaves (sequencers advance, CPU load is real) without a device.
#include <time.h>

#include <vector>

#include "audio/device_backend.h"
#include "engine/sample_rate.h"

namespace tev_sound {
namespace {

constexpr long kNanosPerSecond = 1000000000L;
// Behind by more than this (a stalled machine), the pace starts afresh from now
// instead of bursting to catch up.
constexpr long kMaxLagNanos = 200000000L;

void add_nanos(timespec& t, long long ns) {
  long long total = static_cast<long long>(t.tv_nsec) + ns;
  t.tv_sec += static_cast<time_t>(total / kNanosPerSecond);
  t.tv_nsec = static_cast<long>(total % kNanosPerSecond);
}

long long nanos_between(const timespec& a, const timespec& b) {
  return (static_cast<long long>(b.tv_sec) - a.tv_sec) * kNanosPerSecond + (b.tv_nsec - a.tv_nsec);
}

class NoSoundBackend : public Backend {
 public:
  std::vector<std::string> drivers() override { return {"NoSound"}; }

  int open(int index, int rate) override {
    if (index != 0) return FMOD_ERR_INVALID_PARAM;
    rate_ = rate;
    buffer_.assign(kWantedPeriodFrames * 2, 0);
    return FMOD_ERR_NONE;
  }

  int start() override { return thread_.start([this] { run(); }); }
  void close() override { thread_.stop(); }

  int period_frames() const override { return static_cast<int>(kWantedPeriodFrames); }
  int latency_frames() const override { return static_cast<int>(kWantedPeriodFrames); }

  ~NoSoundBackend() override { close(); }

 private:
  void run() {
    raise_thread_priority();
    // Deadlines are counted in frames from the start so that rounding of the
    // period's length never accumulates.
    timespec origin;
    clock_gettime(CLOCK_MONOTONIC, &origin);
    long long frames_done = 0;
    while (!thread_.stopping()) {
      render(buffer_.data(), kWantedPeriodFrames);
      frames_done += kWantedPeriodFrames;
      timespec deadline = origin;
      add_nanos(deadline, frames_done * kNanosPerSecond / rate_);
      timespec now;
      clock_gettime(CLOCK_MONOTONIC, &now);
      if (nanos_between(deadline, now) > kMaxLagNanos) {
        note_underrun();
        origin = now;
        frames_done = 0;
        continue;
      }
      while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) != 0 &&
             !thread_.stopping()) {
      }
    }
  }

  int rate_ = kSampleRate;
  std::vector<short> buffer_;
  DeviceThread thread_;
};

}  // namespace

Backend* make_nosound_backend() { return new NoSoundBackend(); }

}  // namespace tev_sound
