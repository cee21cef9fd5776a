// The real tev-synth under a private X server and PulseAudio server: its picture,
// its prompts (its sound through each output: device_loss_test.cpp), the live recording
// against an in-process render of the same key frames, and its exits (random keys
// with everything else at once: chaos_test.cpp).
#include <gtest/gtest.h>
#include <signal.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "tests/e2e/synth_harness.h"
#include "tests/support/tone.h"

namespace {

using namespace e2e;
using namespace std::chrono_literals;

TEST_F(Synth, ShowsThePictureAndItsKeyMap) {
  ASSERT_EQ(run({"convert", TEV_FOND_BMP, "-depth", "8", "rgb:" + dir_ + "/fond.rgb"}, 20), 0);
  // The build's synth with the folder's picture; then the installed one in a folder
  // without one, which shows the picture installed beside the bundled patches.
  ASSERT_EQ(run({TEV_CMAKE, "--install", TEV_BUILD_DIR, "--prefix", dir_ + "/inst"}, 60), 0);
  for (const std::string& bin : std::vector<std::string>{TEV_SYNTH_BIN, dir_ + "/inst/bin/tev-synth"}) {
    synth_bin_ = bin;
    launch('4');
    EXPECT_TRUE(synth_->wait_for_output("[wxcvbn,;] pour les notes (foireuxmaismarche)\n", 10));
    ASSERT_EQ(run({"import", "-window", window_, "-depth", "8", "rgb:" + dir_ + "/shown.rgb"}, 20), 0);
    EXPECT_TRUE(slurp(dir_ + "/shown.rgb") == slurp(dir_ + "/fond.rgb")) << bin;
    EXPECT_EQ(quit_with_escape(), 0);
    std::remove((dir_ + "/fond.bmp").c_str());
  }
}

// The console menus, byte for byte, as a user meets them on a terminal; stray
// keys are ignored. Without a display the synth ends after them.
TEST_F(Synth, PromptsOnATerminal) {
  // Keys typed at the output prompt, then at the driver prompt.
  const struct { const char* output_keys; const char* driver_keys; int status; const char* expected; } rows[] = {
      {"5a\r4", "x1", 1, "nosound.txt"}, {"\x1b", nullptr, 0, "escape.txt"}, {"4", "\x1b", 0, "escape_driver.txt"},
      {"1", "\x1b", 0, "oss_no_device.txt"}, {"2", "\x1b", 0, "esd_no_server.txt"}};
  for (const auto& r : rows) {
    Child c({"env", "-u", "DISPLAY", "PULSE_SERVER=unix:/nonexistent", TEV_SYNTH_BIN, "voices.tsy"}, {dir_, true});
    ASSERT_TRUE(c.wait_for_output("ESC to quit", 10)) << c.output();
    c.type(r.output_keys);
    if (r.driver_keys) {
      ASSERT_TRUE(c.wait_for_output("ESC to quit", 10, 2)) << c.output();
      std::this_thread::sleep_for(100ms);
      c.type(r.driver_keys);
    }
    int status = -1;
    ASSERT_TRUE(c.wait_exit(10, &status)) << c.output();
    EXPECT_EQ(exit_code(status), r.status);
    const std::string path = std::string(TEV_E2E_DATA) + "/prompts/" + r.expected;
    if (std::getenv("TEV_UPDATE_GOLDEN")) std::ofstream(path) << c.output();
    EXPECT_EQ(c.output(), slurp(path)) << r.expected;
  }
}

// One performance, recorded and matched against renders: empty when some press
// and release frames make the render equal the recording, else what went wrong.
std::string live_against_render(Synth* t, const std::string& dir) {
  // The pilot patch played in-process with `events`, as tev-render plays it.
  const std::string pilot_text = slurp(dir + "/pilot.tsy");
  auto render = [&](long frames, const std::vector<tevtest::KeyEvent>& events) {
    return tevtest::render(pilot_text, events, static_cast<int>(frames));
  };
  Recorder rec;
  std::string why;
  if (!rec.start(&why)) return why;
  t->launch('2', "pilot.tsy");
  std::this_thread::sleep_for(2200ms);  // an idle null sink starts in blocks of two seconds
  t->key("z", true);
  std::this_thread::sleep_for(400ms);
  t->key("z", false);
  std::this_thread::sleep_for(600ms);
  if (t->quit_with_escape() != 0) return "no clean exit";
  rec.stop();
  const std::vector<int16_t> s = rec.samples();
  const long n = static_cast<long>(s.size() / 2);
  // Stream frame 0: where the pilot alone matches the recording for a second.
  const std::vector<int16_t> pilot = render(n, {});
  long at0 = -1;
  for (long o = 0; o < n - kRate && at0 < 0; o++)
    if (differs(s, o, pilot, kRate) == kRate) at0 = o;
  if (at0 < 0) return "the pilot is not in the recording";
  // The press shows where the recording leaves the pilot (a frame or a few after
  // it, near a zero crossing); the release where it leaves the render of the
  // press alone. Each is found to the frame.
  const long heard = differs(s, at0, pilot, n);
  long down = -1;
  std::vector<int16_t> pressed;
  for (long d = heard; d > heard - 16 && down < 0; d--) {
    pressed = render(n - at0, {{static_cast<int>(d), 'z', true}});
    if (differs(s, at0, pressed, n) > heard + 2000) down = d;
  }
  if (down < 0) return "no press frame makes the render equal the recording";
  const long left = differs(s, at0, pressed, n), end = left + 22050;  // before Escape
  for (long u = left; u > left - 16; u--) {
    const std::vector<tevtest::KeyEvent> ev = {{static_cast<int>(down), 'z', true}, {static_cast<int>(u), 'z', false}};
    if (differs(s, at0, render(n - at0, ev), end) == end) return "";
  }
  return "no release frame makes the render equal the whole recording";
}

TEST_F(Synth, LiveRecordingEqualsTheRenderOfTheSameKeyFrames) {
  // A second take when the first fails: the sound server may drop frames under load.
  std::string first = live_against_render(this, dir_);
  if (!first.empty()) {
    EXPECT_EQ(live_against_render(this, dir_), "") << "first take: " << first;
  }
}

TEST_F(Synth, ExitStatus) {
  launch('4');
  EXPECT_EQ(quit_with_escape(), 0);
  const struct { const char* what; int sig; int status; bool at_prompt; } signals[] = {
      {"Ctrl-C typed", 0, 130, false}, {"SIGTERM", SIGTERM, 143, false}, {"SIGHUP", SIGHUP, 129, false},
      {"Ctrl-C at the prompt", 0, 130, true}, {"SIGTERM at the prompt", SIGTERM, 143, true}};
  for (const auto& r : signals) {
    SCOPED_TRACE(r.what);
    if (r.at_prompt) {
      synth_.reset(new Child({TEV_SYNTH_BIN, "voices.tsy"}, {dir_, true}));
      ASSERT_TRUE(synth_->wait_for_output("ESC to quit", 10)) << synth_->output();
    } else {
      launch('4', "voices.tsy", true);
    }
    if (r.sig) synth_->kill_now(r.sig);
    else synth_->type("\x03");
    int status = -1;
    ASSERT_TRUE(synth_->wait_exit(5, &status)) << synth_->output();
    EXPECT_EQ(exit_code(status), r.status) << synth_->output();
    // The prompts read single keys in raw mode: the terminal is left as it was given
    // (compared with a new pseudo-terminal's settings).
    termios given{}, left{};
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    tcgetattr(slave, &given), close(master), close(slave);
    ASSERT_EQ(tcgetattr(synth_->pty_fd(), &left), 0);
    EXPECT_TRUE(given.c_iflag == left.c_iflag && given.c_oflag == left.c_oflag &&
                given.c_lflag == left.c_lflag && std::memcmp(given.c_cc, left.c_cc, NCCS) == 0);
  }
  // Answers piped in; the last run's input ends before any answer.
  write_file(dir_ + "/empty_field.tsy", "KEY1;\nVCO1;;\n");
  const struct { const char* command; int status; } runs[] = {
      {"printf 41 | env -u DISPLAY %s voices.tsy", 1}, {"printf 41 | %s missing.tsy", 1},
      {"printf 41 | %s empty_field.tsy", 255}, {"%s voices.tsy </dev/null", 1}};
  for (const auto& r : runs) {
    char command[512];
    std::snprintf(command, sizeof command, r.command, TEV_SYNTH_BIN);
    std::string out;
    EXPECT_EQ(run({"sh", "-c", "cd " + dir_ + " && " + command}, 15, &out), r.status) << command << "\n" << out;
  }
}

}  // namespace
