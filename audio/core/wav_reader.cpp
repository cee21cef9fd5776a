#include "audio/wav_reader.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "audio/fsound.h"
#include "engine/sampler.h"

size_t LoadToWav(short* buffer, const char* path) {
  FILE* f = std::fopen(path, "rb");
  if (!f) {
    std::printf("Error load [%s]\n", path);
    return 0;
  }
  // RIFF header (12), fmt chunk taken as 24 bytes whatever its size field says,
  // data chunk header (8): no chunk is searched for or skipped.
  unsigned char header[44];
  if (std::fread(header, 1, sizeof header, f) != sizeof header) {
    std::printf("Error load [%s]: file ends inside its 44-byte header\n", path);
    std::fclose(f);
    return 0;
  }
  const uint32_t data_size = static_cast<uint32_t>(header[40]) |
                             static_cast<uint32_t>(header[41]) << 8 |
                             static_cast<uint32_t>(header[42]) << 16 |
                             static_cast<uint32_t>(header[43]) << 24;
  size_t want = data_size;
  if (want > kWavBufferBytes) {
    std::printf("Error load [%s]: %u bytes of data, only the first %zu fit the sampler\n", path,
                static_cast<unsigned>(data_size), kWavBufferBytes);
    want = kWavBufferBytes;
  }
  const size_t got = std::fread(buffer, 1, want, f);
  std::fclose(f);
  return got;
}

void SAMPLER::load_SAMPLE(char* path) {
  LoadToWav(samples, path);
  sample_handle = FSOUND_Sample_Load(0, path, 8192, 0, 0);
  length = FSOUND_Sample_GetLength(sample_handle);
}
