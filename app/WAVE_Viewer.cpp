// tev-synth: the live synthesizer. Asks for the sound output on the console,
// opens the window, loads the patch, starts the stream, opens the MIDI input and
// then plays the window's keys and MIDI until Escape.
#include <SDL.h>
#include <SDL_syswm.h>
#include <poll.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "app/live_patch.h"
#include "audio/wincompat.h"
#include "audio/fsound.h"
#include "audio/midi_input.h"
#include "audio/output_select.h"
#include "engine/generator.h"
#include "engine/note_table.h"
#include "engine/sample_rate.h"
#include "host/player.h"
#include "host/voice_keys.h"
#include "patch/check.h"
#include "patch/patch_log.h"

int Frequency = kSampleRate;  // frames per second of the output stream
int BufferSize = 32768;   // bytes: the largest block the stream callback is asked for
SDL_Surface* pSurface = nullptr;
SDL_Event event;

namespace {

// 16-bit stereo, signed, normal loop, software mixed: the one frame format the
// stream callback writes.
constexpr unsigned int kStreamMode = 0x1000150;

// Set by the signal handlers, read by the main loop (main thread only).
// Longest sleep of the idle main loop, in milliseconds.
constexpr int kIdleWaitMs = 10;

volatile std::sig_atomic_t g_quit_signal = 0;

void on_quit_signal(int sig) { g_quit_signal = sig; }

// SDL turns SIGINT and SIGTERM into a quit event, which the key handler drops
// (closing the window must do nothing). Our own handlers replace SDL's, so that
// Ctrl-C, kill and a closed terminal end the program through exit, which puts the
// console settings back.
void install_quit_signals() {
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_quit_signal;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction old;
    // A signal the parent chose to ignore (nohup, a background job) stays ignored.
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    sigaction(sig, &sa, nullptr);
  }
}

// Status 128 + signal number, as a shell reports a process ended by that signal.
void end_if_signalled() {
  const int sig = g_quit_signal;
  if (sig) std::exit(128 + sig);
}

// Without a window the keys can't be played and Escape can't be pressed, so a
// synth running on would be unreachable: stop before the stream starts.
[[noreturn]] void no_window(const char* why) {
  std::printf("Error: no window can be opened (%s). tev-synth needs a display (DISPLAY) to play.\n",
              why);
  std::fflush(stdout);
  std::exit(1);
}

// sdl12-compat falls back to drivers that draw nowhere when no display is reachable.
bool invisible_video_driver() {
  char name[64] = "";
  if (!SDL_VideoDriverName(name, sizeof name)) return true;
  return std::strcmp(name, "offscreen") == 0 || std::strcmp(name, "dummy") == 0;
}

void set_caption(const char* title) { SDL_WM_SetCaption(title, nullptr); }
uint32_t sdl_ticks() { return SDL_GetTicks(); }

// The window system's connection, when the driver has one: the main loop sleeps on
// it so that a key wakes it at once. -1 when there is none to wait on.
int window_events_fd() {
#if defined(SDL_VIDEO_DRIVER_X11)
  SDL_SysWMinfo info;
  SDL_VERSION(&info.version);
  if (SDL_GetWMInfo(&info) > 0 && info.subsystem == SDL_SYSWM_X11 && info.info.x11.display)
    return ConnectionNumber(info.info.x11.display);
#endif
  return -1;
}

// Sleeps until the window system has something for us, a signal arrives or the
// time-out passes. The time-out bounds the wait for events that come by no socket
// (an event another thread pushed, one the window layer had already read off it).
void wait_for_events(int fd) {
  if (fd < 0) {
    SDL_Delay(1);
    return;
  }
  pollfd p{fd, POLLIN, 0};
  poll(&p, 1, kIdleWaitMs);
}

// The underruns the output device reported over the whole run, on standard error
// at exit: when there were any, or always with TEV_SOUND_STATS set (soak tests).
void print_sound_stats() {
  const long underruns = g_player->underruns();
  if (underruns != 0 || std::getenv("TEV_SOUND_STATS"))
    std::fprintf(stderr, "Underruns: %ld\n", underruns);
}

// The samplers' end lines: counted on the audio thread, printed here.
void print_fin_lines() { print_finished_playbacks(g_player->take_finished()); }

// The key events' voice operations and the patch file's reloads, once the stream
// plays.
LivePatch* g_live = nullptr;

}  // namespace

