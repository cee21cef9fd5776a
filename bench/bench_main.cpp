#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>

#include "engine/note_table.h"

void register_graph_benchmarks();
int render_voice_blocks(int n, int blocks);

int main(int argc, char** argv) {
  init_NOTE2FREQ();
  // tev_bench --render-voices N BLOCKS: BM_Voices/N's render alone, for callgrind.
  if (argc == 4 && std::strcmp(argv[1], "--render-voices") == 0)
    return render_voice_blocks(std::atoi(argv[2]), std::atoi(argv[3]));
  register_graph_benchmarks();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
