// How the real tev-synth ends: by a signal, with the console put back; and,
// when it can't do its work, early and with a message instead of running on.
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>

#include <gtest/gtest.h>

#include "tests/e2e/synth_harness.h"

namespace {

using e2e::Child;

struct PatchFolder {
  std::string dir;
  PatchFolder() {
    dir = e2e::make_temp_dir();
    e2e::copy_file(TEV_FOND_BMP, dir + "/fond.bmp");
    e2e::write_file(dir + "/three_sines.tsy", e2e::kThreeVoicePatch);
  }
  ~PatchFolder() { e2e::remove_dir(dir); }
};

struct SignalCase {
  const char* name;
  const char* typed;  // typed on the console, or null
  int sig;            // sent with kill, or 0
  int status;         // exit status
};

TEST(SynthLifecycle, SignalsEndItPromptlyWithTheConsolePutBack) {
  e2e::XServer x;
  std::string why;
  ASSERT_TRUE(x.start(&why)) << why;
  PatchFolder s;

  const SignalCase cases[] = {
      // The terminal turns Ctrl-C into SIGINT for the program in the foreground.
      {"Ctrl-C on the console", "\x03", 0, 128 + SIGINT},
      {"SIGTERM", nullptr, SIGTERM, 128 + SIGTERM},
      {"SIGHUP (the terminal closed)", nullptr, SIGHUP, 128 + SIGHUP},
  };
  for (const SignalCase& c : cases) {
    SCOPED_TRACE(c.name);
    Child synth({TEV_SYNTH_BIN, "three_sines.tsy"}, {s.dir, {}, {}, true});
    termios before{};
    ASSERT_EQ(tcgetattr(synth.pty_fd(), &before), 0);
    ASSERT_TRUE(before.c_lflag & ICANON);
    ASSERT_TRUE(e2e::answer_prompts(synth, '4', &why)) << why;
    ASSERT_FALSE(e2e::find_window("^three_sines\\.tsy$", 15).empty()) << synth.output();
    ASSERT_TRUE(synth.wait_for_output("(foireuxmaismarche)", 10)) << synth.output();

    // The prompts took keys one at a time; the synth is playing.
    termios during{};
    ASSERT_EQ(tcgetattr(synth.pty_fd(), &during), 0);
    EXPECT_FALSE(during.c_lflag & ICANON);

    if (c.typed) synth.type(c.typed);
    if (c.sig) synth.kill_now(c.sig);
    int status = 0;
    ASSERT_TRUE(synth.wait_exit(3, &status)) << "still running\n" << synth.output();
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), c.status);

    termios after{};
    ASSERT_EQ(tcgetattr(synth.pty_fd(), &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
  }
}

struct NoWindowCase {
  const char* name;
  std::vector<std::string> unset;
  std::vector<std::pair<std::string, std::string>> set;
};

TEST(SynthLifecycle, WithoutAWindowItSaysSoAndEndsBeforePlaying) {
  e2e::XServer x;  // there is a display; the cases keep the synth from reaching it
  std::string why;
  ASSERT_TRUE(x.start(&why)) << why;
  PatchFolder s;

  const NoWindowCase cases[] = {
      {"no DISPLAY", {"DISPLAY", "WAYLAND_DISPLAY"}, {}},
      {"a display nobody serves", {"WAYLAND_DISPLAY"}, {{"DISPLAY", ":" + std::to_string(4000 + getpid() % 1000)}}},
  };
  for (const NoWindowCase& c : cases) {
    SCOPED_TRACE(c.name);
    Child synth({TEV_SYNTH_BIN, "three_sines.tsy"}, {s.dir, c.unset, c.set, false});
    ASSERT_TRUE(e2e::answer_prompts(synth, '4', &why)) << why;
    int status = 0;
    ASSERT_TRUE(synth.wait_exit(10, &status)) << "runs on without a window\n" << synth.output();
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 1);
    const std::string out = synth.output();
    EXPECT_NE(out.find("Error: no window can be opened"), std::string::npos) << out;
    // It stopped before loading the patch and starting the stream.
    EXPECT_EQ(out.find("Load ["), std::string::npos) << out;
    EXPECT_EQ(out.find("(foireuxmaismarche)"), std::string::npos) << out;
  }
}

TEST(SynthLifecycle, APatchThatCannotBeOpenedEndsItWithStatusOne) {
  e2e::XServer x;
  std::string why;
  ASSERT_TRUE(x.start(&why)) << why;
  PatchFolder s;

  Child synth({TEV_SYNTH_BIN, "no_such_patch.tsy"}, {s.dir, {}, {}, false});
  ASSERT_TRUE(e2e::answer_prompts(synth, '4', &why)) << why;
  int status = 0;
  ASSERT_TRUE(synth.wait_exit(10, &status)) << "runs on without a patch\n" << synth.output();
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 1);
  const std::string out = synth.output();
  EXPECT_NE(out.find("Load [no_such_patch.tsy]\n"), std::string::npos) << out;
  EXPECT_NE(out.find("no_such_patch.tsy"), out.rfind("no_such_patch.tsy")) << "the loader says which file";
  EXPECT_EQ(out.find("(foireuxmaismarche)"), std::string::npos) << "the stream must not start\n"
                                                                << out;
}

}  // namespace
