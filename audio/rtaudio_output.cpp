// ALSA and PulseAudio (or PipeWire's pulse server) through RtAudio. RtAudio
// reports failures by throwing: nothing thrown here leaves this file.
#include <alsa/asoundlib.h>
#include <rtaudio/RtAudio.h>

#include <cstring>
#include <memory>

#include "audio/device_backend.h"

namespace tev_sound {
namespace {

// Return values of the period callback, as RtAudio reads them.
constexpr int kKeepGoing = 0;
constexpr int kAbort = 2;

int on_device_period(void* out, void*, unsigned frames, double, RtAudioStreamStatus status, void*) {
  if (output_lost()) {
    // A dead server fails each write at once, so RtAudio would call back again
    // straight away: stop the stream instead (its thread then sleeps until
    // closed), leaving the reopening to the main thread.
    std::memset(out, 0, static_cast<size_t>(frames) * kBytesPerFrame);
    return kAbort;
  }
  if (status & RTAUDIO_OUTPUT_UNDERFLOW) note_underrun();
  render(out, frames);
  return kKeepGoing;
}

// Runtime errors of the device thread arrive here instead of being thrown on
// that thread (where nothing could catch them). A failed write comes as a
// warning, a stream RtAudio stopped itself as an error: both mean the output is
// gone. ALSA's underrun, recovered on the spot, comes as a warning too and is
// already counted through the period callback's status.
void on_device_error(RtAudioError::Type type, const std::string& text) {
  if (type == RtAudioError::WARNING && text.find("underrun") != std::string::npos) return;
  note_lost(text.c_str());
}

// ALSA prints every failed probe (no card 0, an unreachable plugin) on the
// console, in the middle of the prompts; the driver list already says what works.
void quiet_alsa(const char*, int, const char*, int, const char*, ...) {}

class RtAudioBackend : public Backend {
 public:
  explicit RtAudioBackend(bool pulse) : api_(pulse ? RtAudio::LINUX_PULSE : RtAudio::LINUX_ALSA) {
    snd_lib_error_set_handler(quiet_alsa);
  }

  std::vector<std::string> drivers() override {
    std::vector<std::string> names;
    ids_.clear();
    default_ = 0;
    try {
      RtAudio probe(api_);
      probe.showWarnings(false);
      if (probe.getCurrentApi() != api_) return names;
      unsigned n = probe.getDeviceCount();
      for (unsigned i = 0; i < n; ++i) {
        RtAudio::DeviceInfo info = probe.getDeviceInfo(i);
        if (!info.probed || info.outputChannels < 2) continue;
        if (info.isDefaultOutput) default_ = static_cast<int>(ids_.size());
        ids_.push_back(i);
        names.push_back(info.name);
      }
    } catch (...) {
    }
    return names;
  }

  int default_driver() const override { return default_; }

  int open(int index, int rate) override {
    if (index < 0 || index >= static_cast<int>(ids_.size())) return FMOD_ERR_INVALID_PARAM;
    close();
    // Real-time scheduling first; where the system refuses it, an ordinary thread.
    for (bool realtime : {true, false}) {
      try {
        rt_.reset(new RtAudio(api_));
        rt_->showWarnings(false);
        RtAudio::StreamParameters params;
        params.deviceId = ids_[static_cast<size_t>(index)];
        params.nChannels = 2;
        params.firstChannel = 0;
        RtAudio::StreamOptions options;
        options.flags = RTAUDIO_MINIMIZE_LATENCY;
        if (realtime) options.flags |= RTAUDIO_SCHEDULE_REALTIME;
        options.numberOfBuffers = kWantedPeriods;
        options.streamName = "Tev Modular synth";
        unsigned frames = kWantedPeriodFrames;
        rt_->openStream(&params, nullptr, RTAUDIO_SINT16, static_cast<unsigned>(rate), &frames,
                        &on_device_period, nullptr, &options, &on_device_error);
        if (rt_->isStreamOpen()) {
          period_ = static_cast<int>(frames);
          long latency = rt_->getStreamLatency();
          latency_ = latency > 0 ? static_cast<int>(latency) : period_ * static_cast<int>(kWantedPeriods);
          return FMOD_ERR_NONE;
        }
      } catch (...) {
      }
      rt_.reset();
    }
    return FMOD_ERR_INIT;
  }

  int start() override {
    if (!rt_ || !rt_->isStreamOpen()) return FMOD_ERR_PLAY;
    try {
      if (!rt_->isStreamRunning()) rt_->startStream();
      if (rt_->isStreamRunning()) return FMOD_ERR_NONE;
    } catch (...) {
    }
    return FMOD_ERR_PLAY;
  }

  void close() override {
    if (!rt_) return;
    try {
      if (rt_->isStreamRunning()) rt_->abortStream();
    } catch (...) {
    }
    try {
      if (rt_->isStreamOpen()) rt_->closeStream();
    } catch (...) {
    }
    try {
      rt_.reset();
    } catch (...) {
    }
  }

  int period_frames() const override { return period_; }
  int latency_frames() const override { return latency_; }

  ~RtAudioBackend() override { close(); }

 private:
  RtAudio::Api api_;
  std::vector<unsigned> ids_;
  int default_ = 0;  // index in ids_ of the device RtAudio calls the default output
  std::unique_ptr<RtAudio> rt_;
  int period_ = 0;
  int latency_ = 0;
};

}  // namespace

Backend* make_rtaudio_backend(bool api_pulse) { return new RtAudioBackend(api_pulse); }

}  // namespace tev_sound
