#include "patch/wav_reader.h"

#include <sys/stat.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "patch/sample_file.h"
#include "engine/sampler.h"

namespace {
// A patch may name any path. Opening a FIFO blocks until a writer comes and a device
// such as /dev/urandom never ends: only regular files are read as samples.
bool regular_file(const char* path) {
  struct stat st;
  return stat(path, &st) != 0 || S_ISREG(st.st_mode);
}

// One line about the file: printed, or handed to the caller.
void report(std::string* error, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void report(std::string* error, const char* fmt, ...) {
  char text[1024 + 128];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  if (error)
    *error = text;
  else
    std::printf("%s\n", text);
}
}  // namespace

size_t LoadToWav(short* buffer, const char* path, std::string* error) {
  if (!regular_file(path)) {
    report(error, "Error load [%s]: not a regular file", path);
    return 0;
  }
  FILE* f = std::fopen(path, "rb");
  if (!f) {
    report(error, "Error load [%s]", path);
    return 0;
  }
  // RIFF header (12), fmt chunk taken as 24 bytes whatever its size field says,
  // data chunk header (8): no chunk is searched for or skipped.
  unsigned char header[44];
  if (std::fread(header, 1, sizeof header, f) != sizeof header) {
    report(error, "Error load [%s]: file ends inside its 44-byte header", path);
    std::fclose(f);
    return 0;
  }
  const uint32_t data_size = static_cast<uint32_t>(header[40]) |
                             static_cast<uint32_t>(header[41]) << 8 |
                             static_cast<uint32_t>(header[42]) << 16 |
                             static_cast<uint32_t>(header[43]) << 24;
  size_t want = data_size;
  if (want > kWavBufferBytes) {
    report(error, "Error load [%s]: %u bytes of data, only the first %zu fit the sampler", path,
           static_cast<unsigned>(data_size), kWavBufferBytes);
    want = kWavBufferBytes;
  }
  const size_t got = std::fread(buffer, 1, want, f);
  std::fclose(f);
  return got;
}

void SAMPLER::load_SAMPLE(char* path, std::string* error) {
  LoadToWav(samples, path, error);
  // A second FILE keyword replaces the first file's handle.
  delete sample_handle;
  sample_handle = nullptr;
  if (!regular_file(path)) {
    length = 0;
    return;
  }
  sample_handle = FSOUND_Sample_Load(0, path, 8192, 0, 0);
  length = FSOUND_Sample_GetLength(sample_handle);
}
