// Helpers shared by the benchmark files.
#pragma once

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace tevbench {

// Runs f with standard output sent to /dev/null: the loader's trace, the graph report
// and the sampler's constructor line would bury the benchmark table.
template <class F>
auto quietly(F f) {
  std::fflush(stdout);
  const int saved = dup(1);
  const int devnull = open("/dev/null", O_WRONLY);
  if (devnull >= 0) {
    dup2(devnull, 1);
    close(devnull);
  }
  auto r = f();
  std::fflush(stdout);
  if (saved >= 0) {
    dup2(saved, 1);
    close(saved);
  }
  return r;
}

}  // namespace tevbench
