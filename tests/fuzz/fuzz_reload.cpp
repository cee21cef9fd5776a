// A reload sequence on arbitrary patch texts: A, then B and A' (the input split at
// zero bytes), each loaded through the log sink and, when it loads clean, handed
// over to the playing graph while keys are held, as the live synth reloads a saved
// patch. The replaced graph must come back once, after its fade.
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "audio/graph_swap.h"
#include "audio/stream_callback.h"
#include "audio/voice_keys.h"
#include "engine/generator.h"
#include "engine/note_table.h"
#include "patch/patch_log.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  init_NOTE2FREQ();
  // Sample paths resolve in a directory that no longer exists (see fuzz_load_tsy).
  char dir[] = "/tmp/tev-fuzz-XXXXXX";
  if (!mkdtemp(dir) || chdir(dir) != 0 || rmdir(dir) != 0) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> texts(1);
  for (size_t i = 0; i < size && texts.size() <= 3; i++)
    data[i] ? void(texts.back() += static_cast<char>(data[i])) : void(texts.emplace_back());
  if (texts.size() > 3) texts.pop_back();
  PatchLog first(PatchLog::kDrop);
  std::unique_ptr<GENERATOR> playing = load_patch_text("a.tsy", texts[0], first);
  gen = playing.get();
  static unsigned char block[128 * 4];  // the fade takes four of these
  const int held[] = {'z', 'a', 'q', 13};
  for (int key : held) {
    VoiceOp ops[kMaxOpsPerEvent];
    const int n = key_press_ops(*gen, key, ops);
    if (n > 0 && !g_voice_ops.push(ops, n)) std::abort();
  }
  instrument_callback(nullptr, block, sizeof block, nullptr);
  for (size_t t = 1; t < texts.size(); t++) {
    PatchLog log(PatchLog::kDrop);
    std::unique_ptr<GENERATOR> next = load_patch_text("b.tsy", texts[t], log);
    if (!log.problems().empty() || !log.opened()) continue;  // refused: the old one plays on
    std::vector<VoiceOp> again;
    for (int key : held) {
      VoiceOp ops[kMaxOpsPerEvent];
      const int n = key_press_ops(*next, key, ops);
      again.insert(again.end(), ops, ops + n);
    }
    GENERATOR* old = gen;
    if (!g_graph_swap.offer(next.get(), again.data(), static_cast<int>(again.size()))) std::abort();
    GENERATOR* back = nullptr;
    for (int i = 0; i < 8 && !back; i++) {
      instrument_callback(nullptr, block, sizeof block, nullptr);
      back = g_graph_swap.retired();
    }
    if (back != old || gen != next.get() || g_graph_swap.busy()) std::abort();
    playing.reset(next.release());
    // A key released and pressed again on the new graph.
    VoiceOp ops[2 * kMaxOpsPerEvent];
    int n = key_release_ops(*gen, 'a', ops);
    n += key_press_ops(*gen, 'a', ops + n);
    if (n > 0 && !g_voice_ops.push(ops, n)) std::abort();
  }
  take_finished_playbacks();
  g_voice_ops.drain(*gen);
  gen = nullptr;
  return 0;
}
