// Float-to-integer conversions with a defined result for every input.
#pragma once

#include <cmath>
#include <cstdint>

// Truncation toward zero, saturated to the 32-bit range; NaN gives 0.
// The plain cast is undefined outside the range, and a patch can ask for any value.
inline int32_t trunc_to_i32(double v) {
  if (!(v == v)) return 0;
  if (v >= 2147483647.0) return INT32_MAX;
  if (v <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(v);
}
