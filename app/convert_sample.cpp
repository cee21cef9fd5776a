#include "app/convert_sample.h"

#include <sndfile.h>
#include <sys/stat.h>
#include <soxr.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/sample_rate.h"

namespace {

void put32(unsigned char* p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
void put16(unsigned char* p, unsigned v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}

}  // namespace

bool convert_sample(const std::string& in, const std::string& out, std::string* why) {
  SF_INFO info{};
  SNDFILE* sf = sf_open(in.c_str(), SFM_READ, &info);
  if (!sf) {
    *why = "cannot read [" + in + "]: " + sf_strerror(nullptr);
    return false;
  }
  // A sampler holds 8,000,000 values: anything longer would be cut at loading anyway,
  // but the whole file is converted and the loader says so.
  std::vector<float> frames(static_cast<size_t>(info.frames) * static_cast<size_t>(info.channels));
  const sf_count_t got = sf_readf_float(sf, frames.data(), info.frames);
  sf_close(sf);
  std::vector<float> mono(static_cast<size_t>(got));
  for (sf_count_t f = 0; f < got; f++) {
    double sum = 0;
    for (int c = 0; c < info.channels; c++)
      sum += frames[static_cast<size_t>(f * info.channels + c)];
    mono[static_cast<size_t>(f)] = static_cast<float>(sum / info.channels);
  }
  std::vector<float> at_rate = mono;
  if (info.samplerate != kSampleRate && !mono.empty()) {
    at_rate.resize(static_cast<size_t>(
        std::ceil(static_cast<double>(mono.size()) * kSampleRate / info.samplerate) + 16));
    size_t done = 0;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t q = soxr_quality_spec(SOXR_HQ, 0);
    const soxr_error_t e =
        soxr_oneshot(info.samplerate, kSampleRate, 1, mono.data(), mono.size(), nullptr,
                     at_rate.data(), at_rate.size(), &done, &io, &q, nullptr);
    if (e) {
      *why = std::string("cannot resample [") + in + "]: " + e;
      return false;
    }
    at_rate.resize(done);
  }
  std::vector<unsigned char> wav(44 + 2 * at_rate.size());
  unsigned char* h = wav.data();
  const uint32_t data = static_cast<uint32_t>(2 * at_rate.size());
  std::copy_n("RIFF", 4, h);
  put32(h + 4, 36 + data);
  std::copy_n("WAVEfmt ", 8, h + 8);
  put32(h + 16, 16);
  put16(h + 20, 1);  // PCM
  put16(h + 22, 1);  // mono
  put32(h + 24, kSampleRate);
  put32(h + 28, 2 * kSampleRate);
  put16(h + 32, 2);
  put16(h + 34, 16);
  std::copy_n("data", 4, h + 36);
  put32(h + 40, data);
  for (size_t i = 0; i < at_rate.size(); i++) {
    const double v = std::round(static_cast<double>(at_rate[i]) * 32767.0);
    put16(h + 44 + 2 * i, static_cast<unsigned>(static_cast<int16_t>(v > 32767    ? 32767
                                                                     : v < -32768 ? -32768
                                                                                  : v)));
  }
  // Written beside OUT and renamed over it: a failed write leaves OUT as it was.
  std::string tmp = out + ".XXXXXX";
  const int fd = mkstemp(&tmp[0]);
  // mkstemp makes the file private; a sample is made like any other file.
  const mode_t mask = umask(0);
  umask(mask);
  if (fd >= 0) fchmod(fd, 0666 & ~mask);
  FILE* f = fd >= 0 ? fdopen(fd, "wb") : nullptr;
  bool ok = f && std::fwrite(wav.data(), 1, wav.size(), f) == wav.size();
  if (f) ok = std::fclose(f) == 0 && ok;
  ok = ok && std::rename(tmp.c_str(), out.c_str()) == 0;
  if (!ok) {
    *why = "cannot write [" + out + "]: " + std::strerror(errno);
    if (fd >= 0) std::remove(tmp.c_str());
  }
  return ok;
}
