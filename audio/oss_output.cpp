// OSS: /dev/dsp, /dev/dsp1, ... written from the layer's own thread. Also what
// the pulse OSS emulation (padsp) and ALSA's (aoss) present.
#include <errno.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/soundcard.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "audio/device_backend.h"

namespace tev_sound {
namespace {

// /dev/dsp and /dev/dsp1 to /dev/dsp15: the minor numbers OSS gives its cards.
constexpr int kMaxDevices = 16;

std::string device_path(int n) {
  if (n == 0) return "/dev/dsp";
  char name[32];
  std::snprintf(name, sizeof name, "/dev/dsp%d", n);
  return name;
}

// log2 of the fragment size in bytes asked for: 2^10 = 1024 bytes = 256 frames.
constexpr int kFragmentShift = 10;
static_assert((1u << kFragmentShift) == kWantedPeriodFrames * kBytesPerFrame,
              "fragment is one period");

bool probe_open(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

class OssBackend : public Backend {
 public:
  std::vector<std::string> drivers() override {
    std::vector<std::string> out;
    paths_.clear();
    for (int n = 0; n < kMaxDevices; ++n) {
      std::string p = device_path(n);
      // access() rather than stat(): the sound server's emulation intercepts it, so
      // an emulated /dev/dsp is listed where no device node exists. ALSA's emulation
      // (aoss) intercepts only open(): a device it opens is listed too.
      if (access(p.c_str(), F_OK) == 0 || probe_open(p)) {
        paths_.push_back(p);
        out.push_back(p);
      }
    }
    return out;
  }

  int open(int index, int rate) override {
    if (index < 0 || index >= static_cast<int>(paths_.size())) return FMOD_ERR_INVALID_PARAM;
    path_ = paths_[static_cast<size_t>(index)];
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd_ < 0) return FMOD_ERR_INIT;
    // The fragment request must come before the format is set to take effect.
    int frag = (static_cast<int>(kWantedPeriods) << 16) | kFragmentShift;
    ioctl(fd_, SNDCTL_DSP_SETFRAGMENT, &frag);
    int fmt = AFMT_S16_LE;
    int channels = 2;
    int speed = rate;
    if (ioctl(fd_, SNDCTL_DSP_SETFMT, &fmt) < 0 || fmt != AFMT_S16_LE ||
        ioctl(fd_, SNDCTL_DSP_CHANNELS, &channels) < 0 || channels != 2 ||
        ioctl(fd_, SNDCTL_DSP_SPEED, &speed) < 0 ||
        // Within 1% of the asked rate: cards round to their clock's divisors.
        speed < rate - rate / 100 || speed > rate + rate / 100) {
      ::close(fd_);
      fd_ = -1;
      return FMOD_ERR_OUTPUT_FORMAT;
    }
    audio_buf_info info{};
    period_ = static_cast<int>(kWantedPeriodFrames);
    latency_ = static_cast<int>(kWantedPeriodFrames * kWantedPeriods);
    if (ioctl(fd_, SNDCTL_DSP_GETOSPACE, &info) == 0 && info.fragsize > 0) {
      period_ = info.fragsize / kBytesPerFrame;
      if (info.fragstotal > 0) latency_ = info.fragstotal * period_;
    }
    // One period per write: what the device granted, never more than it holds.
    buffer_.assign(static_cast<size_t>(period_) * 2, 0);
    return FMOD_ERR_NONE;
  }

  int start() override {
    if (fd_ < 0) return FMOD_ERR_PLAY;
    return thread_.start([this] { run(); });
  }

  void close() override {
    thread_.stop();
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  int period_frames() const override { return period_; }
  int latency_frames() const override { return latency_; }

  ~OssBackend() override { close(); }

 private:
  void run() {
    raise_thread_priority();
    const size_t bytes = buffer_.size() * sizeof(short);
    while (!thread_.stopping()) {
      render(buffer_.data(), static_cast<unsigned>(period_));
      const char* p = reinterpret_cast<const char*>(buffer_.data());
      size_t left = bytes;
      while (left > 0) {
        ssize_t n = ::write(fd_, p, left);
        if (n <= 0) {
          if (n < 0 && errno == EINTR) continue;
          // The device is gone: the thread ends rather than spinning, and the
          // main thread reopens the device file.
          char why[160];
          std::snprintf(why, sizeof why, "write to %s failed (%s)", path_.c_str(),
                        n < 0 ? strerror_r(errno, msg_, sizeof msg_) : "nothing written");
          note_lost(why);
          return;
        }
        p += n;
        left -= static_cast<size_t>(n);
      }
    }
  }

  std::vector<std::string> paths_;
  std::string path_;  // the device open, for the loss report
  char msg_[96];      // strerror_r's buffer, device thread only
  int fd_ = -1;
  int period_ = 0;
  int latency_ = 0;
  std::vector<short> buffer_;
  DeviceThread thread_;
};

}  // namespace

Backend* make_oss_backend() { return new OssBackend(); }

}  // namespace tev_sound
