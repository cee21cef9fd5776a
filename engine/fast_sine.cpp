#include "engine/fast_sine.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

// Why the vector sine gives the C library's float, bit for bit.
//
// The reference is R = float(P), P = double(S x a), S = std::sin(x): glibc's scalar
// sine is within 1 ulp of sin(x). The vector sines of libmvec are within 4 ulp (glibc
// tests them against that bound), so the vector result s is within 5 ulp of S, and
// p = double(s x a) is within 5 ulp + two product roundings, about 6 x 2^-52 |p|, of
// P. We accept p only when both ends of [p - d, p + d], d = |p| x 2^-48 (16 ulp, so
// more than twice the error), round to the same float: P lies inside the interval
// and rounding to float is monotonic, so float(P) is that float too. Otherwise (about
// one argument in ten million: p near the midpoint of two floats), and for
// |p| < 2^-1000 (zeros and their signs), NaN and infinities, that one lane calls
// std::sin. tev_sine_check (bench/sine_check.cpp) compares the two over a billion
// arguments.

namespace {

[[maybe_unused]] constexpr double kMargin = 0x1p-48;  // d / |p|: 16 ulp of a double
[[maybe_unused]] constexpr double kTiny = 0x1p-1000;  // below: relative bounds no longer hold

inline float scalar_lane(double x, double a) { return static_cast<float>(std::sin(x) * a); }

using Kernel = size_t (*)(const double*, const double*, float*, size_t);

// TEV_SIMD=scalar|sse2|avx2|avx512 caps the width (for measuring each one; the sound
// is the same whatever the width). Unset or unknown: no cap.
SineKernel forced_kernel() {
  const char* v = std::getenv("TEV_SIMD");
  if (!v) return SineKernel::Avx512;
  if (std::strcmp(v, "scalar") == 0) return SineKernel::Scalar;
  if (std::strcmp(v, "sse2") == 0) return SineKernel::Sse2;
  if (std::strcmp(v, "avx2") == 0) return SineKernel::Avx2;
  return SineKernel::Avx512;
}

size_t sine_times_scalar(const double* x, const double* a, float* out, size_t n) {
  for (size_t i = 0; i < n; i++) out[i] = scalar_lane(x[i], a[i]);
  return n;
}

}  // namespace

#if defined(TEV_HAVE_MVEC) && defined(__x86_64__)
#include <immintrin.h>

extern "C" {
__m128d _ZGVbN2v_sin(__m128d);
}

