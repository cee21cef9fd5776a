// The WAV reader and a sampler's load on arbitrary files, then the sampler played
// for a few hundred evaluations at speeds and offsets taken from the input.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "patch/wav_reader.h"
#include "engine/sampler.h"
#include "fuzz_support.h"

namespace {
fuzz::MemFile* wav_file;
// A bare reader target of a sampler's capacity, outside any sampler.
int16_t* buffer;
// One sampler's storage for every input, constructed afresh each time: mapping and
// unmapping 16 MB (and its shadow) per input would cost more than the input itself.
void* sampler_storage;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quiet_stdout();
  wav_file = new fuzz::MemFile("sample.wav");
  buffer = static_cast<int16_t*>(std::calloc(SAMPLER::kCapacity, sizeof(int16_t)));
  sampler_storage = SAMPLER::operator new(sizeof(SAMPLER));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  wav_file->write(data, size);
  const size_t copied = LoadToWav(buffer, wav_file->path());
  if (copied > kWavBufferBytes || copied > size) std::abort();

  SAMPLER* s = ::new (sampler_storage) SAMPLER();
  s->load_SAMPLE(wav_file->path());
  if (s->length < 0) std::abort();

  // Playback parameters from the RIFF size field (bytes 4..7), which the reader
  // ignores: speed and offset in buffer values, so that indices reach both ends.
  float speed = 1.0f, offset = 0.0f;
  if (size >= 8) {
    speed = static_cast<int8_t>(data[4]) / 4.0f;
    offset = static_cast<float>(static_cast<int32_t>(data[5] | data[6] << 8 | data[7] << 16) *
                                (data[4] & 1 ? 1 : -1));
  }
  s->speed = s->base_speed = speed;
  s->offset = s->base_offset = offset;
  for (int i = 0; i < 300; i++) {
    s->evolue();
    s->get_OUTL();
    if (i == 150) s->TRIG();  // a finished sampler restarts
  }
  fuzz::release_sample(s);
  // The file's data is all a load writes; zero it again so every input starts from
  // the silent buffer a new sampler has.
  std::memset(s->samples, 0, size < kWavBufferBytes ? size : kWavBufferBytes);
  return 0;
}
