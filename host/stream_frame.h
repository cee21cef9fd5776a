// Graph output to the stream's frames: signed 16-bit stereo, interleaved, the
// same sample left and right (4 bytes a frame).
#pragma once

#include <cstdint>
#include <cstring>

#include "engine/convert.h"

constexpr int kStreamBytesPerFrame = 4;

// One graph output value, already within +-32000, to a 16-bit sample: truncated
// toward zero, low 16 bits (NaN gives 0).
inline short output_to_sample(float v) {
  return static_cast<short>(static_cast<uint16_t>(static_cast<uint32_t>(trunc_to_i32(v))));
}

// Frame i of a stream buffer, which need not be aligned for int16.
inline void write_frame(unsigned char* out, int i, float v) {
  const short s = output_to_sample(v);
  short both[2] = {s, s};
  std::memcpy(out + kStreamBytesPerFrame * i, both, sizeof both);
}
