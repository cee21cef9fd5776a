// The real tev-synth losing its sound output (the sound server killed, as when a
// desktop's server restarts): an error at start-up, a retry while playing.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>

#include <cstdio>
#include <cstring>
#include <fstream>

#include "tests/e2e/synth_harness.h"
#include "tests/support/tone.h"

namespace {

using namespace e2e;

TEST_F(Synth, DeviceLossAnErrorAtStartUpARetryWhilePlayingWithoutSpinning) {
  std::string why;
  {
    // Listed while the server ran, gone when chosen: today's error, no retrying.
    Child synth({TEV_SYNTH_BIN, "voices.tsy"}, {dir_, false});
    const std::string press = "Press a corresponding number or ESC to quit";
    ASSERT_TRUE(synth.wait_for_output(press, 10)) << synth.output();
    synth.type("2");
    ASSERT_TRUE(synth.wait_for_output(press, 10, 2)) << synth.output();
    kill_pulse();
    synth.type("1");
    int status = 0;
    ASSERT_TRUE(synth.wait_exit(15, &status)) << synth.output();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    const std::string out = synth.output();
    EXPECT_NE(out.find("Error!\nError initializing output device.\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("sound output lost"), std::string::npos) << out;
    ASSERT_TRUE(restart_pulse(&why)) << why;
  }
  const char* kOssEmulation = "/usr/lib/x86_64-linux-gnu/pulseaudio/libpulsedsp.so";
  const struct {
    const char* name;
    char output_key;
    const char* preload;
    const char* list;  // the driver prompt's heading
  } cases[] = {{"sound server", '2', nullptr, "\nEnlightment Sound Daemon Driver list\n"},
               {"ALSA", '3', nullptr, "\nAlsa Driver list\n"},
               {"OSS", '1', kOssEmulation, "\nOpen Sound System Driver list\n"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.preload && access(c.preload, R_OK) != 0) continue;
    launch(c.output_key, "voices.tsy", false, {std::string("LD_PRELOAD=") + (c.preload ? c.preload : "")});
    EXPECT_NE(synth_->output().find(c.list), std::string::npos) << synth_->output();
    Child& synth = *synth_;
    ASSERT_TRUE(synth.wait_for_output("(foireuxmaismarche)", 10)) << synth.output();

    // A key held while the server dies: the stream must stop, not spin.
    ASSERT_TRUE(key("z", true));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const long before = cpu_ticks(synth.pid());
    kill_pulse();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const double share = cpu_share(synth.pid(), before, 2.0);
    std::printf("[ %s ] CPU over the 2 s after the server died: %.1f %%\n", c.name, 100 * share);
    // A spinning stream takes a whole core; the idle cost itself (under 2 %) is
    // measured over a long outage below, where clock ticks resolve it.
    EXPECT_LT(share, 0.10);
    EXPECT_TRUE(synth.wait_for_output("sound output lost: ", 0.5)) << synth.output();
    ASSERT_TRUE(key("z", false));

    // The server back on the same socket: the synth finds it by itself.
    ASSERT_TRUE(restart_pulse(&why)) << why;
    const Clock::time_point back = Clock::now();
    Recorder rec;
    ASSERT_TRUE(rec.start(&why)) << why;
    ASSERT_TRUE(synth.wait_for_output("sound output restored after ", 3)) << synth.output();
    std::printf("[ %s ] server back to output restored: %.2f s\n", c.name,
                std::chrono::duration<double>(Clock::now() - back).count());
    // An idle null sink renders in blocks of two seconds: play once it streams.
    std::this_thread::sleep_until(back + std::chrono::milliseconds(2500));
    const Clock::time_point down = Clock::now();
    ASSERT_TRUE(key("z", true));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_TRUE(key("z", false));
    const Clock::time_point up = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    EXPECT_EQ(quit_with_escape(), 0) << synth.output();
    rec.stop();
    // One line each for the whole outage, not one per attempt.
    EXPECT_FALSE(synth.wait_for_output("sound output lost: ", 0, 2)) << synth.output();
    EXPECT_FALSE(synth.wait_for_output("sound output restored after ", 0, 2)) << synth.output();

    // 300 ms of the tone from 50 ms past its onset. (The release of the key
    // held through the outage is heard at the restart, before `down`.)
    const std::vector<int16_t> lr = rec.samples();
    const double from_s = std::chrono::duration<double>(down - rec.time_of_frame(0)).count();
    std::vector<int16_t> left;
    const size_t first = 2 * static_cast<size_t>(std::max(0.0, from_s) * kRate);
    for (size_t i = first; i < lr.size(); i += 2)
      if (!left.empty() || std::abs(lr[i]) >= 1000) left.push_back(lr[i]);
    ASSERT_GT(left.size(), static_cast<size_t>(kRate * 0.35)) << "the key was not heard";
    const int16_t* steady = left.data() + kRate / 20;
    EXPECT_NEAR(tone::measure_frequency(steady, kRate * 3 / 10, kRate), 440.0, 0.5);
    EXPECT_GT(tone::rms(steady, kRate * 3 / 10), 5000.0);
    // Silent from half a second after the release (it takes 9210 frames, 0.21 s).
    const long quiet = rec.frame_at(up + std::chrono::milliseconds(500));
    EXPECT_LT(tone::rms(lr.data() + 2 * quiet, 2 * (rec.frame_at(up + std::chrono::milliseconds(600)) - quiet)), 2)
        << "silent after the release";
  }
}

// A long outage: a listener on the sound server's socket takes each connection
// and drops it, so every attempt to reopen is seen and fails: 250 ms after the
// loss, 500 ms later, then once a second, the synth idling meanwhile.
TEST_F(Synth, DeviceLossRetriesOnScheduleThroughALongOutage) {
  launch('2');
  ASSERT_TRUE(synth_->wait_for_output("(foireuxmaismarche)", 10)) << synth_->output();
  sockaddr_un addr{AF_UNIX, {}};
  std::strncpy(addr.sun_path, std::getenv("PULSE_SERVER") + 5, sizeof addr.sun_path - 1);  // "unix:..."
  kill_pulse();
  const Clock::time_point lost = Clock::now();
  const long ticks = cpu_ticks(synth_->pid());
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  unlink(addr.sun_path);
  ASSERT_TRUE(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && listen(fd, 16) == 0);
  std::vector<double> attempts;  // connections closer than 150 ms are one attempt
  for (Clock::time_point last{}; Clock::now() - lost < std::chrono::milliseconds(5600);) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 20) != 1) continue;
    close(accept4(fd, nullptr, nullptr, SOCK_CLOEXEC));
    if (Clock::now() - last > std::chrono::milliseconds(150))
      attempts.push_back(std::chrono::duration<double>(Clock::now() - lost).count());
    last = Clock::now();
  }
  const double share = (cpu_ticks(synth_->pid()) - ticks) / (5.6 * sysconf(_SC_CLK_TCK));
  close(fd);
  std::string why, seen;
  ASSERT_TRUE(restart_pulse(&why)) << why;
  EXPECT_TRUE(synth_->wait_for_output("sound output restored after ", 2.5)) << synth_->output();
  EXPECT_EQ(quit_with_escape(), 0) << synth_->output();
  for (double a : attempts) seen += " " + std::to_string(a).substr(0, 5);
  std::printf("attempts at (s after the loss):%s; CPU %.2f %%\n", seen.c_str(), 100 * share);
  EXPECT_LT(share, 0.02);
  // Bounds wide enough for a loaded machine, narrow enough to tell the steps apart.
  ASSERT_GE(attempts.size(), 5u) << seen;
  EXPECT_LE(attempts.size(), 6u) << seen;
  for (size_t i = 0; i < 5; i++)
    EXPECT_NEAR(attempts[i] - (i ? attempts[i - 1] : 0), i == 0 ? 0.4 : i == 1 ? 0.5 : 1.0, i ? 0.25 : 0.2) << seen;
}

}  // namespace
