// The start-up prompts as a user meets them: the prompt driver runs on a
// pseudo-terminal (keys arrive one at a time, without Enter) or with standard
// input from a pipe or /dev/null, and the test reads what it printed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/pulse_env.h"

namespace {

constexpr int kTimeoutMs = 10000;

struct Exchange {
  std::string wait_for;  // text the driver prints before the keys go in
  std::string keys;      // typed on the terminal
  int signal = 0;        // sent to the driver instead of keys, when non-zero
  std::function<void()> before_keys = nullptr;  // done before the keys go in
};

struct Outcome {
  std::string output;
  int status = -1;
  bool timed_out = false;
  termios before{};
  termios after{};
};

long long ms_since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t)
      .count();
}

void drain(int fd, std::string& out, int wait_ms) {
  pollfd p{fd, POLLIN, 0};
  while (poll(&p, 1, wait_ms) > 0 && (p.revents & POLLIN)) {
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
}

bool g_real_server = false;

void child_env() {
  // Deterministic outputs: no desktop sound server is reachable from here,
  // unless the test started its own.
  if (!g_real_server) setenv("PULSE_SERVER", "unix:/nonexistent/tev-no-server", 1);
}

std::vector<char*> argv_of(std::vector<std::string>& args) {
  std::vector<char*> v;
  for (std::string& a : args) v.push_back(&a[0]);
  v.push_back(nullptr);
  return v;
}

// Waits for the child while reading `fd`; kills it by PID past the time limit.
void finish(pid_t pid, int fd, Outcome& o, std::chrono::steady_clock::time_point start) {
  for (;;) {
    int st;
    pid_t r = waitpid(pid, &st, WNOHANG);
    if (r == pid) {
      o.status = st;
      break;
    }
    if (ms_since(start) > kTimeoutMs) {
      o.timed_out = true;
      kill(pid, SIGKILL);
      waitpid(pid, &o.status, 0);
      break;
    }
    drain(fd, o.output, 20);
  }
  drain(fd, o.output, 100);
}

Outcome run_on_terminal(std::vector<std::string> args, const std::vector<Exchange>& script) {
  Outcome o;
  int master = -1, slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
    ADD_FAILURE() << "openpty failed";
    return o;
  }
  tcgetattr(slave, &o.before);
  args.insert(args.begin(), TEV_PROMPT_DRIVER);
  std::vector<char*> argv = argv_of(args);
  pid_t pid = fork();
  if (pid == 0) {
    setsid();
    ioctl(slave, TIOCSCTTY, 0);
    dup2(slave, 0);
    dup2(slave, 1);
    dup2(slave, 2);
    close(master);
    close(slave);
    child_env();
    execv(argv[0], argv.data());
    _exit(127);
  }
  const auto start = std::chrono::steady_clock::now();
  size_t seen = 0;
  for (const Exchange& e : script) {
    size_t at;
    while ((at = o.output.find(e.wait_for, seen)) == std::string::npos && ms_since(start) < kTimeoutMs)
      drain(master, o.output, 20);
    if (at == std::string::npos) break;
    seen = at + e.wait_for.size();
    // The driver may not yet be waiting for keys when its prompt shows: keys
    // typed early must be taken all the same, so no pause is needed here.
    if (e.before_keys) e.before_keys();
    if (e.signal)
      kill(pid, e.signal);
    else if (!e.keys.empty() && write(master, e.keys.data(), e.keys.size()) < 0)
      ADD_FAILURE() << "write to terminal failed";
  }
  finish(pid, master, o, start);
  // The slave end is still open here, so its settings are the ones the driver left.
  tcgetattr(slave, &o.after);
  close(master);
  close(slave);
  return o;
}