namespace {

// Lanes not in `ok` (bit j for lane j) go through std::sin. f: the vector floats.
inline size_t settle(const float* f, unsigned ok, size_t m, const double* x, const double* a,
                     float* out) {
  size_t falls = 0;
  for (size_t j = 0; j < m; j++) {
    if (ok >> j & 1u) {
      out[j] = f[j];
    } else {
      out[j] = scalar_lane(x[j], a[j]);
      falls++;
    }
  }
  return falls;
}

size_t sine_times_sse2(const double* x, const double* a, float* out, size_t n) {
  const __m128d abs_mask = _mm_castsi128_pd(_mm_set1_epi64x(INT64_MAX));
  const __m128d margin = _mm_set1_pd(kMargin), tiny = _mm_set1_pd(kTiny);
  size_t falls = 0;
  for (size_t i = 0; i < n; i += 2) {
    const size_t m = n - i < 2 ? n - i : 2;
    // One element load each (see load4).
    __m128d vx = _mm_load_sd(x + i), va = _mm_load_sd(a + i);
    if (m == 2) {
      vx = _mm_loadh_pd(vx, x + i + 1);
      va = _mm_loadh_pd(va, a + i + 1);
    }
    const __m128d p = _mm_mul_pd(_ZGVbN2v_sin(vx), va);
    const __m128d mag = _mm_and_pd(p, abs_mask);
    const __m128d d = _mm_mul_pd(mag, margin);
    const __m128 lo = _mm_cvtpd_ps(_mm_sub_pd(p, d));
    const __m128 hi = _mm_cvtpd_ps(_mm_add_pd(p, d));
    const unsigned ok = static_cast<unsigned>(_mm_movemask_pd(_mm_cmpge_pd(mag, tiny)) &
                                              _mm_movemask_ps(_mm_cmpeq_ps(lo, hi)));
    alignas(16) float f[4];
    _mm_store_ps(f, _mm_cvtpd_ps(p));
    falls += settle(f, ok, m, x + i, a + i, out + i);
  }
  return falls;
}

extern "C" {
__attribute__((target("avx2"))) __m256d _ZGVdN4v_sin(__m256d);
}

// The m < 5 doubles from x, zeros after them, one element load each: the caller has
// just stored them one by one, and a wide load of fresh narrow stores waits until
// they reach the cache (no store-to-load forwarding), longer than the loads take.
// GCC merges two element loads whose count it knows (m = 4) into one 16-byte load,
// which stalls just the same: the empty asm statements hide each half from it.
__attribute__((target("avx2"))) inline __m256d load4(const double* x, size_t m) {
  __m128d lo = _mm_load_sd(x), hi = _mm_setzero_pd();
  __asm__("" : "+x"(lo));
  if (m > 1) lo = _mm_loadh_pd(lo, x + 1);
  if (m > 2) {
    hi = _mm_load_sd(x + 2);
    __asm__("" : "+x"(hi));
  }
  if (m > 3) hi = _mm_loadh_pd(hi, x + 3);
  return _mm256_insertf128_pd(_mm256_castpd128_pd256(lo), hi, 1);
}

// The lanes j < m not in `ok` again, through std::sin: out of the way of the block's
// common case, which then keeps nothing but its pointers across the vector call.
__attribute__((noinline, cold)) size_t redo(unsigned ok, size_t m, const double* x,
                                            const double* a, float* out) {
  size_t falls = 0;
  for (size_t j = 0; j < m; j++)
    if (!(ok >> j & 1u)) {
      out[j] = scalar_lane(x[j], a[j]);
      falls++;
    }
  return falls;
}

// Lanes j < m, 1 <= m <= 4, of x and a; out has room for 4 floats (the lanes past m
// get zeros). Returns how many fell back.
__attribute__((target("avx2"))) inline size_t block4(const double* x, const double* a, float* out,
                                                      size_t m) {
  const __m256d abs_mask = _mm256_castsi256_pd(_mm256_set1_epi64x(INT64_MAX));
  // The amounts are loaded after the call: nothing to keep across it.
  const __m256d s = _ZGVdN4v_sin(load4(x, m));
  const __m256d p = _mm256_mul_pd(s, load4(a, m));
  const __m256d mag = _mm256_and_pd(p, abs_mask);
  const __m256d d = _mm256_mul_pd(mag, _mm256_set1_pd(kMargin));
  const __m128 lo = _mm256_cvtpd_ps(_mm256_sub_pd(p, d));
  const __m128 hi = _mm256_cvtpd_ps(_mm256_add_pd(p, d));
  _mm_storeu_ps(out, _mm256_cvtpd_ps(p));
  const unsigned ok = static_cast<unsigned>(
      _mm256_movemask_pd(_mm256_cmp_pd(mag, _mm256_set1_pd(kTiny), _CMP_GE_OQ)) &
      _mm_movemask_ps(_mm_cmpeq_ps(lo, hi)));
  // Lanes past m hold zeros, which never pass.
  if (__builtin_expect(ok == 0xFu >> (4 - m), 1)) return 0;
  return redo(ok, m, x, a, out);
}

// block4 for a count known when the caller is prepared: no test of it per call.
template <size_t M>
__attribute__((target("avx2"))) size_t block(const double* x, const double* a, float* out, size_t) {
  return block4(x, a, out, M);
}

__attribute__((target("avx2"))) size_t sine_times_avx2(const double* x, const double* a,
                                                         float* out, size_t n) {
  size_t falls = 0, i = 0;
  for (; i + 4 <= n; i += 4) falls += block4(x + i, a + i, out + i, 4);
  if (i < n) {
    float f[4];
    falls += block4(x + i, a + i, f, n - i);
    std::memcpy(out + i, f, (n - i) * sizeof f[0]);
  }
  return falls;
}

extern "C" {
__attribute__((target("avx512f"))) __m512d _ZGVeN8v_sin(__m512d);
}

// Zero-masked, as in load8.
__attribute__((target("avx512f"))) inline __m256 to_float(__m512d v) {
  return _mm512_maskz_cvtpd_ps(0xFF, v);
}

__attribute__((target("avx512f"))) inline __m512d load8(const double* x, size_t m) {
  // The zero-masked insertions: with the plain ones GCC 12 sees an undefined value.
  const __m512d z = _mm512_setzero_pd();
  const __m512d lo = _mm512_maskz_insertf64x4(0xFF, z, load4(x, m < 4 ? m : 4), 0);
  return m > 4 ? _mm512_maskz_insertf64x4(0xFF, lo, load4(x + 4, m - 4), 1) : lo;
}

__attribute__((target("avx512f"))) size_t sine_times_avx512(const double* x, const double* a,
                                                              float* out, size_t n) {
  const __m512d margin = _mm512_set1_pd(kMargin), tiny = _mm512_set1_pd(kTiny);
  size_t falls = 0;
  for (size_t i = 0; i < n; i += 8) {
    const size_t m = n - i < 8 ? n - i : 8;
    const __m512d s = _ZGVeN8v_sin(load8(x + i, m));
    const __m512d p = _mm512_mul_pd(s, load8(a + i, m));
    const __m512d mag = _mm512_abs_pd(p);
    const __m512d d = _mm512_mul_pd(mag, margin);
    const __m256 lo = to_float(_mm512_sub_pd(p, d));
    const __m256 hi = to_float(_mm512_add_pd(p, d));
    const __m256 f = to_float(p);
    const unsigned ok = static_cast<unsigned>(_mm512_cmp_pd_mask(mag, tiny, _CMP_GE_OQ)) &
                        static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(lo, hi, _CMP_EQ_OQ)));
    if (ok == 0xFFu) {
      _mm256_storeu_ps(out + i, f);
    } else {
      alignas(32) float fl[8];
      _mm256_store_ps(fl, f);
      falls += settle(fl, ok, m, x + i, a + i, out + i);
    }
  }
  return falls;
}

