// The audio path never allocates: one second of a patch rendered through the stream
// callback, with keys pressed, released and retriggered between the blocks, while
// every allocation of the process is counted.
//
// The global allocator is replaced in this executable (malloc and friends forward to
// glibc's own entry points; libstdc++'s operator new calls malloc), so this test
// lives in an executable of its own and is not built with the sanitizers, which own
// malloc. Its patch (tests/realtime/three_voices.tsy) has every module kind on the
// path: modulation, noise, a pulse, a sampler that a sequencer retriggers (so it
// counts its end several times) on loop.wav, 1000 frames that end about twenty
// times a second.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "engine/generator.h"
#include "engine/note_table.h"
#include "host/player.h"
#include "host/voice_keys.h"
#include "patch/patch_log.h"

// ------------------------------------------------------------------ the counting allocator

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);
}

namespace {
std::atomic<bool> g_armed{false};
std::atomic<long> g_mallocs{0};  // malloc, calloc, realloc, aligned forms, operator new
inline void count_malloc() {
  if (g_armed.load(std::memory_order_relaxed)) g_mallocs.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

extern "C" {
void* malloc(size_t n) {
  count_malloc();
  return __libc_malloc(n);
}
void* calloc(size_t n, size_t s) {
  count_malloc();
  return __libc_calloc(n, s);
}
void* realloc(void* p, size_t n) {
  count_malloc();
  return __libc_realloc(p, n);
}
void free(void* p) { __libc_free(p); }
void* memalign(size_t a, size_t n) {
  count_malloc();
  return __libc_memalign(a, n);
}
void* aligned_alloc(size_t a, size_t n) {
  count_malloc();
  return __libc_memalign(a, n);
}
int posix_memalign(void** out, size_t a, size_t n) {
  count_malloc();
  void* p = __libc_memalign(a, n);
  if (!p) return ENOMEM;
  *out = p;
  return 0;
}
}

// ------------------------------------------------------------------ the render

namespace {

struct Armed {
  Armed() {
    g_mallocs = 0;
    g_armed = true;
  }
  ~Armed() { g_armed = false; }
};

void* volatile g_sink;

// The counter itself must see what it is meant to catch, or a zero proves nothing.
TEST(AudioPathAllocations, CounterSeesNewAndMalloc) {
  long mallocs;
  {
    Armed armed;
    g_sink = new int(7);
    delete static_cast<int*>(g_sink);
    g_sink = std::malloc(16);
    std::free(g_sink);
    mallocs = g_mallocs;
  }
  EXPECT_EQ(mallocs, 2);
}

void push_keys(Player& p, int (*make)(const GENERATOR&, int, VoiceOp*), int key) {
  VoiceOp ops[kMaxOpsPerEvent];
  const int n = make(p.graph(), key, ops);
  ASSERT_GT(n, 0) << "key " << key;
  ASSERT_TRUE(p.push_keys(ops, n));
}

TEST(AudioPathAllocations, OneSecondWithKeysAllocatesNothing) {
  init_NOTE2FREQ();
  // Each patch names its sample files relative to its own folder.
  for (const char* path : {"tests/realtime/three_voices.tsy", "patches/SYNTH_2.TSY"}) {
    SCOPED_TRACE(path);
    const std::string file = std::string(TEV_SOURCE_DIR) + "/" + path;
    ASSERT_EQ(chdir(file.substr(0, file.rfind('/')).c_str()), 0);
    PatchLog log(PatchLog::kDrop);
    Player g(load_patch_file(file.c_str(), log));
    ASSERT_TRUE(log.opened() && log.problems().empty());

    // 32768-byte blocks, the stream's buffer size: 8192 frames each, six of them
    // make a little more than one second.
    std::vector<unsigned char> block(32768);
    long mallocs = 0;
    int loud = 0;
    for (int b = 0; b < 6; b++) {
      if (b == 0)
        for (int k : {'z', 'a', 'q'}) push_keys(g, key_press_ops, k);
      if (b == 2) push_keys(g, key_release_ops, 'a');
      if (b == 3) push_keys(g, key_press_ops, 'x');
      if (b == 4) push_keys(g, user_retrigger_ops, 2);
      if (b == 5) push_keys(g, key_release_ops, 'q');
      {
        Armed armed;
        g.render(block.data(), static_cast<int>(block.size() / 4));
        mallocs += g_mallocs;
      }
      for (size_t i = 0; i < block.size(); i += 4)
        if (block[i] || block[i + 1]) loud++;
    }
    EXPECT_EQ(mallocs, 0);
    // A silent render would pass trivially.
    EXPECT_GT(loud, 44100 / 2);
    EXPECT_GT(g.take_finished(), 0u);
  }
}

// A hundred reloads of the bundled patch under a held key: the handover, the fade
// and the key pressed again on each new graph allocate nothing on the audio path,
// and each replaced graph, freed on this thread, gives back what it held.
TEST(AudioPathAllocations, HundredReloadsAllocateNothingAndKeepResidentSize) {
  init_NOTE2FREQ();
  ASSERT_EQ(chdir(TEV_SOURCE_DIR "/patches"), 0);
  PatchLog log(PatchLog::kDrop);
  Player player(load_patch_file("SYNTH_2.TSY", log));
  push_keys(player, key_press_ops, 'z');
  std::vector<unsigned char> block(4096);
  long allocations = 0, first_kb = 0, kb = 0, pages = 0;
  const auto t0 = std::chrono::steady_clock::now();
  for (int reload = 1; reload <= 100; reload++) {
    std::unique_ptr<GENERATOR> next = load_patch_file("SYNTH_2.TSY", log), old;
    VoiceOp ops[kMaxOpsPerEvent];
    ASSERT_TRUE(player.offer(next, ops, key_press_ops(*next, 'z', ops)));
    for (int b = 0; !old && b < 4; b++) {  // 1024 frames a block; the fade takes 441
      {
        Armed armed;
        player.render(block.data(), static_cast<int>(block.size() / 4));
        allocations += g_mallocs;
      }
      old = player.retired();
    }
    ASSERT_NE(old, nullptr) << "the fade did not end";
    old.reset();
    ASSERT_TRUE(std::ifstream("/proc/self/statm") >> pages >> kb);
    kb *= sysconf(_SC_PAGESIZE) / 1024;
    if (reload == 1) first_kb = kb;
  }
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  std::printf("100 reloads of SYNTH_2.TSY: %.2f ms each (load, handover, fade); resident %ld kB "
              "after the first, %ld kB after the last\n", ms / 100, first_kb, kb);
  EXPECT_EQ(allocations, 0);
  EXPECT_LT(kb - first_kb, 1024);
}

}  // namespace
