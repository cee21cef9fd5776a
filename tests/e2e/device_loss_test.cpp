// The real tev-synth losing its sound output while it plays (the sound server
// killed, as when a desktop's server restarts) and playing again when it returns.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "tests/e2e/synth_harness.h"
#include "tests/support/pulse_env.h"
#include "tests/support/tone.h"

namespace {

using e2e::Clock;

// User plus system CPU time of a process, in clock ticks.
long cpu_ticks(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  const size_t paren = stat.rfind(')');
  if (paren == std::string::npos) return -1;
  long utime = 0, stime = 0;
  // After the name: state and eleven more fields, then utime and stime.
  if (std::sscanf(stat.c_str() + paren + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld",
                  &utime, &stime) != 2)
    return -1;
  return utime + stime;
}

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
  return n;
}

struct LossCase {
  const char* name;
  char output_key;
  const char* preload;  // the OSS emulation library, or null
};

TEST(SynthDeviceLoss, OutputLostWithoutSpinningAndPlayingAgainWhenTheServerReturns) {
  e2e::XServer x;
  std::string why;
  ASSERT_TRUE(x.start(&why)) << why;
  tev_test::PulseEnv pulse;
  ASSERT_TRUE(pulse.start(&why)) << why;
  const char* kOssEmulation = "/usr/lib/x86_64-linux-gnu/pulseaudio/libpulsedsp.so";
  const LossCase cases[] = {
      {"sound server", '2', nullptr}, {"ALSA", '3', nullptr}, {"emulated OSS", '1', kOssEmulation}};
  for (const LossCase& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.preload && access(c.preload, R_OK) != 0) continue;
    const std::string dir = e2e::make_temp_dir();
    e2e::copy_file(TEV_FOND_BMP, dir + "/fond.bmp");
    e2e::write_file(dir + "/three_sines.tsy", e2e::kThreeVoicePatch);
    e2e::Child::Options options{dir, {}, {}, false};
    if (c.preload) options.set.push_back({"LD_PRELOAD", c.preload});
    e2e::Child synth({TEV_SYNTH_BIN, "three_sines.tsy"}, options);
    ASSERT_TRUE(e2e::answer_prompts(synth, c.output_key, &why)) << why;
    const std::string window = e2e::find_window("^three_sines\\.tsy$", 15);
    ASSERT_FALSE(window.empty()) << synth.output();
    ASSERT_TRUE(synth.wait_for_output("(foireuxmaismarche)", 10)) << synth.output();
    ASSERT_EQ(e2e::run({"xdotool", "windowfocus", window}, 10), 0);
    e2e::Keyboard keyboard;
    ASSERT_TRUE(keyboard.open(&why)) << why;

    // A key held while the server dies: the stream must stop, not spin.
    ASSERT_TRUE(keyboard.press({"z"}));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const long before = cpu_ticks(synth.pid());
    ASSERT_EQ(kill(pulse.pid(), SIGKILL), 0);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const double share = static_cast<double>(cpu_ticks(synth.pid()) - before) /
                         static_cast<double>(sysconf(_SC_CLK_TCK)) / 2.0;
    std::printf("[ %s ] CPU over the 2 s after the server died: %.1f %% of a core\n", c.name,
                100 * share);
    ::testing::Test::RecordProperty(std::string(c.name) + " cpu_while_lost_percent",
                                    std::to_string(100 * share));
    EXPECT_LT(share, 0.02);
    EXPECT_TRUE(synth.wait_for_output("sound output lost: ", 0.5)) << synth.output();
    ASSERT_TRUE(keyboard.release({"z"}));

    // The server back on the same socket: the synth finds it by itself.
    ASSERT_TRUE(pulse.restart(&why)) << why;
    const Clock::time_point back = Clock::now();
    e2e::Recorder rec;
    ASSERT_TRUE(rec.start(&why)) << why;
    ASSERT_TRUE(synth.wait_for_output("sound output restored after ", 3)) << synth.output();
    const double recovery = std::chrono::duration<double>(Clock::now() - back).count();
    std::printf("[ %s ] server back to output restored: %.2f s\n", c.name, recovery);
    ::testing::Test::RecordProperty(std::string(c.name) + " recovery_s", std::to_string(recovery));

    // An idle null sink renders in blocks of two seconds: play once it streams.
    std::this_thread::sleep_until(back + std::chrono::milliseconds(2500));
    const Clock::time_point down = Clock::now();
    ASSERT_TRUE(keyboard.press({"z"}));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_TRUE(keyboard.release({"z"}));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(e2e::run({"xdotool", "key", "Escape"}, 10), 0);
    int status = 0;
    ASSERT_TRUE(synth.wait_exit(5, &status)) << "still running after Escape";
    rec.stop();
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0) << synth.output();
    const std::string out = synth.output();
    EXPECT_EQ(count(out, "sound output lost: "), 1u) << out;
    EXPECT_EQ(count(out, "sound output restored after "), 1u) << out;

    // The steady middle of the tone: 50 ms past its onset, 300 ms long. (The
    // release of the key held through the outage is heard at the restart.)
    const std::vector<int16_t> lr = rec.samples();
    const double pressed_at = std::chrono::duration<double>(down - rec.time_of_frame(0)).count();
    std::vector<int16_t> left;
    for (size_t i = 2 * static_cast<size_t>(std::max(0.0, pressed_at) * e2e::kRate); i < lr.size();
         i += 2)
      if (!left.empty() || std::abs(lr[i]) >= 1000) left.push_back(lr[i]);
    ASSERT_GT(left.size(), static_cast<size_t>(e2e::kRate * 0.35)) << "the key was not heard";
    const size_t from = e2e::kRate / 20;
    const double hz = tone::measure_frequency(left.data() + from, e2e::kRate * 3 / 10, e2e::kRate);
    EXPECT_NEAR(hz, 440.0, 0.5);
    EXPECT_GT(tone::rms(left.data() + from, e2e::kRate * 3 / 10), 5000.0);
    e2e::remove_dir(dir);
  }
}

// No server when the output opens: the error of start-up, not a retry loop.
TEST(SynthDeviceLoss, AnOutputThatCannotOpenAtStartUpIsAnError) {
  e2e::XServer x;
  std::string why;
  ASSERT_TRUE(x.start(&why)) << why;
  tev_test::PulseEnv pulse;
  ASSERT_TRUE(pulse.start(&why)) << why;
  const std::string dir = e2e::make_temp_dir();
  e2e::write_file(dir + "/three_sines.tsy", e2e::kThreeVoicePatch);
  e2e::Child synth({TEV_SYNTH_BIN, "three_sines.tsy"}, {dir, {}, {}, false});
  const std::string press = "Press a corresponding number or ESC to quit";
  ASSERT_TRUE(synth.wait_for_output(press, 10)) << synth.output();
  synth.type("2");
  ASSERT_TRUE(synth.wait_for_output(press, 10, 2)) << synth.output();
  // The driver was listed while the server ran; it is gone when chosen.
  ASSERT_EQ(kill(pulse.pid(), SIGKILL), 0);
  waitpid(pulse.pid(), nullptr, 0);
  synth.type("1");
  int status = 0;
  ASSERT_TRUE(synth.wait_exit(15, &status)) << synth.output();
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 1);
  const std::string out = synth.output();
  EXPECT_NE(out.find("Error!\nError initializing output device.\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("sound output lost"), std::string::npos) << out;
  e2e::remove_dir(dir);
}

}  // namespace