// Handles every queued window event and returns; Escape ends the process.
int SDL_PollEVENT() {
  while (SDL_PollEvent(&event)) {
    switch (event.type) {
      case SDL_KEYDOWN:
        if (event.key.keysym.sym == SDLK_ESCAPE) std::exit(0);
        g_live->key_down(event.key.keysym.sym);
        break;
      case SDL_KEYUP:
        if (event.key.keysym.sym == SDLK_ESCAPE) std::exit(0);
        g_live->key_up(event.key.keysym.sym);
        break;
      case SDL_USEREVENT:
        g_live->user_retrigger(event.user.code);
        break;
      default:  // the window's close request included
        break;
    }
  }
  return 0;
}

int main(int argc, char** argv) {
  // Until the window takes over the signals, a signal at a console prompt puts the
  // console back and ends the process by that signal.
  init_NOTE2FREQ();
  wincompat_install_signal_restore();
  init_sound();

  if (SDL_Init(SDL_INIT_VIDEO) < 0) no_window(SDL_GetError());
  install_quit_signals();
  if (invisible_video_driver()) no_window("no display reachable");
  pSurface = SDL_SetVideoMode(320, 240, 0, SDL_ANYFORMAT);
  if (!pSurface) no_window(SDL_GetError());
  SDL_WM_SetCaption("Tev Modular synth", nullptr);

  // A missing picture leaves the window blank; the synth plays all the same.
  SDL_Surface* background = SDL_LoadBMP_RW(SDL_RWFromFile("fond.bmp", "rb"), 1);
  SDL_UpperBlit(background, nullptr, pSurface, nullptr);
  SDL_Flip(pSurface);

  const LoadOptions options{set_caption, sdl_ticks};
  const char* path = argc > 1 ? argv[1] : nullptr;
  std::printf("Load [%s]\n", path ? path : "SYNTH_2.TSY");
  PatchLog log(PatchLog::kPrint);
  log.exit_on_empty_field = true;
  gen = load_patch_file(path, log, options).release();
  // The loader has said why; an empty graph would only play silence.
  if (!gen->load_opened) {
    std::fflush(stdout);
    std::exit(1);
  }
  end_if_signalled();
  // What plays, for as long as the process runs: the stream's thread may still
  // call into it while the process exits.
  g_player = new Player(std::unique_ptr<GENERATOR>(gen));

  // The shell's output must follow what this process printed, not overtake it.
  std::fflush(stdout);
  std::system("clear");
  std::printf("[aqzs edrftg yhujik olpm our] modifier les trucs \n");
  std::printf("[+-] change type OSC1 [7894] le type des LFO1234\n");
  std::printf("[wxcvbn,;] pour les notes (foireuxmaismarche)\n");
  // What the load found, once the clear has wiped the trace that named it.
  std::string text;
  const std::string shown = path ? path : "SYNTH_2.TSY";
  if (read_patch_text(shown, &text)) {
    const PatchCheck check = check_patch(text, *gen, log);
    if (check.errors + check.warnings > 0)
      std::printf("%s: %s (tev-render --check %s lists them)\n", shown.c_str(),
                  error_warning_counts(check).c_str(), shown.c_str());
  }

  FSOUND_STREAM* stream =
      FSOUND_Stream_Create(instrument_callback, BufferSize, kStreamMode, Frequency, nullptr);
  if (!stream) {
    std::printf("Error!\n");
    std::printf("%s\n", FMOD_ErrorString(FSOUND_GetError()));
    std::exit(1);
  }
  if (FSOUND_Stream_Play(0, stream) == -1) {
    std::printf("Error!\n");
    std::printf("%s\n", FMOD_ErrorString(FSOUND_GetError()));
    std::exit(1);
  }
  std::atexit(print_sound_stats);
  // Whatever ended between the last loop turn and the exit is still printed.
  std::atexit(print_fin_lines);
  const int latency = tev_sound_latency_frames();
  if (latency > 0)
    std::printf("Output latency: %d frames (%.1f ms)\n", latency, latency * 1000.0 / Frequency);
  std::fflush(stdout);
  // From here on only the stream callback touches the graph; a saved patch file is
  // reloaded and handed over to it.
  g_live = new LivePatch(*g_player, path ? path : "SYNTH_2.TSY", options);
  // MIDI plays beside the keys; without a MIDI system the line says so and the keys
  // play as before.
  start_midi_input(*g_player);

  // No busy polling: on a two-core machine it would compete with the audio thread.
  // The idle wait also paces the reload's settle time.
  const int events_fd = window_events_fd();
  for (;;) {
    SDL_PollEVENT();
    g_live->poll();
    print_fin_lines();
    end_if_signalled();
    // Notices a lost output and reopens it; the idle wait below bounds how late.
    tev_sound_supervise();
    wait_for_events(events_fd);
  }
}
