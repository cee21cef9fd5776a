// The audio path never allocates: one second of a patch rendered through the stream
// callback, with keys pressed, released and retriggered between the blocks, while
// every allocation of the process is counted.
//
// The global allocator is replaced in this executable (malloc and friends forward to
// glibc's own entry points; operator new goes through malloc), so this test lives in
// an executable of its own and is not built with the sanitizers, which own malloc.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "audio/graph_swap.h"
#include "audio/stream_callback.h"
#include "audio/voice_keys.h"
#include "engine/generator.h"
#include "engine/note_table.h"
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
std::atomic<long> g_mallocs{0};  // malloc, calloc, realloc, aligned forms
std::atomic<long> g_news{0};     // operator new, all forms
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

namespace {
void* counted_new(size_t n) {
  if (g_armed.load(std::memory_order_relaxed)) g_news.fetch_add(1, std::memory_order_relaxed);
  void* p = std::malloc(n ? n : 1);
  if (!p) throw std::bad_alloc();
  return p;
}
void* counted_new_aligned(size_t n, std::align_val_t a) {
  if (g_armed.load(std::memory_order_relaxed)) g_news.fetch_add(1, std::memory_order_relaxed);
  void* p = aligned_alloc(static_cast<size_t>(a), (n + static_cast<size_t>(a) - 1) &
                                                      ~(static_cast<size_t>(a) - 1));
  if (!p) throw std::bad_alloc();
  return p;
}
}  // namespace

