// The patch loader and the patch check on arbitrary patch text, then a few hundred
// frames of the graph with keys played: whatever the loader accepts must be safe to
// report, check, play and free.
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "engine/generator.h"
#include "engine/note_table.h"
#include "host/player.h"
#include "host/voice_keys.h"
#include "patch/check.h"
#include "patch/patch_log.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  init_NOTE2FREQ();
  // Sample paths resolve in a directory that no longer exists: inputs never depend
  // on the working directory, and nothing is left behind.
  char dir[] = "/tmp/tev-fuzz-XXXXXX";
  if (!mkdtemp(dir) || chdir(dir) != 0 || rmdir(dir) != 0) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  PatchLog log(PatchLog::kDrop);
  const std::string text(reinterpret_cast<const char*>(data), size);
  auto loaded = load_patch_text("fuzz.tsy", text, log);
  check_patch(text, *loaded, log);
  Player player(std::move(loaded));
  const GENERATOR& g = player.graph();
  static unsigned char block[512 * 4];  // 512 frames: past every module's first steps
  // Voices 0 and 2 and Return held over a block, voice 1 pressed and released inside it.
  const struct { int key; bool press; bool render; } script[] = {
      {'z', true, false}, {'q', true, false}, {13, true, true},  {'a', true, false},
      {'z', false, false}, {'a', false, true}, {'q', false, false}, {13, false, true}};
  for (const auto& s : script) {
    VoiceOp ops[kMaxOpsPerEvent];
    const int n = s.press ? key_press_ops(g, s.key, ops) : key_release_ops(g, s.key, ops);
    if (n > 0 && !player.push_keys(ops, n)) std::abort();
    if (s.render) player.render(block, sizeof block / 4);
  }
  player.take_finished();
  return 0;
}