Outcome run_with_stdin(std::vector<std::string> args, const char* input_path, const std::string& piped) {
  Outcome o;
  int out[2], in[2];
  if (pipe(out) != 0 || pipe(in) != 0) {
    ADD_FAILURE() << "pipe failed";
    return o;
  }
  args.insert(args.begin(), TEV_PROMPT_DRIVER);
  std::vector<char*> argv = argv_of(args);
  pid_t pid = fork();
  if (pid == 0) {
    int fd0 = input_path ? open(input_path, O_RDONLY) : in[0];
    dup2(fd0, 0);
    dup2(out[1], 1);
    dup2(out[1], 2);
    close(out[0]);
    close(in[1]);
    child_env();
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  close(in[0]);
  if (!piped.empty() && write(in[1], piped.data(), piped.size()) < 0) ADD_FAILURE() << "write failed";
  close(in[1]);
  finish(pid, out[0], o, std::chrono::steady_clock::now());
  close(out[0]);
  return o;
}

int count(const std::string& s, const std::string& what) {
  int n = 0;
  for (size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1)) ++n;
  return n;
}

const std::string kPrompt = "Press a corresponding number or ESC to quit\r\n";
const std::string kEsc = "\x1b";

struct TerminalCase {
  const char* name;
  std::vector<std::string> args;
  std::vector<Exchange> script;
  bool exits_normally;  // false: dies of the signal sent
  int status;           // exit status, or the signal
  std::vector<std::string> shown;
  std::vector<std::string> not_shown;
  bool console_restored;
};

TEST(ConsolePrompts, OnATerminal) {
  const std::string menu =
      "---------------------------------------------------------\r\n"
      "Output Type\r\n"
      "---------------------------------------------------------\r\n"
      "1 - OSS - Open Sound System\r\n"
      "2 - ESD - Elightment Sound Daemon\r\n"
      "3 - ALSA 0.9 - Advanced Linux Sound Architecture\r\n"
      "4 - NoSound\r\n"
      "---------------------------------------------------------\r\n" +
      kPrompt;
  const std::string nosound_list =
      "---------------------------------------------------------\r\n"
      "NoSound Driver list\r\n"
      "---------------------------------------------------------\r\n"
      "1 - NoSound\r\n"
      "---------------------------------------------------------\r\n" +
      kPrompt;
  const TerminalCase cases[] = {
      {"escape at the output prompt", {}, {{kPrompt, kEsc}}, true, 0, {menu}, {"Driver list", "init_sound="}, true},
      {"escape at the driver prompt", {}, {{kPrompt, "4"}, {kPrompt, kEsc}}, true, 0,
       {menu, nosound_list}, {"init_sound="}, true},
      // '5', letters, Enter and a byte past 127 pick nothing; '4' then picks at once.
      {"nosound and its one driver, stray keys ignored", {},
       {{kPrompt, "5a\r\n0\xe9" "4"}, {kPrompt, "0" "2" ":" "\xb1" "\n" "1"}}, true, 0,
       {menu, nosound_list, "init_sound=1 output=0\r\n"}, {"Error"}, true},
      {"keys arriving together are each taken", {}, {{kPrompt, "41"}}, true, 0,
       {"init_sound=1 output=0\r\n"}, {}, true},
      {"a stream plays after the choice", {"--stream"}, {{kPrompt, "4"}, {kPrompt, "1"}}, true, 0,
       {"stream=yes error=0\r\n", "play=0 error=0\r\n"}, {}, true},
      {"old version refused without a menu", {"--version", "3.73", "--stream"}, {}, true, 0,
       {"Error : You are using the wrong DLL version!  You should be using FMOD 3.74\r\n"
        "init_sound=0 output=-1\r\nstream=no error=2\r\nplay=-1 error=2\r\n"},
       {"Output Type"}, true},
      {"version 3.74 itself passes", {"--version", "3.74"}, {{kPrompt, kEsc}}, true, 0, {menu},
       {"wrong DLL"}, true},
      {"interrupt key with the restore installed", {"--signal-restore"}, {{kPrompt, "\x03"}}, false,
       SIGINT, {menu}, {"Driver list"}, true},
      {"hangup with the restore installed", {"--signal-restore"}, {{kPrompt, "", SIGHUP}}, false,
       SIGHUP, {menu}, {}, true},
      {"interrupt key without the restore leaves the console switched", {}, {{kPrompt, "\x03"}},
       false, SIGINT, {menu}, {}, false},
  };
  for (const TerminalCase& c : cases) {
    SCOPED_TRACE(c.name);
    Outcome o = run_on_terminal(c.args, c.script);
    ASSERT_FALSE(o.timed_out) << o.output;
    if (c.exits_normally) {
      ASSERT_TRUE(WIFEXITED(o.status)) << o.output;
      EXPECT_EQ(WEXITSTATUS(o.status), c.status) << o.output;
    } else {
      ASSERT_TRUE(WIFSIGNALED(o.status)) << o.output;
      EXPECT_EQ(WTERMSIG(o.status), c.status);
    }
    for (const std::string& s : c.shown) EXPECT_EQ(count(o.output, s), 1) << s << "\n---\n" << o.output;
    for (const std::string& s : c.not_shown) EXPECT_EQ(count(o.output, s), 0) << s << "\n---\n" << o.output;
    ASSERT_TRUE(o.before.c_lflag & ICANON);
    if (c.console_restored) {
      EXPECT_EQ(o.after.c_lflag, o.before.c_lflag);
      EXPECT_EQ(o.after.c_iflag, o.before.c_iflag);
      EXPECT_EQ(o.after.c_oflag, o.before.c_oflag);
    } else {
      EXPECT_FALSE(o.after.c_lflag & ICANON);
      EXPECT_TRUE(o.after.c_lflag & ECHO) << "only line mode is switched off";
      EXPECT_TRUE(o.after.c_lflag & ISIG) << "only line mode is switched off";
    }
  }
}

