// Graph output to the stream's frames: signed 16-bit stereo, interleaved, the
// same sample left and right (4 bytes a frame).
#pragma once

#include <cstdint>
#include <cstring>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

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

// The same for a value already clamped to +-32000 (or NaN), as a graph's get_OUTL
// gives it: one truncating conversion. Its NaN result, 0x80000000, has the low 16
// bits of trunc_to_i32's 0.
inline void write_clamped_frame(unsigned char* out, int i, float v) {
#if defined(__x86_64__)
  const uint32_t s = static_cast<uint16_t>(_mm_cvttss_si32(_mm_set_ss(v)));
  const uint32_t both = s | s << 16;  // the same sample left and right, either byte order
  std::memcpy(out + kStreamBytesPerFrame * i, &both, sizeof both);
#else
  write_frame(out, i, v);
#endif
}
