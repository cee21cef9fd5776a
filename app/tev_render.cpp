// tev-render: plays a patch offline, with a script of key events, into a WAV file.
//
// The sound is made by the same code the live synth runs: the GENERATOR built by
// the same constructor, played by a Player as the stream callback plays one, and
// key events turned into the same voice operations and handed over through the
// same queue, which the player drains before each frame. An event "before frame F" is queued once F
// frames have been rendered, so the render matches a live performance whose key
// presses land exactly on those frames.
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/convert_sample.h"
#include "app/patch_graph.h"
#include "engine/generator.h"
#include "engine/note_table.h"
#include "engine/sample_rate.h"
#include "host/midi_file.h"
#include "host/midi_map.h"
#include "host/player.h"
#include "host/voice_keys.h"
#include "patch/check.h"
#include "patch/patch_log.h"

namespace {

constexpr int kRate = kSampleRate;
constexpr int64_t kDefaultFrames = 5 * kRate;
// A WAV file's sizes are 32-bit byte counts and a frame is 4 bytes: stay well below.
constexpr int64_t kMaxFrames = 1000000000;
// Frames per callback call: 16 KiB of audio, small enough for the cache.
constexpr int kBlock = 4096;

const char kUsage[] =
    "Usage: tev-render [OPTION]... PATCH OUT.wav\n"
    "       tev-render --check [--strict] PATCH\n"
    "       tev-render --graph OUT.svg|OUT.dot|- PATCH\n"
    "       tev-render --convert-sample IN OUT.wav\n"
    "Render PATCH, played by a script of key events or a MIDI file, to OUT.wav (16-bit\n"
    "stereo, 44100 Hz); OUT.wav '-' is standard output. Samples named in PATCH are\n"
    "read from the working directory.\n"
    "\n"
    "  --frames N          render N frames (default: 5 seconds = 220500)\n"
    "  --seconds S         render round(S * 44100) frames\n"
    "  --seed N            the value that stands in for the millisecond clock whenever a\n"
    "                      sequencer reseeds the random generator (default 0)\n"
    "  --event F:down:KEY  before frame F (after F frames have been written) press KEY\n"
    "  --event F:up:KEY    ... release KEY\n"
    "  --event F:user:K    ... retrigger voice K on a random note\n"
    "                      KEY: z x c v b n a s d f g h q w e r t y, or return\n"
    "  --event F:on:V:N    ... play voice V on note-table index N (N = MIDI note - 11),\n"
    "                      as a MIDI note-on does\n"
    "  --event F:off:V     ... release voice V, as a MIDI note-off does\n"
    "                      Events at one frame apply in command-line order\n"
    "  --midi FILE.mid     play a Standard MIDI File (formats 0 and 1): channels 1-3 play\n"
    "                      voices 0-2 as live MIDI does; an event at t seconds applies\n"
    "                      before frame round(t * 44100), before any --event at that\n"
    "                      frame. Without --frames/--seconds the render lasts until\n"
    "                      the file's last event plus 2 seconds\n"
    "  --quiet             do not print the loader trace and graph report\n"
    "  --check             load PATCH and list what it holds that the synth will not do as\n"
    "                      written, as FILE:LINE:COLUMN: error|warning|note: message;\n"
    "                      exit 1 when there is an error, 0 otherwise\n"
    "  --strict            with --check: exit 1 on warnings too\n"
    "  --graph OUT         draw PATCH with Graphviz: modules, links and voices, as SVG,\n"
    "                      or as DOT text for OUT.dot or - (standard output)\n"
    "  --convert-sample    write IN (any sound file) as a sampler plays it as it stands:\n"
    "                      16-bit mono 44100 Hz WAV with a 44-byte header\n"
    "  -h, --help          display this help and exit\n"
    "      --version       output version information and exit\n"
    "\n"
    "A word beginning with # starts a comment, which runs to the next option: a take's\n"
    "notes are read along with its arguments (tev-render $(cat take.keys) ...).\n"
    "With OUT.wav '-' the loader trace and the other messages go to standard error.\n"
    "Full documentation: man tev-render; the patch format: man 5 tev-patch\n";

struct Event {
  int64_t frame;
  enum Kind { Down, Up, User, On, Off } kind;
  int key;    // key code for Down/Up
  int voice;  // User, On, Off
  int note;   // On
  std::string text;
};

struct Options {
  int64_t frames = kDefaultFrames;
  bool frames_given = false;  // --frames or --seconds
  std::string midi;           // --midi FILE, empty without
  uint32_t seed = 0;
  bool quiet = false;
  bool check = false;
  bool strict = false;  // --check: warnings fail too
  std::string graph;    // --graph OUT
  bool convert = false;  // --convert-sample IN OUT
  std::vector<Event> events;
  std::vector<std::string> positional;
};

[[noreturn]] void usage_error(const std::string& message) {
  std::fprintf(stderr, "tev-render: %s\n", message.c_str());
  std::fprintf(stderr, "Try 'tev-render --help' for usage.\n");
  std::exit(2);
}

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

Options parse_args(int argc, char** argv) {
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
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (arg == "--version") {
      no_value();
      std::puts("tev-render " TEV_VERSION);
      std::exit(0);
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

// ---------------------------------------------------------------- loading

// Builds the graph as the live synth does, every sequencer seeded with --seed.
// Quiet: the trace and report are dropped and only the problems are kept (in the log).
std::unique_ptr<GENERATOR> load_patch(const std::string& path, PatchLog& log, uint32_t seed) {
  LoadOptions options;
  options.seed = [seed] { return seed; };
  auto g = load_patch_file(path.c_str(), log, options);
  std::fflush(stdout);
  return g;
}

int run_check(const Options& o) {
  const std::string& path = o.positional[0];
  std::string text;
  if (!read_patch_text(path, &text)) {
    std::printf("%s:1:1: error: cannot open patch file: %s\n%s: 1 error, 0 warnings\n",
                path.c_str(), std::strerror(errno), path.c_str());
    return 1;
  }
  PatchLog log(PatchLog::kDrop);
  LoadOptions options;
  const uint32_t seed = o.seed;
  options.seed = [seed] { return seed; };
  auto g = load_patch_text(path.c_str(), text, log, options);
  const PatchCheck c = check_patch(text, *g, log);
  if (!o.graph.empty()) {
    std::string why;
    if (draw_patch(*g, log, c, o.graph, &why)) return 0;
    std::fprintf(stderr, "tev-render: %s\n", why.c_str());
    return 1;
  }
  std::fputs(format_check(path, c).c_str(), stdout);
  return c.errors > 0 || (o.strict && c.warnings > 0) ? 1 : 0;
}

// ---------------------------------------------------------------- output file

// The temporary file, removed if the render is interrupted. A fixed buffer: the
// signal handler may only read it.
char g_tmp_path[PATH_MAX + 32];
volatile sig_atomic_t g_tmp_live = 0;
// OUT.wav "-": the WAV goes to this descriptor (standard output as the caller gave
// it), while everything else printed goes to standard error.
int g_wav_out = -1;

void on_signal(int sig) {
  if (g_tmp_live) unlink(g_tmp_path);
  signal(sig, SIG_DFL);
  raise(sig);
}

void remove_tmp() {
  if (g_tmp_live) {
    g_tmp_live = 0;
    unlink(g_tmp_path);
  }
}

[[noreturn]] void write_failed(const std::string& out, const char* why) {
  remove_tmp();
  std::fprintf(stderr, "tev-render: cannot write [%s]: %s\n", out.c_str(), why);
  std::exit(1);
}

// Opens OUT's temporary sibling for writing; the caller renames it on success. For
// "-" an unnamed temporary file: libsndfile writes a WAV only where it can seek back
// to the header, so the whole file is copied out at the end (*keep_fd).
SNDFILE* open_output(const std::string& out, int* keep_fd) {
  const size_t slash = out.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : out.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? out : out.substr(slash + 1);
  const char* tmpdir = std::getenv("TMPDIR");
  const std::string tmpl = out != "-" ? dir + "." + base + ".XXXXXX"
                           : std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/tev-render.XXXXXX";
  if (tmpl.size() >= sizeof g_tmp_path) write_failed(out, "path too long");
  std::memcpy(g_tmp_path, tmpl.c_str(), tmpl.size() + 1);

  signal(SIGINT, on_signal);
  signal(SIGTERM, on_signal);
  signal(SIGHUP, on_signal);
  signal(SIGPIPE, on_signal);
  sigset_t block, old;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  sigaddset(&block, SIGTERM);
  sigaddset(&block, SIGHUP);
  sigprocmask(SIG_BLOCK, &block, &old);
  const int fd = mkstemp(g_tmp_path);
  if (fd >= 0) g_tmp_live = 1;
  sigprocmask(SIG_SETMASK, &old, nullptr);
  if (fd < 0) write_failed(out, std::strerror(errno));
  *keep_fd = out == "-" ? fd : -1;
  if (out == "-") remove_tmp();

  // mkstemp makes the file private; a WAV is made like any other file.
  const mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, 0666 & ~mask);

  SF_INFO info{};
  info.samplerate = kRate;
  info.channels = 2;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* sf = sf_open_fd(fd, SFM_WRITE, &info, *keep_fd < 0 ? SF_TRUE : SF_FALSE);
  if (!sf) {
    close(fd);
    write_failed(out, sf_strerror(nullptr));
  }
  return sf;
}

// The finished WAV in `fd`, from its start, to g_wav_out.
void copy_out(int fd, const std::string& out) {
  if (lseek(fd, 0, SEEK_SET) != 0) write_failed(out, std::strerror(errno));
  std::vector<char> buf(1 << 16);
  for (;;) {
    const ssize_t n = read(fd, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) write_failed(out, std::strerror(errno));
    if (n == 0) break;
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = write(g_wav_out, buf.data() + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) write_failed(out, std::strerror(errno));
      done += w;
    }
  }
  close(fd);
}

// ---------------------------------------------------------------- progress

class Progress {
 public:
  Progress(int64_t total) : total_(total), shown_(false), start_(Clock::now()), last_(start_) {
    enabled_ = isatty(2) && total > 0;
  }
  void update(int64_t done) {
    if (!enabled_) return;
    const auto now = Clock::now();
    // Only renders that take more than a second get a bar; redrawn ten times a second.
    if (!shown_ && now - start_ < std::chrono::seconds(1)) return;
    if (shown_ && now - last_ < std::chrono::milliseconds(100) && done < total_) return;
    shown_ = true;
    last_ = now;
    draw(done);
  }
  void finish() {
    if (!shown_) return;
    draw(total_);
    std::fputc('\n', stderr);
  }

