// The whole graph per sample: GENERATOR::evolue plus the conversion to 16-bit frames,
// run through a Player in blocks, as the sound thread runs it.
//
// Counters: ns_per_sample and ns_per_voice (CPU time), and realtime_factor, the
// seconds of sound computed per CPU second (1 means one core is fully busy).
#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bench/bench_util.h"
#include "bench/voice_patch.h"
#include "engine/generator.h"
#include "host/player.h"
#include "host/voice_keys.h"

namespace {

constexpr int kBlockFrames = 1024;

GENERATOR* load_patch_file(const std::string& path) {
  return tevbench::quietly([&] { return new GENERATOR(path.c_str()); });
}

GENERATOR* load_patch_text(const std::string& text) {
  char path[] = "/tmp/tev_bench_XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return nullptr;
  FILE* f = fdopen(fd, "w");
  std::fputs(text.c_str(), f);
  std::fclose(f);
  GENERATOR* g = load_patch_file(path);
  std::remove(path);
  return g;
}

double thread_cpu_seconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

void run_blocks(benchmark::State& st, Player* p, int voices) {
  std::vector<unsigned char> buf(kBlockFrames * 4);
  // CPU time of this thread, taken around the loop: the library's own counters can
  // only show rates, and these figures are times per unit.
  const double t0 = thread_cpu_seconds();
  for (auto _ : st) {
    p->render(buf.data(), kBlockFrames);
    benchmark::DoNotOptimize(buf.data());
    benchmark::ClobberMemory();
  }
  const double cpu = thread_cpu_seconds() - t0;
  const double frames = static_cast<double>(st.iterations()) * kBlockFrames;
  if (frames <= 0 || cpu <= 0) return;
  st.counters["ns_per_sample"] = cpu * 1e9 / frames;
  st.counters["ns_per_voice"] = cpu * 1e9 / (frames * voices);
  st.counters["realtime_factor"] = (frames / 44100.0) / cpu;
}

// Workloads (b) and (c): every keyboard pressed on its own note, every amplifier
// triggered and past its attack, so each voice sustains for the whole run.
Player* voices_graph(int n, bool lfo) {
  static std::map<std::pair<int, bool>, Player*> cache;
  Player*& player = cache[{n, lfo}];
  if (player) return player;
  tevbench::VoicePatch p;
  p.voices = n;
  p.lfo = lfo;
  GENERATOR* g = load_patch_text(tevbench::voice_patch_text(p));
  if (!g) return nullptr;
  for (size_t v = 0; v < g->liste_keyboard.size(); v++) {
    g->liste_keyboard[v]->note = 46 + static_cast<int>(v % 24);
    g->liste_keyboard[v]->TRIG();
  }
  for (VCA* a : g->liste_vca) a->TRIG();
  player = new Player(std::unique_ptr<GENERATOR>(g));
  std::vector<unsigned char> warm(400 * 4);  // the attack lasts 200 samples
  player->render(warm.data(), 400);
  return player;
}

void BM_Voices(benchmark::State& st) {
  const int n = static_cast<int>(st.range(0));
  Player* g = voices_graph(n, false);
  if (!g || static_cast<int>(g->graph().liste_vca.size()) != n) {
    st.SkipWithError("the voice patch did not load");
    return;
  }
  run_blocks(st, g, n);
}
BENCHMARK(BM_Voices)->Arg(3)->Arg(16)->Arg(64)->Arg(256);

void BM_VoicesLfo(benchmark::State& st) {
  const int n = static_cast<int>(st.range(0));
  Player* g = voices_graph(n, true);
  if (!g || static_cast<int>(g->graph().liste_vca.size()) != n) {
    st.SkipWithError("the voice patch did not load");
    return;
  }
  run_blocks(st, g, n);
}
BENCHMARK(BM_VoicesLfo)->Arg(3)->Arg(16)->Arg(64)->Arg(256);

// Workload (a): the bundled patch with its three voices held (z, a and q pressed).
const std::string kBundledDir = std::string(TEV_SOURCE_DIR) + "/patches";
const std::string kBundled = kBundledDir + "/SYNTH_2.TSY";

void BM_BundledPatch(benchmark::State& st) {
  static Player* g = nullptr;
  if (!g) {
    // Sample files named in the patch are relative to the patch's folder.
    if (chdir(kBundledDir.c_str()) != 0) {
      st.SkipWithError("cannot enter the patches folder");
      return;
    }
    g = new Player(std::unique_ptr<GENERATOR>(load_patch_file(kBundled)));
    VoiceOp ops[kMaxOpsPerEvent];
    for (int key : {'z', 'a', 'q'}) g->push_keys(ops, key_press_ops(g->graph(), key, ops));
  }
  run_blocks(st, g, 3);
}

}  // namespace

// `blocks` blocks of BM_Voices/n's workload, outside the benchmark library: a fixed
// amount of work for callgrind (bench/count_fixed.sh). Returns the process status.
int render_voice_blocks(int n, int blocks) {
  Player* p = voices_graph(n, false);
  if (!p) return 1;
  std::vector<unsigned char> buf(kBlockFrames * 4);
  for (int b = 0; b < blocks; b++) p->render(buf.data(), kBlockFrames);
  return 0;
}

void register_graph_benchmarks() {
  if (access(kBundled.c_str(), R_OK) == 0)
    benchmark::RegisterBenchmark("BM_BundledPatch", BM_BundledPatch);
  else
    std::fprintf(stderr, "note: %s not found; the bundled-patch benchmark is left out\n",
                 kBundled.c_str());
}
