#include <benchmark/benchmark.h>

#include "engine/note_table.h"

void register_graph_benchmarks();

int main(int argc, char** argv) {
  init_NOTE2FREQ();
  register_graph_benchmarks();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
