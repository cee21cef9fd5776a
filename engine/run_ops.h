// Four samples at a time, for the passes of a run (the graph's) whose samples do not
// depend on each other: each lane does the scalar code's float and double
// operations, in its order, with its roundings (SSE2 is every x86-64's; elsewhere,
// one lane after another). Callers keep arrays a multiple of 4 long: lanes past a
// run's end compute what nobody reads.
#pragma once

#include <cstring>

#include "engine/output.h"
#include "engine/sample_rate.h"
#include "engine/vco.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace run4 {

#if defined(__SSE2__)
using F4 = __m128;
inline F4 load4f(const float* p) { return _mm_loadu_ps(p); }
inline void store4f(float* p, F4 v) { _mm_storeu_ps(p, v); }
inline F4 set4f(float v) { return _mm_set1_ps(v); }
inline F4 mul4f(F4 a, F4 b) { return _mm_mul_ps(a, b); }
inline F4 add4f(F4 a, F4 b) { return _mm_add_ps(a, b); }
// As OUTPUT::clamped: each bound replaces a lane only where its comparison holds
// (minps and maxps return their second operand otherwise: NaN and -0 pass).
inline F4 clamp4f(F4 v) {
  return _mm_max_ps(_mm_set1_ps(-32000.0f), _mm_min_ps(_mm_set1_ps(32000.0f), v));
}
inline __m128d lo_d(F4 v) { return _mm_cvtps_pd(v); }
inline __m128d hi_d(F4 v) { return _mm_cvtps_pd(_mm_movehl_ps(v, v)); }
inline F4 to4f(__m128d lo, __m128d hi) { return _mm_movelh_ps(_mm_cvtpd_ps(lo), _mm_cvtpd_ps(hi)); }
// VCO::modulate: x + float(v x x), in double, rounded once.
inline F4 modulate4f(F4 x, F4 v) {
  const F4 product = to4f(_mm_mul_pd(lo_d(v), lo_d(x)), _mm_mul_pd(hi_d(v), hi_d(x)));
  return to4f(_mm_add_pd(lo_d(x), lo_d(product)), _mm_add_pd(hi_d(x), hi_d(product)));
}
// VCO::step_of for each lane, into inc[0..3].
inline void step4(double* inc, F4 freq) {
  const __m128d rate = _mm_set1_pd(kSampleRate);
  _mm_storeu_pd(inc, _mm_div_pd(lo_d(freq), rate));
  _mm_storeu_pd(inc + 2, _mm_div_pd(hi_d(freq), rate));
}
// The two-input mixer's sum: float(5000.0 x b + first).
inline F4 mix2_sum4f(F4 b, F4 first) {
  const __m128d g = _mm_set1_pd(5000.0);
  return to4f(_mm_add_pd(_mm_mul_pd(g, lo_d(b)), lo_d(first)),
              _mm_add_pd(_mm_mul_pd(g, hi_d(b)), hi_d(first)));
}
#else
struct F4 {
  float v[4];
};
inline F4 load4f(const float* p) { return {{p[0], p[1], p[2], p[3]}}; }
inline void store4f(float* p, F4 v) { std::memcpy(p, v.v, sizeof v.v); }
inline F4 set4f(float v) { return {{v, v, v, v}}; }
template <class Op>
inline F4 each4f(F4 a, F4 b, Op op) {
  return {{op(a.v[0], b.v[0]), op(a.v[1], b.v[1]), op(a.v[2], b.v[2]), op(a.v[3], b.v[3])}};
}
inline F4 mul4f(F4 a, F4 b) { return each4f(a, b, [](float x, float y) { return x * y; }); }
inline F4 add4f(F4 a, F4 b) { return each4f(a, b, [](float x, float y) { return x + y; }); }
inline F4 clamp4f(F4 v) { return each4f(v, v, [](float x, float) { return OUTPUT::clamped(x); }); }
inline F4 modulate4f(F4 x, F4 v) {
  return each4f(x, v, [](float a, float b) {
    VCO::modulate(a, b);
    return a;
  });
}
inline void step4(double* inc, F4 freq) {
  for (int i = 0; i < 4; i++) inc[i] = VCO::step_of(freq.v[i]);
}
inline F4 mix2_sum4f(F4 b, F4 first) {
  return each4f(b, first, [](float x, float f) { return static_cast<float>(5000.0 * x + f); });
}
#endif

}  // namespace run4
