// Compares sine_times, with every kernel this CPU runs, against the oscillator's own
// float(std::sin(x) x a) over COUNT arguments drawn as the engine forms them, and
// reports the mismatches (there must be none), the fallback rate and the time per
// sine. Exit status 1 on any mismatch.
//
// usage: tev_sine_check [COUNT (1000000000)] [SEED (1)]
//
// Arguments: a float phase in [0, 1] plus a float offset (the default 1.0 half the
// time, else modulated anywhere in [-2, 4], three cycles either side), times the
// oscillator's 6.2831853. Amounts: the bundled patch's and the benchmarks' (1.0 is
// also the pulse's plain sine) half the time, else any float in [-40, 40]. Before
// them, 64 edge cases are checked on their own: zeros of either sign, a subnormal,
// the largest float, infinities and NaN as amount, with tiny, huge or non-finite
// arguments.
#include <time.h>

#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "engine/fast_sine.h"

namespace {

struct Rng {  // splitmix64: fast, and the same draws on every machine
  uint64_t s;
  uint64_t next() {
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  double unit() { return static_cast<double>(next() >> 11) * 0x1p-53; }  // [0, 1)
};

// The edge cases: every amount with every argument.
size_t edges(double* x, double* a) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float kAmounts[] = {0.0f, -0.0f, 1e-40f, -3.4028235e38f, inf, nan, 1.0f, -1.0f};
  const double kArgs[] = {0.0, -0.0, 1e-300, 1e22, -1e300, HUGE_VAL, NAN, 0.5};
  size_t n = 0;
  for (float am : kAmounts)
    for (double arg : kArgs) {
      x[n] = arg;
      a[n++] = am;
    }
  return n;
}

void draw(Rng& r, double* x, double* a) {
  constexpr double kTwoPi = 6.2831853;
  constexpr float kAmounts[] = {0.01f, 0.006f, 0.25f, 0.3f, 0.6f, 0.7f, 1.0f};
  const uint64_t u = r.next();
  const float phase = static_cast<float>(r.unit());
  const float offset = (u >> 10) & 1 ? 1.0f : static_cast<float>(r.unit() * 6.0 - 2.0);
  *x = (static_cast<double>(phase) + static_cast<double>(offset)) * kTwoPi;
  *a = (u >> 11) & 1 ? kAmounts[((u >> 12) & 0xFFFF) % 7] : static_cast<float>(r.unit() * 80.0 - 40.0);
}

double now() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000000ull;
  Rng rng{argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1};
  const SineKernel kernels[] = {SineKernel::Scalar, SineKernel::Sse2, SineKernel::Avx2,
                                SineKernel::Avx512};
  struct Tally {
    uint64_t mismatches = 0, fallbacks = 0;
    double seconds = 0.0;
  } tally[4];

  // Batch sizes 4089 to 4096 in turn, so that every kernel also runs each length of
  // partial last vector.
  constexpr size_t kBatch = 4096;
  size_t round = 0;
  std::vector<double> x(kBatch), a(kBatch);
  std::vector<float> want(kBatch), got(kBatch);
  uint64_t edge_mismatches = 0, short_mismatches = 0;
  bool first = true;
  for (uint64_t done = 0; first || done < count;) {
    size_t n;
    if (first) {
      n = edges(x.data(), a.data());
    } else {
      const size_t size = kBatch - round++ % 8;
      n = count - done < size ? static_cast<size_t>(count - done) : size;
      for (size_t i = 0; i < n; i++) draw(rng, &x[i], &a[i]);
    }
    for (size_t i = 0; i < n; i++) want[i] = static_cast<float>(std::sin(x[i]) * a[i]);
    for (int k = 0; k < 4; k++) {
      if (!sine_kernel_runs(kernels[k])) continue;
      const double t0 = now();
      const size_t falls = sine_times(kernels[k], x.data(), a.data(), got.data(), n);
      if (!first) {
        tally[k].fallbacks += falls;
        tally[k].seconds += now() - t0;
      }
      if (std::memcmp(want.data(), got.data(), n * sizeof(float)) == 0) continue;
      for (size_t i = 0; i < n; i++) {
        if (std::memcmp(&want[i], &got[i], sizeof(float)) == 0) continue;
        uint64_t& bad = first ? edge_mismatches : tally[k].mismatches;
        if (bad++ < 10)
          std::printf("MISMATCH %s: sin(%a) x %a: %a, not %a\n", sine_kernel_name(kernels[k]),
                      x[i], a[i], static_cast<double>(got[i]), static_cast<double>(want[i]));
      }
    }
    // The graph's blocks of 2 to 4 (sine_times_short), edge cases and fallbacks included.
    for (size_t m = 2; m <= 4; m++) {
      float out[4];
      for (size_t i = 0; i + m <= n; i += m) {
        sine_times_short(m)(&x[i], &a[i], out, m);
        if (std::memcmp(out, &want[i], m * sizeof(float)) != 0 && short_mismatches++ < 10)
          std::printf("MISMATCH block of %zu at sin(%a) x %a\n", m, x[i], a[i]);
      }
    }
    if (!first) done += n;
    first = false;
  }

  std::printf("%" PRIu64 " arguments; sine_times uses %s\n", count, sine_kernel_name(sine_kernel()));
  std::printf("  edge cases: %" PRIu64 " mismatches\n", edge_mismatches);
  std::printf("  blocks of 2 to 4: %" PRIu64 " mismatches\n", short_mismatches);
  bool ok = edge_mismatches == 0 && short_mismatches == 0;
  for (int k = 0; k < 4; k++) {
    if (!sine_kernel_runs(kernels[k])) {
      std::printf("  %-6s  not run by this CPU or build\n", sine_kernel_name(kernels[k]));
      continue;
    }
    const double c = count > 0 ? static_cast<double>(count) : 1.0;
    std::printf("  %-6s  mismatches %" PRIu64 "  fallbacks %" PRIu64 " (%.3g per million)  %.2f ns per sine\n",
                sine_kernel_name(kernels[k]), tally[k].mismatches, tally[k].fallbacks,
                k == 0 ? 1e6 : static_cast<double>(tally[k].fallbacks) * 1e6 / c,
                tally[k].seconds * 1e9 / c);
    if (tally[k].mismatches != 0) ok = false;
  }
  std::printf("%s\n", ok ? "PASS" : "FAIL");
  return ok ? 0 : 1;
}
