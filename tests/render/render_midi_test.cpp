// MIDI files in the renderer (made by scripts/make-midi.py): a performance as a
// MIDI file sounds sample for sample like the same performance as key events; a
// file that is not a sound MIDI file is refused with its reason, leaving nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "render_run.h"

using namespace render_test;

namespace {

// Legato, a note-off for a note not playing, the pedal, note-on with velocity 0,
// a note outside the table, channel 4, All Notes Off, All Sound Off, a tempo
// change; a file event and a key event at one frame (file first: the key release
// then silences voice 1 at once). Then the example song, as the README renders it.
TEST(MidiRender, FilesPlayLikeTheSameKeyPresses) {
  const std::string midi = repo_root() + "/tests/midi/";
  const std::string patch = repo_root() + "/tests/patches/three_voices.TSY";
  const std::vector<std::string> common = {"--quiet", "--seed", "1", "--event", "52920:up:a"};
  Scratch s;
  std::istringstream script(slurp(midi + "performance.keys"));
  std::vector<std::string> keys;  // the script, then the key release of `common`
  for (std::string w; script >> w;) keys.push_back(w);
  keys.insert(keys.end(), common.begin(), common.end());
  keys.insert(keys.end(), {patch, s.path("keys.wav")});
  ASSERT_EQ(run(keys).status, 0);
  const Wav want = read_wav(s.path("keys.wav"));
  ASSERT_EQ(want.frames(), 59535u + 2 * 44100);  // the last event, then 2 s of release

  for (const char* file : {"performance0.mid", "performance1.mid"}) {
    std::vector<std::string> args = common;
    args.insert(args.end(), {"--midi", midi + file, patch, s.path("midi.wav")});
    const Result r = run(args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(read_wav(s.path("midi.wav")).samples == want.samples) << file;
  }
  const Result r = run({"--quiet", "--midi", "song.mid", "SYNTH_2.TSY", s.path("song.wav")},
                       repo_root() + "/patches");
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<int16_t> song = read_wav(s.path("song.wav")).left();
  ASSERT_GT(song.size(), 10u * 44100);
  EXPECT_GT(*std::max_element(song.begin(), song.end()), 1000);
}

TEST(MidiRender, BadFilesSayWhyAndLeaveNothing) {
  const std::pair<const char*, const char*> cases[] = {  // file in tests/midi/bad, reason
      {"truncated.mid", "cut short"},  {"no_end_of_track.mid", "End of Track"},
      {"wrong_header.mid", "format"},  {"not_midi.mid", "not a Standard MIDI File"},
      {"empty.mid", "empty"},          {"missing.mid", "No such file"}};
  for (const auto& [file, why] : cases) {
    Scratch s;
    const std::string path = repo_root() + "/tests/midi/bad/" + file;
    const Result r = run({"--midi", path, repo_root() + "/tests/patches/three_voices.TSY",
                          s.path("out.wav")});
    EXPECT_EQ(r.status, 1) << file;
    EXPECT_EQ(r.err.rfind("tev-render: cannot read MIDI file [" + path + "]: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(why), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_TRUE(s.files().empty()) << file;
  }
}

}  // namespace
