// The sound-server output: PulseAudio (or PipeWire's pulse server) devices
// through RtAudio, and JACK when a JACK server runs. JACK is never started here.
//
// The JACK client plays the stream on JACK's process thread: at 44100 Hz every
// 16-bit value reaches JACK unchanged (as value / 32768); at any other server rate
// libsamplerate converts it. Its callback interface pulls exactly the frames a
// period asks for and allocates nothing once created, so it runs on the process
// thread as it is.
#include <jack/jack.h>
#include <samplerate.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "audio/device_backend.h"
#include "engine/sample_rate.h"

namespace tev_sound {
namespace {

constexpr const char* kClient = "tev-synth";
constexpr const char* kJackDriver = "JACK";
// Frames of the stream rendered per pass: a longer JACK period takes several.
constexpr int kChunk = 512;
// Stream frames the resampler pulls at a time: what it pulls ahead of the period
// delays a key by up to that much, here 1.5 ms.
constexpr int kPullFrames = 64;
// Full scale of a 16-bit value: every stream value becomes an exact float.
constexpr float kScale = 1.0f / 32768.0f;
// A signal-to-noise ratio of 97 dB (the 16-bit floor) up to 90 % of the band
// (19.8 kHz), at a small share of a core for two channels.
constexpr int kConverter = SRC_SINC_MEDIUM_QUALITY;

void quiet_jack(const char*) {}

class JackBackend : public Backend {
 public:
  JackBackend() {
    // libjack prints every failed connection; the driver list already says it.
    jack_set_error_function(quiet_jack);
    jack_set_info_function(quiet_jack);
  }
  ~JackBackend() override { close(); }

  std::vector<std::string> drivers() override {
    jack_status_t status;
    jack_client_t* probe = jack_client_open(kClient, JackNoStartServer, &status);
    if (!probe) return {};
    jack_client_close(probe);
    return {kJackDriver};
  }

