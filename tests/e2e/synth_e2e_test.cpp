// The real tev-synth under a private X server and PulseAudio server: its picture,
// its prompts (its sound through each output: device_loss_test.cpp; the live
// recording against tev-render given the same key frames: jack_test.cpp) and its
// exits (random keys with everything else at once: chaos_test.cpp).
#include <gtest/gtest.h>
#include <signal.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>

#include "tests/e2e/synth_harness.h"

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
