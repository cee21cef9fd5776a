// Turns any sound file libsndfile reads into what a sampler plays as it stands:
// 16-bit PCM, mono (the channels averaged), 44100 Hz (resampled by libsoxr), in a
// WAV file with the canonical 44-byte header.
#pragma once

#include <string>

// False with `why` when IN can't be read or OUT can't be written.
bool convert_sample(const std::string& in, const std::string& out, std::string* why);
