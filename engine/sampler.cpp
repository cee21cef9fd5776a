#include "engine/sampler.h"

#include <sys/mman.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "engine/convert.h"

namespace {
// Written by the audio thread, taken by the main loop.
std::atomic<unsigned> finished_playbacks{0};
}  // namespace

unsigned take_finished_playbacks() {
  return finished_playbacks.exchange(0, std::memory_order_relaxed);
}

// Straight from the kernel rather than calloc: once a block this large has been
// freed, malloc raises its mmap threshold and serves the next one from its heap,
// zeroing (and so making resident) all 16 MB, which a freed graph never gives back.
void* SAMPLER::operator new(std::size_t size) {
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  return p;
}

// The class is final: every block operator new gave out is one SAMPLER long.
void SAMPLER::operator delete(void* p) {
  if (p) munmap(p, sizeof(SAMPLER));
}

SAMPLER::SAMPLER() {
  OUTL = 0.0f;
  name[0] = '\0';
}

int SAMPLER::evolue() {
  if (playing == 0) {
    OUTL = 0.0f;
    return 1;
  }
  position = static_cast<float>(position + 1.0);
  // The bound is 4 x length formed as a 32-bit integer, against twice the
  // product: a 16-bit stereo file's interleaved values are all played.
  const int32_t bound = static_cast<int32_t>(static_cast<uint32_t>(length) * 4u);
  if (2.0 * (static_cast<double>(position) * speed) > bound) {
    finished_playbacks.fetch_add(1, std::memory_order_relaxed);
    position = 0.0f;
    playing = 0;
  }
  const int32_t index = trunc_to_i32(static_cast<double>(position) * speed + offset);
  // Negative speeds or offsets and huge lengths would read outside the buffer: play 0.
  const double value = (index >= 0 && index < kCapacity) ? samples[index] : 0;
  OUTL = static_cast<float>(value * gain / 32000.0f);
  return 1;
}
