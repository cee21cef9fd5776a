// The real tev-synth under a private X server and PulseAudio server: the window
// a player sees and the way out.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "tests/e2e/synth_harness.h"
#include "tests/support/pulse_env.h"

namespace {

using e2e::Child;

struct WindowCase {
  const char* name;
  char output_key;  // at the output prompt
  bool picture;     // fond.bmp in the working folder
};

// Every pixel of the window against the picture; the count of those that differ.
long differing_pixels(const e2e::Image& shown, const e2e::Image& expected) {
  if (shown.width != expected.width || shown.height != expected.height) return -1;
  long differ = 0;
  for (size_t i = 0; i < shown.rgb.size(); i += 3)
    if (shown.rgb[i] != expected.rgb[i] || shown.rgb[i + 1] != expected.rgb[i + 1] ||
        shown.rgb[i + 2] != expected.rgb[i + 2])
      differ++;
  return differ;
}

TEST(SynthWindow, ShowsTheKeyMapUnderThePatchNameAndEscapeQuits) {
  e2e::XServer x;
  std::string why;
  ASSERT_TRUE(x.start(&why)) << why;
  tev_test::PulseEnv pulse;
  ASSERT_TRUE(pulse.start(&why)) << why;

  e2e::Image fond;
  ASSERT_TRUE(e2e::read_bmp24(TEV_FOND_BMP, &fond)) << TEV_FOND_BMP;
  ASSERT_EQ(fond.width, 320);
  ASSERT_EQ(fond.height, 240);
  e2e::Image blank = fond;
  std::fill(blank.rgb.begin(), blank.rgb.end(), 0);

  const WindowCase cases[] = {
      {"PulseAudio", '2', true},
      {"ALSA through the PulseAudio plugin", '3', true},
      // Without the picture the window stays black and the synth runs as usual.
      {"NoSound, no picture", '4', false},
  };
  for (const WindowCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dir = e2e::make_temp_dir();
    if (c.picture) e2e::copy_file(TEV_FOND_BMP, dir + "/fond.bmp");
    e2e::write_file(dir + "/three_sines.tsy", e2e::kThreeVoicePatch);

    Child synth({TEV_SYNTH_BIN, "three_sines.tsy"}, {dir, {}, {}, false});
    ASSERT_TRUE(e2e::answer_prompts(synth, c.output_key, &why)) << why;
    // The loader retitles the window with the patch path as typed.
    const std::string window = e2e::find_window("^three_sines\\.tsy$", 15);
    ASSERT_FALSE(window.empty()) << synth.output();
    ASSERT_TRUE(synth.wait_for_output("[wxcvbn,;] pour les notes (foireuxmaismarche)\n", 10))
        << synth.output();
    const std::string out = synth.output();
    EXPECT_NE(out.find("Load [three_sines.tsy]\n"), std::string::npos) << out;
    EXPECT_NE(out.find("[aqzs edrftg yhujik olpm our] modifier les trucs \n"
                       "[+-] change type OSC1 [7894] le type des LFO1234\n"
                       "[wxcvbn,;] pour les notes (foireuxmaismarche)\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("Error"), std::string::npos) << out;

    e2e::Image shown;
    ASSERT_TRUE(e2e::grab_window(window, &shown, &why)) << why;
    EXPECT_EQ(differing_pixels(shown, c.picture ? fond : blank), 0);

    // No window manager here: the window gets the keyboard by being focused.
    EXPECT_EQ(e2e::run({"xdotool", "windowfocus", window}, 10), 0);
    EXPECT_EQ(e2e::run({"xdotool", "key", "Escape"}, 10), 0);
    int status = 0;
    ASSERT_TRUE(synth.wait_exit(5, &status)) << "still running after Escape\n" << synth.output();
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 0) << synth.output();
    e2e::remove_dir(dir);
  }
}

}  // namespace
