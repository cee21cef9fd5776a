// The patch loader and the patch check on arbitrary patch text, then a few hundred
// frames of the graph with keys played: whatever the loader accepts must be safe to
// report, check, play and free. Text after a zero byte is a reload: each further
// text (two at most) is loaded and, when it loads clean, handed over to the playing
// graph with keys held, as the live synth reloads a saved patch; the replaced graph
// comes back once. The first text is also played twice more, one sample at a time
// and in runs of up to 32 (GENERATOR::evolue_frames), with the same keys at the same
// frames: the two must give the same bits.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <string>
#include <vector>

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

namespace {
// 2400 samples of `text` (a sequencer step or two), z and q pressed at 0, x (voice 0
// on another note) at 1000, z and x released at 1700; `run` samples a call of
// evolue_frames (1: evolue alone). Loaded and played from the same random state each
// time (keyboards, sequencers and noise draw from it).
std::vector<float> play(const std::string& text, int run) {
  std::srand(7);
  PatchLog log(PatchLog::kDrop);
  auto g = load_patch_text("fuzz.tsy", text, log);
  std::srand(9);
  auto keys = [&g](int key, bool press) {
    VoiceOp ops[kMaxOpsPerEvent];
    const int n = press ? key_press_ops(*g, key, ops) : key_release_ops(*g, key, ops);
    for (int i = 0; i < n; i++) apply_voice_op(*g, ops[i]);
  };
  const struct { int frame, key; bool press; } script[] = {
      {0, 'z', true}, {0, 'q', true}, {1000, 'x', true}, {1700, 'z', false}, {1700, 'x', false}};
  std::vector<float> out(2400);
  size_t next = 0;
  for (int i = 0; i < 2400;) {
    for (; next < sizeof script / sizeof script[0] && script[next].frame == i; next++)
      keys(script[next].key, script[next].press);
    const int until = next < sizeof script / sizeof script[0] ? script[next].frame : 2400;
    const int n = std::min(run, until - i);
    if (run == 1)
      g->evolue(), out[i] = g->get_OUTL();
    else
      g->evolue_frames(out.data() + i, n);
    i += n;
  }
  return out;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> texts(1);
  for (size_t i = 0; i < size && texts.size() < 4; i++)
    data[i] ? void(texts.back() += static_cast<char>(data[i])) : void(texts.emplace_back());
  const std::vector<float> one = play(texts[0], 1), runs = play(texts[0], 32);
  if (std::memcmp(one.data(), runs.data(), one.size() * sizeof one[0]) != 0) std::abort();
  PatchLog log(PatchLog::kDrop);
  auto loaded = load_patch_text("fuzz.tsy", texts[0], log);
  check_patch(texts[0], *loaded, log);
  Player player(std::move(loaded));
  static unsigned char block[512 * 4];  // 512 frames: past every module's first steps
  // Voices 0 and 2 and Return held over a block, voice 1 pressed and released inside it.
  const struct { int key; bool press; bool render; } script[] = {
      {'z', true, false}, {'q', true, false}, {13, true, true},  {'a', true, false},
      {'z', false, false}, {'a', false, true}, {'q', false, false}, {13, false, true}};
  for (size_t t = 0; t < texts.size() && t < 3; t++) {
    PatchLog again(PatchLog::kDrop);
    std::unique_ptr<GENERATOR> next = t ? load_patch_text("fuzz.tsy", texts[t], again) : nullptr;
    if (next && (again.problems().empty() && again.opened())) {
      // z and q held across the handover, pressed again on the new graph.
      VoiceOp held[2 * kMaxOpsPerEvent];
      int n = key_press_ops(*next, 'z', held);
      n += key_press_ops(*next, 'q', held + n);
      if (!player.offer(next, held, n)) std::abort();
      std::unique_ptr<GENERATOR> back;
      for (int i = 0; i < 8 && !back; i++) player.render(block, 128), back = player.retired();
      if (!back || player.busy()) std::abort();
    }
    for (const auto& s : script) {
      VoiceOp ops[kMaxOpsPerEvent];
      const GENERATOR& g = player.graph();
      const int n = s.press ? key_press_ops(g, s.key, ops) : key_release_ops(g, s.key, ops);
      if (n > 0 && !player.push_keys(ops, n)) std::abort();
      if (s.render) player.render(block, sizeof block / 4);
    }
  }
  player.take_finished();
  return 0;
}
