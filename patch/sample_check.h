// What a sampler will make of a sample file: the reader copies the bytes after a
// 44-byte header as 16-bit mono 44100 Hz sound, whatever the file holds.
#pragma once

#include <string>
#include <vector>

struct SampleFinding {
  bool error;  // the sampler gets no sound at all from it
  std::string message;
};

// Nothing for a canonical 16-bit PCM mono 44100 Hz WAV file.
std::vector<SampleFinding> check_sample(const std::string& path);
