// Shared pieces of the fuzz targets: an in-memory file that the loaders can open by
// path, quiet standard output, and the teardown of a loaded graph.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "engine/generator.h"

namespace fuzz {

// One memfd, rewritten for every input: the loaders keep their fopen() API and read
// it as /proc/self/fd/N, without touching the disk.
class MemFile {
 public:
  explicit MemFile(const char* name) {
    fd_ = memfd_create(name, 0);
    if (fd_ < 0) {
      std::perror("memfd_create");
      std::abort();
    }
    std::snprintf(path_, sizeof path_, "/proc/self/fd/%d", fd_);
  }
  void write(const uint8_t* data, size_t size) {
    if (ftruncate(fd_, 0) != 0) std::abort();
    size_t done = 0;
    while (done < size) {
      const ssize_t n = pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
      if (n <= 0) std::abort();
      done += static_cast<size_t>(n);
    }
  }
  char* path() { return path_; }

 private:
  int fd_ = -1;
  char path_[40];
};

// The loaders trace every line on stdout; at millions of inputs that is pure cost.
// Crash reports go to stderr and stay visible.
inline void quiet_stdout() {
  if (!std::freopen("/dev/null", "w", stdout)) std::abort();
}

// Sample handles come from the sound layer's loader, which allocates them with a
// plain `new` of a type private to it; a sampler keeps its handle for the life of the
// process, so the layer has no release call. The type is trivially destructible,
// so returning its storage to operator delete is exact.
inline void release_sample(SAMPLER* s) {
  ::operator delete(static_cast<void*>(s->sample_handle));
  s->sample_handle = nullptr;
}

// The live synth never frees a graph: its modules and the words kept in link
// records live for the process. A fuzzer loads millions of graphs in one process, so
// it releases everything the loader created, which also lets LeakSanitizer catch
// any copy the loader forgets to release.
//
// Each list holds objects of exactly its element type (no module class is derived
// from), so deleting through that type is exact despite the base's non-virtual
// destructor.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdelete-non-virtual-dtor"
inline void free_sampler(SAMPLER* s) {
  release_sample(s);
  delete s;
}

inline void free_graph(GENERATOR* g) {
  for (VCO* m : g->liste_vco) delete m;
  for (VCA* m : g->liste_vca) delete m;
  for (MIXER* m : g->liste_mixer) delete m;
  for (KEYBOARD* m : g->liste_keyboard) delete m;
  for (SAMPLER* m : g->liste_sampler) free_sampler(m);
  for (SEQUENCER* m : g->liste_sequencer) delete m;
  auto words = [](auto& records) {
    for (auto& r : records)
      for (char* w : r.param_out) delete[] w;
  };
  words(g->liens_vco_vco);
  words(g->liens_sampler_vco);
  words(g->liens_vco_mixer);
  words(g->liens_sampler_mixer);
  words(g->liens_vco_sampler);
  words(g->liens_mixer_vca);
  delete g;
}
#pragma GCC diagnostic pop

}  // namespace fuzz
