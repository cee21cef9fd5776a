// Float-to-integer conversions with a defined result for every input.
#pragma once

#include <cmath>
#include <cstdint>

// Truncation toward zero, saturated to the 32-bit range; NaN gives 0.
// The plain cast is undefined outside the range, and a patch can ask for any value.
inline int32_t trunc_to_i32(double v) {
  // Inside (-2^31 - 1, 2^31) the cast truncates to the saturated value itself: one
  // test on the usual path; NaN fails it.
  if (v > -2147483649.0 && v < 2147483648.0) return static_cast<int32_t>(v);
  if (!(v == v)) return 0;
  return v > 0.0 ? INT32_MAX : INT32_MIN;
}
