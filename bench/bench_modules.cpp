// One evaluation of each module kind, called the way the graph calls it (qualified,
// no virtual dispatch). Time per iteration is the cost of one module for one sample.
#include <benchmark/benchmark.h>

#include "bench/bench_util.h"
#include "engine/fast_sine.h"
#include "engine/mixer.h"
#include "engine/sampler.h"
#include "engine/sequencer.h"
#include "engine/vca.h"
#include "engine/vco.h"

// Modules are never freed, as in the graph; each run leaks a few hundred bytes.
namespace {

void BM_VCO(benchmark::State& st, type_generateur type) {
  VCO* o = new VCO(1.0f, 440.0f, type);
  for (auto _ : st) {
    o->VCO::evolue();
    benchmark::DoNotOptimize(o->OUTL);
  }
}
BENCHMARK_CAPTURE(BM_VCO, silent, SILENT);
BENCHMARK_CAPTURE(BM_VCO, sine, SINE);
BENCHMARK_CAPTURE(BM_VCO, saw, SAW);
BENCHMARK_CAPTURE(BM_VCO, half_saw, HALF_SAW);
BENCHMARK_CAPTURE(BM_VCO, pulse, PULSE);
BENCHMARK_CAPTURE(BM_VCO, noise, NOISE);

enum class Phase { Idle, Bypass, Attack, Decay, Sustain, Release, End };

// Each phase is held for the whole run: the times are chosen so that the clock never
// leaves it (the clock stands still in sustain and release).
void BM_VCA(benchmark::State& st, Phase phase) {
  VCA* a = new VCA();
  a->input = 1.0f;
  switch (phase) {
    case Phase::Idle: break;
    case Phase::Bypass: a->bypass = 1; break;
    case Phase::Attack: a->attack_time = 1e9f; a->TRIG(); break;
    case Phase::Decay: a->decay_time = 1e9f; a->TRIG(); a->elapsed = 2.0f; break;
    case Phase::Sustain: a->sustain_level = 1.0f; a->TRIG(); a->elapsed = 2.0f; break;
    case Phase::Release:
      a->sustain_level = 1.0f; a->release_time = 100.0f; a->TRIG(); a->elapsed = 2.0f;
      a->OUTL = 1.0f; a->UNTRIG();
      break;
    case Phase::End: a->TRIG(); a->elapsed = 1e6f; break;
  }
  for (auto _ : st) {
    // The end falls back to idle at once; re-arm it so every evaluation ends.
    if (phase == Phase::End) a->active = 1;
    a->VCA::evolue();
    benchmark::DoNotOptimize(a->OUTL);
  }
}
BENCHMARK_CAPTURE(BM_VCA, idle, Phase::Idle);
BENCHMARK_CAPTURE(BM_VCA, bypass, Phase::Bypass);
BENCHMARK_CAPTURE(BM_VCA, attack, Phase::Attack);
BENCHMARK_CAPTURE(BM_VCA, decay, Phase::Decay);
BENCHMARK_CAPTURE(BM_VCA, sustain, Phase::Sustain);
BENCHMARK_CAPTURE(BM_VCA, release, Phase::Release);
BENCHMARK_CAPTURE(BM_VCA, end, Phase::End);

void BM_SAMPLER(benchmark::State& st, bool playing) {
  // One 16 MB record for every run of this benchmark.
  static SAMPLER* s = tevbench::quietly([] {
    SAMPLER* p = new SAMPLER();
    for (int i = 0; i < SAMPLER::kCapacity; i += 97) p->samples[i] = static_cast<int16_t>(i);
    return p;
  });
  s->position = 0.0f;
  s->length = 3000000;
  s->playing = playing;
  for (auto _ : st) {
    // Rewound long before the end so that no "FIN" line is printed.
    if (s->position > 1e6f) s->position = 0.0f;
    s->SAMPLER::evolue();
    benchmark::DoNotOptimize(s->OUTL);
  }
}
BENCHMARK_CAPTURE(BM_SAMPLER, playing, true);
BENCHMARK_CAPTURE(BM_SAMPLER, stopped, false);

void BM_MIXER(benchmark::State& st) {
  MIXER* m = new MIXER();
  m->nbr_inputs = static_cast<int>(st.range(0));
  for (int i = 0; i < MIXER::kMaxInputs; i++) m->inputs[i] = 0.01f * i;
  for (auto _ : st) {
    m->MIXER::evolue();
    benchmark::DoNotOptimize(m->OUTL);
  }
}
BENCHMARK(BM_MIXER)->Arg(1)->Arg(7)->Arg(24);

void BM_SEQUENCER(benchmark::State& st) {
  SEQUENCER* s = new SEQUENCER();
  s->divider = 8.0f;  // a step change every 5513 evaluations
  s->divider_set();
  for (auto _ : st) {
    s->SEQUENCER::evolue();
    benchmark::DoNotOptimize(s->OUTL);
  }
}
BENCHMARK(BM_SEQUENCER);

// n sines through one kernel, the arguments written just before the call as the
// graph writes them (so a wide load of them meets the fresh scalar stores).
// ns_per_sine is CPU time.
void BM_SineTimes(benchmark::State& st) {
  const auto k = static_cast<SineKernel>(st.range(0));
  const size_t n = static_cast<size_t>(st.range(1));
  if (!sine_kernel_runs(k)) {
    st.SkipWithError("this CPU does not run the kernel");
    return;
  }
  st.SetLabel(sine_kernel_name(k));
  double x[64], a[64];
  float y[64];
  double phase = 0.1;
  for (auto _ : st) {
    phase = phase > 1.0 ? phase - 1.0 : phase + 0.01;
    for (size_t i = 0; i < n; i++) {
      x[i] = (phase + 1.0 + 0.001 * static_cast<double>(i)) * 6.2831853;
      a[i] = 0.7;
    }
    benchmark::DoNotOptimize(x);
    sine_times(k, x, a, y, n);
    benchmark::DoNotOptimize(y);
  }
  st.counters["ns_per_sine"] = benchmark::Counter(
      static_cast<double>(st.iterations() * n), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_SineTimes)->ArgsProduct({{0, 1, 2, 3}, {1, 3, 4, 8, 64}});

}  // namespace
