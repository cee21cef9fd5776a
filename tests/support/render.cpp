#include "support/render.h"

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "engine/generator.h"
#include "engine/note_table.h"
#include "host/player.h"
#include "patch/patch_log.h"

namespace tevtest {

std::vector<short> render(const std::string& text, const std::vector<KeyEvent>& events, int frames) {
  init_NOTE2FREQ();
  // A keyboard draws its first note from rand() as it is built: the sequence of a
  // fresh process, as tev-render and tev-synth load their patch.
  std::srand(1);
  PatchLog log(PatchLog::kDrop);
  Player player(load_patch_text("test.tsy", text, log));
  std::vector<short> out(2 * static_cast<size_t>(frames));
  size_t next = 0;
  for (int done = 0; done < frames;) {
    for (; next < events.size() && events[next].frame <= done; next++) {
      VoiceOp ops[kMaxOpsPerEvent];
      const KeyEvent& e = events[next];
      player.push_keys(ops, e.down ? key_press_ops(player.graph(), e.key, ops)
                                   : key_release_ops(player.graph(), e.key, ops));
    }
    const int end = next < events.size() && events[next].frame < frames ? events[next].frame : frames;
    player.render(&out[2 * static_cast<size_t>(done)], end - done);
    done = end;
  }
  player.take_finished();
  return out;
}

std::string slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

uint64_t fnv1a(const void* p, size_t n, uint64_t h) {
  for (size_t i = 0; i < n; i++) h = (h ^ static_cast<const unsigned char*>(p)[i]) * 0x100000001b3ULL;
  return h;
}

std::vector<short> left(const std::vector<short>& lr, long from, long to) {
  std::vector<short> l;
  for (long f = from; f < to; f++) l.push_back(lr[2 * static_cast<size_t>(f)]);
  return l;
}

}  // namespace tevtest
