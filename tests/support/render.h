// A patch played in-process by a Player, as tev-render plays it: key events apply
// before their frame, the output is 16-bit stereo.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tevtest {

struct KeyEvent {
  int frame;  // applied before this frame
  int key;    // a letter, or 13 for Return
  bool down;
};

// Interleaved left/right samples of `frames` frames of the patch `text`; `events`
// in frame order.
std::vector<short> render(const std::string& text, const std::vector<KeyEvent>& events, int frames);
// A file's whole text ("" when it can't be read).
std::string slurp(const std::string& path);
// 64-bit FNV-1a of `n` bytes, continued from `h`.
uint64_t fnv1a(const void* p, size_t n, uint64_t h = 0xcbf29ce484222325ULL);
// The left channel of frames [from, to) of interleaved stereo.
std::vector<short> left(const std::vector<short>& lr, long from, long to);

}  // namespace tevtest
