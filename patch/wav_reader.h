// Copies the sample data of a canonical 44-byte-header WAV file into a buffer.
#pragma once

#include <cstddef>
#include <string>

// Capacity of a sampler's buffer in bytes.
constexpr size_t kWavBufferBytes = 16000000;

// Takes bytes 36..43 as the data chunk header whatever they hold, and copies
// min(size found there, what the file has, kWavBufferBytes) bytes from offset 44,
// unchanged, into `buffer`. A missing file prints "Error load [path]"; a file
// shorter than its header copies nothing. Returns the number of bytes copied.
// With `error`, a message is stored there instead of printed.
size_t LoadToWav(short* buffer, const char* path, std::string* error = nullptr);
