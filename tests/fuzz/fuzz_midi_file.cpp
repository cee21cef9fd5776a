// The MIDI file reader on arbitrary bytes, end to end: the events it gives are
// mapped as tev-render maps them and a few hundred frames of a three-voice graph
// are rendered with them.
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "engine/generator.h"
#include "engine/note_table.h"
#include "host/midi_file.h"
#include "host/midi_map.h"
#include "host/player.h"
#include "patch/patch_log.h"

namespace {
std::string g_patch;  // tests/fuzz/three_voices.tsy: a sine, a saw and a pulse
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  init_NOTE2FREQ();
  std::ifstream f(TEV_FUZZ_DIR "/three_voices.tsy");
  g_patch.assign(std::istreambuf_iterator<char>(f), {});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<MidiFileEvent> ev;
  std::vector<MidiFileRepair> repairs;
  std::string why;
  if (!read_midi_bytes(data, size, 44100, &ev, &repairs, &why)) {
    if (why.empty() || !ev.empty()) std::abort();
    return 0;
  }
  for (const MidiFileRepair& r : repairs)
    if (r.offset > size || r.what.empty() || r.times < 1) std::abort();
  // In playing order, whole channel messages only.
  for (size_t i = 0; i < ev.size(); i++)
    if (ev[i].len < 1 || ev[i].len > 3 || ev[i].msg[0] < 0x80 || ev[i].msg[0] >= 0xF0 || ev[i].frame < 0 ||
        (i > 0 && ev[i].frame < ev[i - 1].frame))
      std::abort();
  PatchLog log(PatchLog::kDrop);
  Player player(load_patch_text("three.tsy", g_patch, log));  // fresh: no state carried over
  // Time squeezed: a block of 64 frames whenever the file's time moves on, 8 at
  // most, so that notes overlap and release inside the render.
  static unsigned char block[64 * 4];
  MidiMapper mapper;
  int blocks = 0;
  for (size_t i = 0; i < ev.size(); i++) {
    if (i > 0 && ev[i].frame != ev[i - 1].frame && blocks++ < 8) player.render(block, 64);
    VoiceOp ops[kMaxOpsPerEvent];
    const int n = mapper.map(player.voices(), ev[i].msg, ev[i].len, ops);
    if (n > 0 && !player.push_midi(ops, n)) player.apply_queued(), player.push_midi(ops, n);
  }
  for (; blocks < 8; blocks++) player.render(block, 64);
  player.take_finished();
  return 0;
}
