// Sines of many arguments at once, each rounded to float exactly as the oscillator
// rounds its own: float(std::sin(x) x a), the product formed in double.
#pragma once

#include <cstddef>

// Vector widths of the C library's vector sine. The widest one this CPU runs is
// chosen once, at start-up; Scalar is std::sin alone, for any CPU or platform.
enum class SineKernel { Scalar, Sse2, Avx2, Avx512 };

// The kernel sine_times uses: the widest this CPU runs (AVX-512 then serves batches
// of 16 or more, AVX2 shorter ones; a lone argument takes the scalar sine, which
// returns sooner).
SineKernel sine_kernel();
// Makes k (which must run) the kernel of sine_times and of the graphs prepared from
// now on, as TEV_SIMD does at start-up; not while a graph plays.
void set_sine_kernel(SineKernel k);
// Whether this build and this CPU run kernel k.
bool sine_kernel_runs(SineKernel k);
// "scalar", "sse2", "avx2", "avx512".
const char* sine_kernel_name(SineKernel k);

// out[i] = float(std::sin(x[i]) x a[i]), bit for bit, for i < n. Returns how many of
// the n took the scalar std::sin (the vector result was too close to the midpoint of
// two floats to round with certainty). No allocation, no lock: audio-thread safe.
size_t sine_times(const double* x, const double* a, float* out, size_t n);
// The same with a given kernel, which must run (sine_kernel_runs).
size_t sine_times(SineKernel k, const double* x, const double* a, float* out, size_t n);

// sine_times for exactly n, 1 <= n <= 4, with the kernel of sine_times, without its
// dispatch, for a caller that calls it every sample with the same n: `out` must have
// room for 4 floats (those past n are overwritten). Where sine_times takes the scalar
// sine for n = 1, this one may not: the results are the same.
using SineTimesShort = size_t (*)(const double* x, const double* a, float* out, size_t n);
SineTimesShort sine_times_short(size_t n);
