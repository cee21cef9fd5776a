// The WAV reader, a sampler's load and the sample check on arbitrary files, then the sampler played at
// speeds and offsets taken from the input.
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>

#include "engine/sampler.h"
#include "patch/sample_check.h"
#include "patch/wav_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // One in-memory file and one sampler for every input: a new 16 MB sampler per
  // input would cost more than the input.
  static const int fd = memfd_create("sample.wav", 0);
  static const std::string path = "/proc/self/fd/" + std::to_string(fd);
  static const auto s = std::make_unique<SAMPLER>();
  if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
    std::abort();
  std::string error;  // kept off standard output
  s->load_SAMPLE(const_cast<char*>(path.c_str()), &error);
  if (s->length < 0) std::abort();
  check_sample(path);
  // Speed and offset from the RIFF size field (bytes 4..7), which the reader ignores.
  s->playing = 1;
  s->position = 0.0f;
  const int32_t raw = size >= 8 ? data[5] | data[6] << 8 | data[7] << 16 : 0;
  s->speed = size >= 8 ? static_cast<int8_t>(data[4]) / 4.0f : 1.0f;
  s->offset = static_cast<float>(size >= 8 && (data[4] & 1) ? raw : -raw);
  for (int i = 0; i < 300; i++) {
    s->evolue();
    if (i == 150) s->TRIG();  // a finished sampler restarts
  }
  take_finished_playbacks();
  // A load writes only the file's data: zero it so every input starts from silence.
  std::memset(s->samples, 0, size < kWavBufferBytes ? size : kWavBufferBytes);
  return 0;
}
