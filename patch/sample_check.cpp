#include "patch/sample_check.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "engine/sample_rate.h"
#include "patch/wav_reader.h"

namespace {

uint32_t le32(const unsigned char* p) {
  return p[0] | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
unsigned le16(const unsigned char* p) { return p[0] | static_cast<unsigned>(p[1]) << 8; }

std::string percent(double x) {
  char b[32];
  std::snprintf(b, sizeof b, "%.1f %%", x);
  return b;
}

}  // namespace

std::vector<SampleFinding> check_sample(const std::string& path) {
  const std::string name = "sample [" + path + "]";
  struct stat st;
  if (stat(path.c_str(), &st) != 0)
    return {{true, "cannot open " + name + ": " + std::strerror(errno) +
                       " (sample paths are relative to the working directory, not to the "
                       "patch's folder): the sampler stays silent"}};
  if (!S_ISREG(st.st_mode))
    return {{true, name + " is not a regular file: the sampler stays silent"}};
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f)
    return {
        {true, "cannot open " + name + ": " + std::strerror(errno) + ": the sampler stays silent"}};
  // The chunks of the first 4 KiB are enough to find fmt and data.
  unsigned char h[4096];
  const size_t n = std::fread(h, 1, sizeof h, f);
  std::fclose(f);
  if (n < 44) return {{true, name + " ends inside its 44-byte header: the sampler stays silent"}};
  const std::string convert = "; convert it with: sox '" + path +
                              "' -e signed-integer -b 16 -c 1 -r 44100 OUT.wav (or tev-render "
                              "--convert-sample '" +
                              path + "' OUT.wav)";
  if (std::memcmp(h, "RIFF", 4) != 0 || std::memcmp(h + 8, "WAVE", 4) != 0)
    return {{false, name +
                        " is no WAV file: the sampler plays its bytes from the 45th on as "
                        "16-bit mono 44100 Hz sound, that is as noise" +
                        convert}};
  unsigned tag = 0, channels = 0, bits = 0;
  uint32_t rate = 0;
  size_t data_at = 0;
  for (size_t at = 12; at + 8 <= n;) {
    const uint32_t size = le32(h + at + 4);
    if (std::memcmp(h + at, "fmt ", 4) == 0 && at + 24 <= n) {
      tag = le16(h + at + 8);
      channels = le16(h + at + 10);
      rate = le32(h + at + 12);
      bits = le16(h + at + 22);
      // WAVE_FORMAT_EXTENSIBLE carries the real tag in its sub-format.
      if (tag == 0xfffe && at + 34 <= n) tag = le16(h + at + 32);
    }
    if (std::memcmp(h + at, "data", 4) == 0) {
      data_at = at;
      break;
    }
    at += 8 + size_t{size} + (size & 1);  // in size_t: a size near 4 GiB must not wrap to 0
  }
  std::vector<SampleFinding> out;
  const bool pcm16 = tag == 1 && bits == 16;
  if (!pcm16 || channels != 1 || rate != static_cast<uint32_t>(kSampleRate)) {
    std::string what = std::to_string(rate) + " Hz " +
                       (channels == 1   ? std::string("mono")
                        : channels == 2 ? std::string("stereo")
                                        : std::to_string(channels) + " channels") +
                       " " + std::to_string(bits) + "-bit" + (tag == 3 ? " float" : "");
    std::vector<std::string> effects;
    if (!pcm16) effects.push_back("as noise");
    // Stereo frames are read as two mono samples: twice as long, an octave down, and
    // the sampler stops at the frame count, halfway.
    if (channels == 2) effects.push_back("an octave down");
    if (rate > 0 && rate != static_cast<uint32_t>(kSampleRate)) {
      const double r = static_cast<double>(rate) / kSampleRate;
      effects.push_back(r > 1 ? percent((r - 1) * 100) + " slow"
                              : percent((1 / r - 1) * 100) + " fast");
    }
    std::string said;
    for (size_t i = 0; i < effects.size(); i++) said += (i ? ", " : "") + effects[i];
    out.push_back({false, name + ": " + what +
                              "; samplers play 16-bit mono 44100 Hz data as it stands: this file "
                              "will play " +
                              said + convert});
  }
  if (data_at != 36) {
    // The reader takes bytes 36..43 for the data chunk's header whatever they hold.
    const std::string chunk(reinterpret_cast<const char*>(h + 36), 4);
    bool printable = true;
    for (char c : chunk) printable = printable && c >= 32 && c < 127;
    out.push_back({false, name +
                              ": the data chunk does not follow a 16-byte fmt chunk (bytes "
                              "36 to 43 hold " +
                              (printable ? "a [" + chunk + "] chunk" : std::string("no chunk")) +
                              "): the sampler copies " + std::to_string(le32(h + 40)) +
                              " bytes from byte 44 and plays little or none of the sound" +
                              convert});
  } else if (le32(h + 40) > kWavBufferBytes) {
    out.push_back({false, name + ": only the first " + std::to_string(kWavBufferBytes) +
                              " bytes of its data fit the sampler; the rest is not played"});
  }
  return out;
}
