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
#include "app/render_options.h"
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

// Frames per callback call: 16 KiB of audio, small enough for the cache.
constexpr int kBlock = 4096;

[[noreturn]] void usage_error(const std::string& message) {
  std::fprintf(stderr, "tev-render: %s\n", message.c_str());
  std::fprintf(stderr, "Try 'tev-render --help' for usage.\n");
  std::exit(2);
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
    std::vector<MidiFileRepair> repairs;
    if (!read_midi_file(o.midi, kRate, &midi, &repairs, &why)) {
      std::fprintf(stderr, "tev-render: cannot read MIDI file [%s]: %s\n", o.midi.c_str(),
                   why.c_str());
      return 1;
    }
    for (const MidiFileRepair& r : repairs)
      std::fprintf(stderr, "tev-render: warning: MIDI file [%s] at byte %zu: %s%s\n",
                   o.midi.c_str(), r.offset, r.what.c_str(),
                   r.times > 1 ? (" (" + std::to_string(r.times) + " times)").c_str() : "");
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
  Options o;
  std::string error;
  if (!parse_render_args(argc, argv, &o, &error)) usage_error(error);
  if (o.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (o.version) {
    std::puts("tev-render " TEV_VERSION);
    return 0;
  }
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