struct InputCase {
  const char* name;
  const char* path;   // standard input from this file, or from a pipe when null
  std::string piped;  // written to the pipe, which then closes
  int status;
  std::vector<std::string> shown;
  std::vector<std::string> not_shown;
};

TEST(ConsolePrompts, WithoutATerminal) {
  const std::string quit = "No more console input: quitting.\n";
  const InputCase cases[] = {
      {"nothing to read", "/dev/null", "", 1, {"Output Type\n", quit}, {"Driver list"}},
      {"input ends at the driver prompt", nullptr, "4", 1, {"NoSound Driver list\n", quit},
       {"init_sound"}},
      {"input ends after stray keys", nullptr, "x9\n", 1, {quit}, {"Driver list"}},
      {"piped answers", nullptr, "41", 0, {"init_sound=1 output=0\n"}, {quit}},
      {"escape piped", nullptr, "\x1b", 0, {"Output Type\n"}, {quit, "Driver list"}},
  };
  for (const InputCase& c : cases) {
    SCOPED_TRACE(c.name);
    Outcome o = run_with_stdin({}, c.path, c.piped);
    ASSERT_FALSE(o.timed_out) << o.output;
    ASSERT_TRUE(WIFEXITED(o.status)) << o.output;
    EXPECT_EQ(WEXITSTATUS(o.status), c.status) << o.output;
    for (const std::string& s : c.shown) EXPECT_EQ(count(o.output, s), 1) << s << "\n---\n" << o.output;
    for (const std::string& s : c.not_shown) EXPECT_EQ(count(o.output, s), 0) << s << "\n---\n" << o.output;
    // Once: the prompt ends at the first sign of no more input, not on every read.
    EXPECT_LE(count(o.output, quit), 1);
  }
}

TEST(ConsolePrompts, DeviceLostBeforeInitialisation) {
  tev_test::PulseEnv pulse;
  std::string why;
  ASSERT_TRUE(pulse.start(&why)) << why;
  g_real_server = true;
  // The server is listed at the driver prompt, then goes away before the choice.
  Outcome o = run_on_terminal(
      {"--stream"}, {{kPrompt, "2"}, {"1 - ", ""}, {kPrompt, "1", 0, [&pulse] { pulse.stop(); }}});
  g_real_server = false;
  ASSERT_FALSE(o.timed_out) << o.output;
  ASSERT_TRUE(WIFEXITED(o.status)) << o.output;
  EXPECT_EQ(WEXITSTATUS(o.status), 0);
  EXPECT_NE(o.output.find("Enlightment Sound Daemon Driver list\r\n"), std::string::npos) << o.output;
  EXPECT_NE(o.output.find("Error!\r\nError initializing output device.\r\n"
                          "init_sound=0 output=5\r\nstream=no error=2\r\nplay=-1 error=2\r\n"),
            std::string::npos)
      << o.output;
}

}  // namespace
