// tev-render's command line: options, key events and their checks. Parsing never
// exits or prints; the program reports what it returns.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/sample_rate.h"

inline constexpr int kRate = kSampleRate;
inline constexpr int64_t kDefaultFrames = 5 * kRate;
// A WAV file's sizes are 32-bit byte counts and a frame is 4 bytes: stay well below.
inline constexpr int64_t kMaxFrames = 1000000000;

inline constexpr const char kUsage[] =
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
  bool help = false;     // --help: print kUsage, nothing else
  bool version = false;  // --version: print the version, nothing else
  bool strict = false;  // --check: warnings fail too
  std::string graph;    // --graph OUT
  bool convert = false;  // --convert-sample IN OUT
  std::vector<Event> events;
  std::vector<std::string> positional;
};

// False with the message a usage error prints (the program exits 2 on it).
bool parse_render_args(int argc, const char* const* argv, Options* o, std::string* error);
