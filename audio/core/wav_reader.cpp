#include "audio/wav_reader.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "audio/fsound.h"
#include "engine/sampler.h"

namespace {
// A patch may name any path. Opening a FIFO blocks until a writer comes and a device
// such as /dev/urandom never ends: only regular files are read as samples.
bool regular_file(const char* path) {
  struct stat st;
  return stat(path, &st) != 0 || S_ISREG(st.st_mode);
}
}  // namespace

size_t LoadToWav(short* buffer, const char* path) {
  if (!regular_file(path)) {
    std::printf("Error load [%s]: not a regular file\n", path);
    return 0;
  }
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
  if (!regular_file(path)) {
    sample_handle = nullptr;
    length = 0;
    return;
  }
  sample_handle = FSOUND_Sample_Load(0, path, 8192, 0, 0);
  length = FSOUND_Sample_GetLength(sample_handle);
}