  int open(int index, int rate) override {
    if (index != 0) return FMOD_ERR_INVALID_PARAM;
    close();
    jack_status_t status;
    client_ = jack_client_open(kClient, JackNoStartServer, &status);
    if (!client_) return FMOD_ERR_INIT;
    for (int ch = 0; ch < 2; ch++) {
      const std::string name = "out_" + std::to_string(ch + 1);
      port_[ch] = jack_port_register(client_, name.c_str(), JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
    }
    server_rate_ = static_cast<int>(jack_get_sample_rate(client_));
    period_ = static_cast<int>(jack_get_buffer_size(client_));
    int err = 0;
    if (server_rate_ != rate) {
      src_ = src_callback_new(&JackBackend::pull, kConverter, 2, &err, this);
      ratio_ = static_cast<double>(server_rate_) / rate;
    }
    if (!port_[0] || !port_[1] || (server_rate_ != rate && !src_) ||
        jack_set_process_callback(client_, &JackBackend::process, this) != 0 ||
        jack_set_xrun_callback(client_, &JackBackend::xrun, this) != 0) {
      close();
      return FMOD_ERR_INIT;
    }
    jack_on_info_shutdown(client_, &JackBackend::shutdown, this);
    return FMOD_ERR_NONE;
  }

  int start() override {
    if (!client_) return FMOD_ERR_PLAY;
    if (active_) return FMOD_ERR_NONE;
    if (jack_activate(client_) != 0) return FMOD_ERR_PLAY;
    active_ = true;
    connect_to_playback();
    return FMOD_ERR_NONE;
  }

  void close() override {
    // Closing deactivates; a client the server dropped is closed all the same, to
    // free our side of it.
    if (client_) jack_client_close(client_);
    client_ = nullptr;
    port_[0] = port_[1] = nullptr;
    active_ = false;
    if (src_) src_delete(src_);
    src_ = nullptr;
  }

  int period_frames() const override { return period_; }
  // In stream frames: what the server reports downstream of our ports, plus the
  // period being computed.
  int latency_frames() const override { return latency_; }

 private:
  void connect_to_playback() {
    const char** sinks = jack_get_ports(client_, nullptr, JACK_DEFAULT_AUDIO_TYPE,
                                        JackPortIsPhysical | JackPortIsInput);
    std::string to;
    for (int ch = 0; ch < 2 && sinks && sinks[ch]; ch++) {
      if (jack_connect(client_, jack_port_name(port_[ch]), sinks[ch]) == 0)
        to += std::string(to.empty() ? "" : ", ") + sinks[ch];
    }
    if (sinks) jack_free(sinks);
    jack_latency_range_t range{0, 0};
    jack_port_get_latency_range(port_[0], JackPlaybackLatency, &range);
    const long server_frames = static_cast<long>(range.max) + period_;
    latency_ = static_cast<int>(server_frames * kSampleRate / server_rate_);
    std::printf("JACK: ports %s, %s connected to %s", jack_port_name(port_[0]), jack_port_name(port_[1]),
                to.empty() ? "nothing (connect them with jack_connect or a patchbay)" : to.c_str());
    if (src_) std::printf(", resampled %d -> %d Hz", kSampleRate, server_rate_);
    std::printf("\n");
    std::fflush(stdout);
  }

  // ---- JACK's process thread: no allocation, no lock, no I/O.
  static int process(jack_nframes_t frames, void* arg) {
    auto* self = static_cast<JackBackend*>(arg);
    float* left = static_cast<float*>(jack_port_get_buffer(self->port_[0], frames));
    float* right = static_cast<float*>(jack_port_get_buffer(self->port_[1], frames));
    if (output_lost()) {
      std::fill(left, left + frames, 0.0f);
      std::fill(right, right + frames, 0.0f);
      return 0;
    }
    for (jack_nframes_t done = 0; done < frames;) {
      const int n = static_cast<int>(std::min<jack_nframes_t>(kChunk, frames - done));
      if (!self->src_) {
        render(self->pcm_, static_cast<unsigned>(n));
        for (int i = 0; i < n; i++) {
          left[done + i] = self->pcm_[2 * i] * kScale;
          right[done + i] = self->pcm_[2 * i + 1] * kScale;
        }
      } else {
        const long got = src_callback_read(self->src_, self->ratio_, n, self->out_);
        for (int i = 0; i < n; i++) {
          left[done + i] = i < got ? self->out_[2 * i] : 0.0f;
          right[done + i] = i < got ? self->out_[2 * i + 1] : 0.0f;
        }
      }
      done += static_cast<jack_nframes_t>(n);
    }
    return 0;
  }

  // libsamplerate asking for stream frames, from within src_callback_read.
  static long pull(void* arg, float** data) {
    auto* self = static_cast<JackBackend*>(arg);
    render(self->pcm_, kPullFrames);
    for (int i = 0; i < 2 * kPullFrames; i++) self->in_[i] = self->pcm_[i] * kScale;
    *data = self->in_;
    return kPullFrames;
  }

  static int xrun(void*) {
    note_underrun();
    return 0;
  }

  // JACK's notification thread, once the server is gone or has dropped us.
  static void shutdown(jack_status_t, const char* reason, void*) {
    char what[200];
    std::snprintf(what, sizeof what, "the JACK server is gone (%s)", reason && *reason ? reason : "no reason given");
    note_lost(what);
  }

  jack_client_t* client_ = nullptr;
  jack_port_t* port_[2] = {nullptr, nullptr};
  bool active_ = false;
  int server_rate_ = kSampleRate;
  int period_ = 0;
  int latency_ = 0;
  SRC_STATE* src_ = nullptr;
  double ratio_ = 1.0;  // server frames per stream frame
  // Process thread only: interleaved stereo, one chunk each.
  short pcm_[2 * kChunk];
  float in_[2 * kPullFrames];
  float out_[2 * kChunk];
};

// The pulse server's devices first, then JACK.
class SoundServerBackend : public Backend {
 public:
  SoundServerBackend() : pulse_(make_rtaudio_backend(true)) {}

  // Once JACK has played, only JACK is looked for again: an outage then costs no
  // probing of the pulse server.
  std::vector<std::string> drivers() override {
    std::vector<std::string> names = on_jack_ ? std::vector<std::string>() : pulse_->drivers();
    pulse_count_ = static_cast<int>(names.size());
    for (const std::string& n : jack_.drivers()) names.push_back(n);
    return names;
  }

  int open(int index, int rate) override {
    close();
    if (index < 0) return FMOD_ERR_INVALID_PARAM;
    open_ = index < pulse_count_ ? pulse_.get() : static_cast<Backend*>(&jack_);
    on_jack_ = open_ == &jack_;
    return open_->open(index < pulse_count_ ? index : index - pulse_count_, rate);
  }
  int start() override { return open_ ? open_->start() : FMOD_ERR_PLAY; }
  void close() override {
    if (open_) open_->close();
    open_ = nullptr;
  }
  int default_driver() const override { return pulse_->default_driver(); }
  // A lost pulse device gives way to the server's default one; JACK is waited for.
  int substitute(const std::string& lost) const override {
    return lost == kJackDriver || pulse_count_ == 0 ? -1 : pulse_->default_driver();
  }
  bool on_jack() const override { return on_jack_; }
  int period_frames() const override { return open_ ? open_->period_frames() : 0; }
  int latency_frames() const override { return open_ ? open_->latency_frames() : 0; }

 private:
  std::unique_ptr<Backend> pulse_;
  JackBackend jack_;
  int pulse_count_ = 0;
  Backend* open_ = nullptr;
  bool on_jack_ = false;  // kept through close(), for the outage
};

}  // namespace

Backend* make_sound_server_backend() { return new SoundServerBackend(); }

}  // namespace tev_sound
