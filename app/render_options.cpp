#include "app/render_options.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>

#include "engine/note_table.h"
#include "host/voice_keys.h"

namespace {

struct UsageError {
  std::string message;
};

[[noreturn]] void usage_error(const std::string& message) { throw UsageError{message}; }

// Decimal digits only: no sign, no blanks, no hex; fails past `max`.
bool parse_count(const std::string& s, uint64_t max, uint64_t* out) {
  if (s.empty() || s.size() > 20) return false;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    const uint64_t d = static_cast<uint64_t>(c - '0');
    if (v > (max - d) / 10) return false;
    v = v * 10 + d;
  }
  *out = v;
  return true;
}

int key_by_name(const std::string& name) {
  if (name == "return") return TEV_KEY_RETURN;
  if (name.size() == 1) {
    const KeyBinding* k = find_note_key(static_cast<unsigned char>(name[0]));
    if (k) return k->key;
  }
  return -1;
}

Event parse_event(const std::string& text) {
  const size_t a = text.find(':');
  const size_t b = a == std::string::npos ? a : text.find(':', a + 1);
  if (b == std::string::npos)
    usage_error("bad event '" + text + "': expected F:down:KEY, F:up:KEY, F:user:K, F:on:V:N or F:off:V");
  Event e{};
  e.text = text;
  uint64_t f;
  if (!parse_count(text.substr(0, a), static_cast<uint64_t>(kMaxFrames), &f))
    usage_error("bad event '" + text + "': the frame must be a whole number from 0 to " +
                std::to_string(kMaxFrames));
  e.frame = static_cast<int64_t>(f);
  const std::string kind = text.substr(a + 1, b - a - 1);
  const std::string arg = text.substr(b + 1);
  if (kind == "down" || kind == "up") {
    e.kind = kind == "down" ? Event::Down : Event::Up;
    e.key = key_by_name(arg);
    if (e.key < 0)
      usage_error("unknown key '" + arg + "' in event '" + text +
                  "': use one of z x c v b n a s d f g h q w e r t y, or return");
  } else if (kind == "user" || kind == "off" || kind == "on") {
    e.kind = kind == "user" ? Event::User : kind == "off" ? Event::Off : Event::On;
    const size_t c = kind == "on" ? arg.find(':') : std::string::npos;
    uint64_t v, n = 0;
    if (!parse_count(arg.substr(0, c), INT_MAX, &v))
      usage_error("bad voice '" + arg.substr(0, c) + "' in event '" + text + "': a whole number is needed");
    // MIDI notes 0 to 10 fall below the table: as the live synth, they are not played.
    if (kind == "on" && (c == std::string::npos || !parse_count(arg.substr(c + 1), INT_MAX, &n) ||
                         !note_in_table(static_cast<long long>(n))))
      usage_error("bad note in event '" + text + "': a note-table index from 0 to 1999 is needed");
    e.voice = static_cast<int>(v);
    e.note = static_cast<int>(n);
  } else {
    usage_error("bad event kind '" + kind + "' in event '" + text +
                "': expected down, up, user, on or off");
  }
  return e;
}

Options parse_args(int argc, const char* const* argv) {
  Options o;
  bool options_done = false;
  bool in_comment = false;
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    if (!options_done && (arg[0] == '#' || (in_comment && arg.compare(0, 2, "--") != 0))) {
      in_comment = true;
      continue;
    }
    in_comment = false;
    if (options_done || arg.size() < 2 || arg[0] != '-') {
      o.positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_done = true;
      continue;
    }
    std::string value;
    bool has_value = false;
    const size_t eq = arg.find('=');
    if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
      has_value = true;
    }
    auto take = [&](void) -> std::string {
      if (has_value) return value;
      if (i + 1 >= argc) usage_error("option " + arg + " needs a value");
      return argv[++i];
    };
    auto no_value = [&]() {
      if (has_value) usage_error("option " + arg + " takes no value");
    };
    if (arg == "--help" || arg == "-h") {
      no_value();
      o.help = true;
      return o;
    } else if (arg == "--version") {
      no_value();
      o.version = true;
      return o;
    } else if (arg == "--quiet") {
      no_value();
      o.quiet = true;
    } else if (arg == "--check") {
      no_value();
      o.check = true;
    } else if (arg == "--graph") {
      o.graph = take();
      if (o.graph.empty()) usage_error("option --graph needs a file name");
    } else if (arg == "--convert-sample") {
      no_value();
      o.convert = true;
    } else if (arg == "--strict") {
      no_value();
      o.strict = true;
    } else if (arg == "--frames") {
      const std::string v = take();
      uint64_t n;
      if (!parse_count(v, static_cast<uint64_t>(kMaxFrames), &n))
        usage_error("bad --frames value '" + v + "': a whole number from 0 to " +
                    std::to_string(kMaxFrames) + " is needed");
      o.frames = static_cast<int64_t>(n);
      o.frames_given = true;
    } else if (arg == "--seconds") {
      const std::string v = take();
      char* end = nullptr;
      errno = 0;
      const double s = v.empty() ? NAN : std::strtod(v.c_str(), &end);
      // strtod also reads "inf", "nan" and hex; only finite, non-negative values count.
      if (v.empty() || *end != '\0' || errno != 0 || !std::isfinite(s) || s < 0 ||
          std::round(s * kRate) > static_cast<double>(kMaxFrames))
        usage_error("bad --seconds value '" + v + "': a number of seconds from 0 to " +
                    std::to_string(kMaxFrames / kRate) + " is needed");
      o.frames = static_cast<int64_t>(std::round(s * kRate));
      o.frames_given = true;
    } else if (arg == "--seed") {
      const std::string v = take();
      uint64_t n;
      if (!parse_count(v, UINT32_MAX, &n))
        usage_error("bad --seed value '" + v + "': a whole number from 0 to 4294967295 is needed");
      o.seed = static_cast<uint32_t>(n);
    } else if (arg == "--event") {
      o.events.push_back(parse_event(take()));
    } else if (arg == "--midi") {
      o.midi = take();
      if (o.midi.empty()) usage_error("option --midi needs a file name");
    } else {
      usage_error("unknown option '" + arg + "'");
    }
  }
  if (o.check + !o.graph.empty() + o.convert > 1)
    usage_error("--check, --graph and --convert-sample go one at a time");
  if (o.convert) {
    if (o.positional.size() != 2) usage_error("--convert-sample takes IN and OUT.wav");
  } else if (o.check || !o.graph.empty()) {
    if (o.positional.empty()) usage_error("missing PATCH");
    if (o.positional.size() > 1)
      usage_error("unexpected argument '" + o.positional[1] + "': " +
                  (o.check ? "--check" : "--graph OUT") + " takes only PATCH");
  } else {
    if (o.positional.empty()) usage_error("missing PATCH and OUT.wav");
    if (o.positional.size() < 2) usage_error("missing OUT.wav");
    if (o.positional.size() > 2) usage_error("unexpected argument '" + o.positional[2] + "'");
  }
  return o;
}

}  // namespace

bool parse_render_args(int argc, const char* const* argv, Options* o, std::string* error) {
  try {
    *o = parse_args(argc, argv);
    return true;
  } catch (const UsageError& e) {
    *error = e.message;
    return false;
  }
}
