// The patch loader on arbitrary patch text, then a few hundred frames of the loaded
// graph with the performance keys played, and the graph report: whatever the loader
// accepts must also be safe to play and to print.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include "audio/stream_callback.h"
#include "engine/generator.h"
#include "engine/hooks.h"
#include "engine/note_table.h"
#include "audio/voice_keys.h"
#include "fuzz_support.h"

namespace {

fuzz::MemFile* patch_file;

// An empty field ends the live synth with exit(-1); here the loader must stop
// reading and leave a playable graph instead.
void stay(int) {}

// A sampler line may name any file; relative names resolve in a directory that no
// longer exists, so that the inputs never depend on what the working directory holds
// and nothing is left behind.
void enter_empty_dir() {
  char dir[] = "/tmp/tev-fuzz-XXXXXX";
  if (!mkdtemp(dir) || chdir(dir) != 0 || rmdir(dir) != 0) std::abort();
}

// 512 frames of 4 bytes: about 12 ms of sound, past every module's first steps.
constexpr int kFrames = 512;
unsigned char block[kFrames * 4];

void keys(GENERATOR& g, int key, bool press) {
  VoiceOp ops[kMaxOpsPerEvent];
  const int n = press ? key_press_ops(g, key, ops) : key_release_ops(g, key, ops);
  if (n > 0 && !g_voice_ops.push(ops, n)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quiet_stdout();
  init_NOTE2FREQ();
  tev_exit_hook = stay;
  enter_empty_dir();
  patch_file = new fuzz::MemFile("patch.tsy");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  patch_file->write(data, size);
  GENERATOR* g = new GENERATOR(GENERATOR::Empty{});
  g->load_TSY(patch_file->path());
  g->prepare();
  g->affiche_tree();

  gen = g;
  // Voice 0 and voice 2 held over the first block, Return over both, voice 1
  // pressed and released inside the second.
  keys(*g, 'z', true);
  keys(*g, 'q', true);
  keys(*g, 13, true);
  instrument_callback(nullptr, block, kFrames * 2, nullptr);
  keys(*g, 'a', true);
  keys(*g, 'z', false);
  keys(*g, 'a', false);
  instrument_callback(nullptr, block + kFrames * 2, kFrames * 2, nullptr);
  keys(*g, 'q', false);
  keys(*g, 13, false);
  instrument_callback(nullptr, block, 4, nullptr);
  gen = nullptr;

  fuzz::free_graph(g);
  return 0;
}