void* operator new(size_t n) { return counted_new(n); }
void* operator new[](size_t n) { return counted_new(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept {
  try { return counted_new(n); } catch (...) { return nullptr; }
}
void* operator new[](size_t n, const std::nothrow_t&) noexcept {
  try { return counted_new(n); } catch (...) { return nullptr; }
}
void* operator new(size_t n, std::align_val_t a) { return counted_new_aligned(n, a); }
void* operator new[](size_t n, std::align_val_t a) { return counted_new_aligned(n, a); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { std::free(p); }

// ------------------------------------------------------------------ the render

namespace {

struct Armed {
  Armed() {
    g_mallocs = 0;
    g_news = 0;
    g_armed = true;
  }
  ~Armed() { g_armed = false; }
};

void* volatile g_sink;

// The counter itself must see what it is meant to catch, or a zero proves nothing.
TEST(AudioPathAllocations, CounterSeesNewAndMalloc) {
  long news, mallocs;
  {
    Armed armed;
    g_sink = new int(7);
    delete static_cast<int*>(g_sink);
    g_sink = std::malloc(16);
    std::free(g_sink);
    news = g_news;
    mallocs = g_mallocs;
  }
  EXPECT_EQ(news, 1);
  EXPECT_GE(mallocs, 2);  // the new's own malloc, and the plain one
}

// A short 16-bit stereo WAV in the canonical 44-byte layout.
void write_wav(const std::string& path, int frames) {
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  auto u32 = [&](uint32_t v) { std::fwrite(&v, 4, 1, f); };
  auto u16 = [&](uint16_t v) { std::fwrite(&v, 2, 1, f); };
  const uint32_t data = static_cast<uint32_t>(frames) * 4;
  std::fwrite("RIFF", 1, 4, f); u32(36 + data); std::fwrite("WAVE", 1, 4, f);
  std::fwrite("fmt ", 1, 4, f); u32(16); u16(1); u16(2); u32(44100); u32(44100 * 4); u16(4); u16(16);
  std::fwrite("data", 1, 4, f); u32(data);
  for (int i = 0; i < frames * 2; i++) u16(static_cast<uint16_t>((i * 37) % 20000 - 10000));
  std::fclose(f);
}

// Three voices with every module kind on the path: modulation, noise, a pulse, a
// sampler that a sequencer retriggers (so it counts its end several times).
std::string test_patch(const std::string& wav) {
  return "#three_voices\n"
         "KEY_0;\nKEY_1;\nKEY_2;\n"
         "LFO_0;*TYPE=1;*FREQ=5;*AMOUNT=0.05;\n"
         "VCO_0;*TYPE=1;KEY_0:k;LFO_0:MOD_FREQ;*NOTE=0;\n"
         "VCO_1;*TYPE=4;KEY_1:k;*NOTE=0;\n"
         "VCO_2;*TYPE=5;*AMOUNT=0.5;KEY_2:k;*NOTE=0;\n"
         "SAMPLER_0;*FILE=" + wav + ";KEY_0:k;LFO_0:MOD_AMP;\n"
         "MIXER_0;VCO_0:IN1;SAMPLER_0:IN2;\n"
         "MIXER_1;VCO_1:IN1;\n"
         "MIXER_2;VCO_2:IN1;\n"
         "VCA_0;*SUSTAIN=1;*RELEASE=10;MIXER_0:x;KEY_0:k;\n"
         "VCA_1;*DECAY=20;MIXER_1:x;KEY_1:k;\n"
         "VCA_2;*SUSTAIN=1;MIXER_2:x;KEY_2:k;\n"
         "SEQUENCER_0;*DIVIDER=20;SAMPLER_0:x;VCO_1:x;\n";
}

void push_keys(GENERATOR& g, int (*make)(const GENERATOR&, int, VoiceOp*), int key) {
  VoiceOp ops[kMaxOpsPerEvent];
  const int n = make(g, key, ops);
  ASSERT_GT(n, 0) << "key " << key;
  ASSERT_TRUE(g_voice_ops.push(ops, n));
}

struct Case {
  const char* what;
  std::string patch;  // path; empty: the three-voice text
};

TEST(AudioPathAllocations, OneSecondWithKeysAllocatesNothing) {
  init_NOTE2FREQ();
  char dir[] = "/tmp/tev_alloc_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string wav = std::string(dir) + "/loop.wav";
  write_wav(wav, 1000);  // 2000 values: the sampler ends about twenty times a second
  const std::string bundled = std::string(TEV_SOURCE_DIR) + "/patches/SYNTH_2.TSY";
  std::vector<Case> cases = {{"three-voice test patch", ""}};
  if (access(bundled.c_str(), R_OK) == 0) cases.push_back({"bundled patch", bundled});

  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PatchLog log(PatchLog::kDrop);
    std::unique_ptr<GENERATOR> g;
    if (c.patch.empty()) {
      g = load_patch_text("voices.tsy", test_patch(wav), log);
    } else {
      // The bundled patch names its sample files relative to its own folder.
      ASSERT_EQ(chdir(c.patch.substr(0, c.patch.rfind('/')).c_str()), 0);
      g = load_patch_file(c.patch.c_str(), log);
    }
    ASSERT_TRUE(log.opened());
    gen = g.get();

    // 32768-byte blocks, the stream's buffer size: 8192 frames each, six of them
    // make a little more than one second.
    std::vector<unsigned char> block(32768);
    long news = 0, mallocs = 0;
    int loud = 0;
    for (int b = 0; b < 6; b++) {
      if (b == 0)
        for (int k : {'z', 'a', 'q'}) push_keys(*g, key_press_ops, k);
      if (b == 2) push_keys(*g, key_release_ops, 'a');
      if (b == 3) push_keys(*g, key_press_ops, 'x');
      if (b == 4) push_keys(*g, user_retrigger_ops, 2);
      if (b == 5) push_keys(*g, key_release_ops, 'q');
      {
        Armed armed;
        instrument_callback(nullptr, block.data(), static_cast<int>(block.size()), nullptr);
        news += g_news;
        mallocs += g_mallocs;
      }
      for (size_t i = 0; i < block.size(); i += 4)
        if (block[i] || block[i + 1]) loud++;
    }
    EXPECT_EQ(news, 0);
    EXPECT_EQ(mallocs, 0);
    // A silent render would pass trivially.
    EXPECT_GT(loud, 44100 / 2);
    EXPECT_GT(take_finished_playbacks(), 0u);
    gen = nullptr;
  }
  std::remove(wav.c_str());
  rmdir(dir);
}

// A hundred reloads of the bundled patch under a held key: the handover, the fade
// and the key pressed again on each new graph allocate nothing on the audio path,
// and each replaced graph, freed on this thread, gives back what it held.
TEST(AudioPathAllocations, HundredReloadsAllocateNothingAndKeepResidentSize) {
  init_NOTE2FREQ();
  ASSERT_EQ(chdir(TEV_SOURCE_DIR "/patches"), 0);
  PatchLog log(PatchLog::kDrop);
  gen = load_patch_file("SYNTH_2.TSY", log).release();
  push_keys(*gen, key_press_ops, 'z');
  std::vector<unsigned char> block(4096);
  long allocations = 0, first_kb = 0, kb = 0, pages = 0;
  const auto t0 = std::chrono::steady_clock::now();
  for (int reload = 1; reload <= 100; reload++) {
    GENERATOR* next = load_patch_file("SYNTH_2.TSY", log).release();
    VoiceOp ops[kMaxOpsPerEvent];
    ASSERT_TRUE(g_graph_swap.offer(next, ops, key_press_ops(*next, 'z', ops)));
    GENERATOR* old = nullptr;
    for (int b = 0; !old && b < 4; b++) {  // 1024 frames a block; the fade takes 441
      Armed armed;
      instrument_callback(nullptr, block.data(), static_cast<int>(block.size()), nullptr);
      allocations += g_news + g_mallocs;
      old = g_graph_swap.retired();
    }
    ASSERT_NE(old, nullptr) << "the fade did not end";
    delete old;
    FILE* statm = std::fopen("/proc/self/statm", "r");
    ASSERT_EQ(std::fscanf(statm, "%ld %ld", &pages, &kb), 2);
    std::fclose(statm);
    kb *= sysconf(_SC_PAGESIZE) / 1024;
    if (reload == 1) first_kb = kb;
  }
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  std::printf("100 reloads of SYNTH_2.TSY: %.2f ms each (load, handover, fade); resident %ld kB "
              "after the first, %ld kB after the last\n", ms / 100, first_kb, kb);
  EXPECT_EQ(allocations, 0);
  EXPECT_EQ(gen->liste_keyboard[0]->pressed, 1) << "the held key did not follow the reloads";
  EXPECT_LT(kb - first_kb, 1024);
  delete gen;
  gen = nullptr;
}

}  // namespace
