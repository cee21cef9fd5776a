// MIDI files in the renderer: a performance written as a MIDI file sounds sample
// for sample like the same performance written as key events, and a file that is
// not a sound MIDI file is refused with its reason, leaving nothing behind.
// The files are made by scripts/make-midi.py.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>

#include "render_run.h"

using namespace render_test;

namespace {

std::vector<std::string> words_of(const std::string& path) {
  std::istringstream in(slurp(path));
  std::vector<std::string> v;
  for (std::string w; in >> w;) v.push_back(w);
  return v;
}

// Legato, a note-off for a note not playing, the sustain pedal, note-on with
// velocity 0, a note outside the table, channel 4, All Notes Off, All Sound Off,
// a tempo change; and a file event at the frame of a key event (file first: the
// key release then silences voice 1 at once).
TEST(MidiRender, FilesPlayLikeTheSameKeyPresses) {
  const std::string midi = repo_root() + "/tests/midi/";
  const std::vector<std::string> common = {"--quiet", "--seed", "1", "--event", "52920:up:a"};
  const std::string patch = repo_root() + "/tests/patches/three_voices.TSY";
  Scratch s;
  std::vector<std::string> keys = words_of(midi + "performance.keys");
  ASSERT_FALSE(keys.empty());
  keys.insert(keys.end(), common.begin(), common.end());
  keys.insert(keys.end(), {patch, s.path("keys.wav")});
  ASSERT_EQ(run(keys).status, 0);
  const Wav want = read_wav(s.path("keys.wav"));
  // The last event at frame 59535, then two seconds of release.
  ASSERT_EQ(want.frames(), 59535u + 2 * 44100);

  for (const char* file : {"performance0.mid", "performance1.mid"}) {
    SCOPED_TRACE(file);
    std::vector<std::string> args = common;
    args.insert(args.end(), {"--midi", midi + file, patch, s.path("midi.wav")});
    const Result r = run(args);
    ASSERT_EQ(r.status, 0) << r.err;
    const Wav got = read_wav(s.path("midi.wav"));
    ASSERT_EQ(got.frames(), want.frames());
    size_t first_diff = 0;
    while (first_diff < got.samples.size() && got.samples[first_diff] == want.samples[first_diff])
      first_diff++;
    EXPECT_EQ(first_diff, got.samples.size()) << "differs from frame " << first_diff / 2;
  }
}

TEST(MidiRender, BadFilesSayWhyAndLeaveNothing) {
  struct Case {
    const char* file;  // under tests/midi/bad/
    const char* why;
  };
  const Case cases[] = {
      {"truncated.mid", "cut short"},
      {"wrong_header.mid", "format"},
      {"not_midi.mid", "not a Standard MIDI File"},
      {"empty.mid", "empty"},
      {"missing.mid", "No such file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    Scratch s;
    const std::string path = repo_root() + "/tests/midi/bad/" + c.file;
    const Result r = run({"--midi", path, repo_root() + "/tests/patches/three_voices.TSY",
                          s.path("out.wav")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("tev-render: cannot read MIDI file [" + path + "]: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(c.why), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_TRUE(s.files().empty()) << "left " << s.files()[0];
  }
}

// The bundled song, rendered as the README says, from patches/.
TEST(MidiRender, ExampleSongPlays) {
  Scratch s;
  const Result r = run({"--quiet", "--midi", "song.mid", "SYNTH_2.TSY", s.path("song.wav")},
                       repo_root() + "/patches");
  ASSERT_EQ(r.status, 0) << r.err;
  const Wav w = read_wav(s.path("song.wav"));
  ASSERT_GT(w.frames(), 10u * 44100);
  int16_t peak = 0;
  for (int16_t v : w.samples) peak = std::max<int16_t>(peak, static_cast<int16_t>(std::abs(v)));
  EXPECT_GT(peak, 1000);
}

}  // namespace
