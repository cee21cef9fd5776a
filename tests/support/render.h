// A patch played in-process by a Player, as tev-render plays it: key events apply
// before their frame, the output is 16-bit stereo.
#pragma once

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

}  // namespace tevtest