SineKernel widest_kernel() {
  __builtin_cpu_init();
  SineKernel k = SineKernel::Sse2;
  if (__builtin_cpu_supports("avx512f"))
    k = SineKernel::Avx512;
  else if (__builtin_cpu_supports("avx2"))
    k = SineKernel::Avx2;
  return std::min(k, forced_kernel());
}

// The 8-wide sine pays off on long batches only: for a few arguments the 4-wide one
// returns sooner (bench: BM_SineTimes).
size_t sine_times_8(const double* x, const double* a, float* out, size_t n) {
  return n < 16 ? sine_times_avx2(x, a, out, n) : sine_times_avx512(x, a, out, n);
}

}  // namespace

bool sine_kernel_runs(SineKernel k) {
  switch (k) {
    case SineKernel::Scalar:
    case SineKernel::Sse2:
      return true;
    case SineKernel::Avx2:
      return __builtin_cpu_supports("avx2");
    case SineKernel::Avx512:
      return __builtin_cpu_supports("avx512f");
  }
  return false;
}

size_t sine_times(SineKernel k, const double* x, const double* a, float* out, size_t n) {
  switch (k) {
    case SineKernel::Avx512:
      return sine_times_avx512(x, a, out, n);
    case SineKernel::Avx2:
      return sine_times_avx2(x, a, out, n);
    case SineKernel::Sse2:
      return sine_times_sse2(x, a, out, n);
    case SineKernel::Scalar:
      break;
  }
  return sine_times_scalar(x, a, out, n);
}

namespace {
Kernel short_kernel(SineKernel k, size_t n) {
  switch (k) {
    case SineKernel::Avx512:
    case SineKernel::Avx2:
      return n == 2 ? block<2> : n == 3 ? block<3> : block<4>;
    case SineKernel::Sse2:
      return sine_times_sse2;
    case SineKernel::Scalar:
      break;
  }
  return sine_times_scalar;
}

Kernel default_kernel(SineKernel k) {
  switch (k) {
    case SineKernel::Avx512:
      return sine_times_8;
    case SineKernel::Avx2:
      return sine_times_avx2;
    case SineKernel::Sse2:
      return sine_times_sse2;
    case SineKernel::Scalar:
      break;
  }
  return sine_times_scalar;
}
}  // namespace

#else  // no libmvec: the scalar sine only

namespace {
SineKernel widest_kernel() { return std::min(SineKernel::Scalar, forced_kernel()); }
Kernel short_kernel(SineKernel, size_t) { return sine_times_scalar; }
Kernel default_kernel(SineKernel) { return sine_times_scalar; }
}  // namespace

bool sine_kernel_runs(SineKernel k) { return k == SineKernel::Scalar; }

size_t sine_times(SineKernel, const double* x, const double* a, float* out, size_t n) {
  return sine_times_scalar(x, a, out, n);
}

#endif

namespace {
// Both set before main. The scalar kernel is there from the start (constant
// initialization), so a call from another static initializer that runs first is
// still exact, only slower.
SineKernel g_kernel = SineKernel::Scalar;
Kernel g_run = sine_times_scalar;
const bool g_chosen = [] {
  g_kernel = widest_kernel();
  g_run = default_kernel(g_kernel);
  return true;
}();
}  // namespace

SineKernel sine_kernel() { return g_kernel; }

SineTimesShort sine_times_short(size_t n) { return short_kernel(g_kernel, n); }

void set_sine_kernel(SineKernel k) {
  g_kernel = k;
  g_run = default_kernel(k);
}

size_t sine_times(const double* x, const double* a, float* out, size_t n) {
  // One argument alone: the scalar sine returns sooner than a vector one, and needs
  // no check.
  if (n == 1) {
    out[0] = scalar_lane(x[0], a[0]);
    return 1;
  }
  return g_run(x, a, out, n);
}

const char* sine_kernel_name(SineKernel k) {
  switch (k) {
    case SineKernel::Sse2:
      return "sse2";
    case SineKernel::Avx2:
      return "avx2";
    case SineKernel::Avx512:
      return "avx512";
    case SineKernel::Scalar:
      break;
  }
  return "scalar";
}