 private:
  using Clock = std::chrono::steady_clock;
  void draw(int64_t done) {
    constexpr int kWidth = 40;
    const int filled = static_cast<int>(done * kWidth / total_);
    char bar[kWidth + 1];
    for (int i = 0; i < kWidth; i++) bar[i] = i < filled ? '#' : '.';
    bar[kWidth] = '\0';
    std::fprintf(stderr, "\r[%s] %3d%%  %.1f of %.1f s", bar,
                 static_cast<int>(done * 100 / total_), static_cast<double>(done) / kRate,
                 static_cast<double>(total_) / kRate);
    std::fflush(stderr);
  }
  int64_t total_;
  bool enabled_;
  bool shown_;
  Clock::time_point start_, last_;
};

// ---------------------------------------------------------------- render

void queue_ops(Player& player, const VoiceOp* ops, int n) {
  // The player drains the queue before the next frame; with nothing rendering in
  // between, draining here first gives the same order when a frame has more events
  // than the queue holds.
  if (!player.push_keys(ops, n)) {
    player.apply_queued();
    player.push_keys(ops, n);
  }
}

void queue_event(Player& player, const Event& e) {
  VoiceOp ops[kMaxOpsPerEvent];
  int n = 0;
  const GENERATOR& g = player.graph();
  switch (e.kind) {
    case Event::Down: n = key_press_ops(g, e.key, ops); break;
    case Event::Up: n = key_release_ops(g, e.key, ops); break;
    case Event::User: n = user_retrigger_ops(g, e.voice, ops); break;
    case Event::On: n = voice_press_ops(voices_present(g), e.voice, e.note, ops); break;
    case Event::Off: n = voice_release_ops(voices_present(g), e.voice, ops); break;
  }
  if (n == 0) {
    std::fprintf(stderr,
                 "tev-render: warning: event '%s': the patch has no keyboard or no amplifier "
                 "for that voice; ignored\n",
                 e.text.c_str());
    return;
  }
  queue_ops(player, ops, n);
}

int run_render(Options& o) {
  const std::string& patch = o.positional[0];
  const std::string& out = o.positional[1];

  struct stat ps, os;
  if (stat(patch.c_str(), &ps) == 0 && S_ISDIR(ps.st_mode)) {
    // fopen accepts a directory and the loader would read it as an empty patch.
    std::printf("Error: cannot open patch file [%s]: %s\n", patch.c_str(), std::strerror(EISDIR));
    std::fprintf(stderr, "tev-render: [%s] is a directory; nothing written\n", patch.c_str());
    return 1;
  }
  if (out != "-" && stat(out.c_str(), &os) == 0) {
    if (S_ISDIR(os.st_mode)) usage_error("OUT.wav '" + out + "' is a directory");
    if (stat(patch.c_str(), &ps) == 0 && ps.st_dev == os.st_dev && ps.st_ino == os.st_ino)
      usage_error("OUT.wav '" + out + "' is the patch file itself");
  }

  // The song is read before anything is loaded or written: a bad file leaves nothing.
  std::vector<MidiFileEvent> midi;
  if (!o.midi.empty()) {
    std::string why;
    if (!read_midi_file(o.midi, kRate, &midi, &why)) {
      std::fprintf(stderr, "tev-render: cannot read MIDI file [%s]: %s\n", o.midi.c_str(),
                   why.c_str());
      return 1;
    }
    // Two seconds of release tail after the last event, unless a length was given.
    const int64_t last = midi.empty() ? 0 : midi.back().frame;
    if (!o.frames_given && last > kMaxFrames - 2 * kRate) {
      std::fprintf(stderr, "tev-render: cannot read MIDI file [%s]: it lasts longer than the "
                           "longest render (%" PRId64 " frames)\n", o.midi.c_str(), kMaxFrames);
      return 1;
    }
    if (!o.frames_given) o.frames = last + 2 * kRate;
  }

  PatchLog log(o.quiet ? PatchLog::kDrop : PatchLog::kPrint);
  std::unique_ptr<GENERATOR> g = load_patch(patch, log, o.seed);
  if (o.quiet)
    for (const PatchProblem& p : log.problems()) std::fprintf(stderr, "%s\n", p.text.c_str());
  if (!log.opened() || log.stopped()) {
    std::fprintf(stderr, "tev-render: the patch [%s] did not load; nothing written\n",
                 patch.c_str());
    return 1;
  }
  Player player(std::move(g));

  for (const Event& e : o.events)
    if (e.frame >= o.frames)
      std::fprintf(stderr, "tev-render: warning: event '%s' is past the last frame (%" PRId64
                           "); it changes nothing heard\n",
                   e.text.c_str(), o.frames);
  // Several events at one frame keep their command-line order.
  std::stable_sort(o.events.begin(), o.events.end(),
                   [](const Event& a, const Event& b) { return a.frame < b.frame; });

  int keep_fd = -1;
  SNDFILE* sf = open_output(out, &keep_fd);

  std::vector<short> buf(static_cast<size_t>(kBlock) * 2);
  Progress progress(o.frames);
  size_t next = 0, next_midi = 0;
  MidiMapper mapper;
  int64_t done = 0;
  while (true) {
    // At one frame the file's events come first, then the command line's.
    for (; next_midi < midi.size() && midi[next_midi].frame <= done; next_midi++) {
      VoiceOp ops[kMaxOpsPerEvent];
      const MidiFileEvent& m = midi[next_midi];
      const int n = mapper.map(player.graph(), m.msg, m.len, ops);
      if (n > 0) queue_ops(player, ops, n);
    }
    while (next < o.events.size() && o.events[next].frame <= done)
      queue_event(player, o.events[next++]);
    if (done >= o.frames) break;
    int64_t end = std::min<int64_t>(done + kBlock, o.frames);
    if (next < o.events.size()) end = std::min(end, o.events[next].frame);
    if (next_midi < midi.size()) end = std::min(end, midi[next_midi].frame);
    const int n = static_cast<int>(end - done);
    player.render(buf.data(), n);
    // The samplers' end lines, as the live synth's main loop prints them; --quiet
    // silences them too.
    const unsigned finished = player.take_finished();
    if (!o.quiet) print_finished_playbacks(finished);
    if (sf_writef_short(sf, buf.data(), n) != n) {
      const std::string why = sf_strerror(sf);
      sf_close(sf);
      write_failed(out, why.c_str());
    }
    done = end;
    progress.update(done);
  }
  progress.finish();

  sf_write_sync(sf);
  const int err = sf_close(sf);
  if (err != 0) write_failed(out, sf_error_number(err));
  if (keep_fd >= 0)
    copy_out(keep_fd, out);
  else if (std::rename(g_tmp_path, out.c_str()) != 0)
    write_failed(out, std::strerror(errno));
  g_tmp_live = 0;
  if (!o.quiet)
    std::printf("Wrote %s: %" PRId64 " frames, %.3f s\n", out.c_str(), o.frames,
                static_cast<double>(o.frames) / kRate);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o = parse_args(argc, argv);
  if (!o.check && o.graph.empty() && !o.convert && o.positional[1] == "-") {
    g_wav_out = dup(1);
    if (g_wav_out >= 0 && isatty(g_wav_out))
      usage_error("OUT.wav '-' is a terminal: redirect standard output or name a file");
    if (g_wav_out < 0 || dup2(2, 1) < 0) write_failed("-", std::strerror(errno));
    // Line by line, so that the trace and the warnings keep their order on the one file.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
  }
  init_NOTE2FREQ();
  if (o.convert) {
    std::string why;
    if (convert_sample(o.positional[0], o.positional[1], &why)) return 0;
    std::fprintf(stderr, "tev-render: %s\n", why.c_str());
    return 1;
  }
  const int status = o.check || !o.graph.empty() ? run_check(o) : run_render(o);
  std::fflush(stdout);
  return status;
}
