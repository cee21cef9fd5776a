// tev-render's command line on arbitrary words (the input split at zero bytes):
// parsing never exits or crashes, and what it accepts is within its limits.
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/render_options.h"
#include "engine/note_table.h"
#include "host/voice_keys.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> words{"tev-render"};
  if (size > 0) words.emplace_back();
  for (size_t i = 0; i < size; i++)
    data[i] ? void(words.back() += static_cast<char>(data[i])) : void(words.emplace_back());
  std::vector<const char*> argv;
  for (const std::string& w : words) argv.push_back(w.c_str());
  argv.push_back(nullptr);
  Options o;
  std::string error;
  if (!parse_render_args(static_cast<int>(words.size()), argv.data(), &o, &error)) {
    if (error.empty()) std::abort();
    return 0;
  }
  if (o.help || o.version) return 0;
  if (o.frames < 0 || o.frames > kMaxFrames || o.positional.empty() ||
      o.positional.size() != (o.check || !o.graph.empty() ? 1u : 2u))
    std::abort();
  for (const Event& e : o.events) {
    if (e.frame < 0 || e.frame > kMaxFrames || e.text.empty()) std::abort();
    const bool key = e.kind == Event::Down || e.kind == Event::Up;
    if (key && e.key != TEV_KEY_RETURN && !find_note_key(e.key)) std::abort();
    if (!key && e.voice < 0) std::abort();
    if (e.kind == Event::On && !note_in_table(e.note)) std::abort();
  }
  return 0;
}
