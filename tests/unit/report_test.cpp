// The graph report printed after loading: exact bytes, addresses masked.
#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <string>

#include "tests/unit/patch_fixture.h"

namespace {

std::string report_of(GENERATOR& g) {
  ::testing::internal::CaptureStdout();
  g.affiche_tree();
  std::fflush(stdout);
  return ::testing::internal::GetCapturedStdout();
}

// Replaces every printed address by "ADDR".
std::string masked(const std::string& s) {
  return std::regex_replace(s, std::regex(R"(\]\[(0x[0-9a-f]+|\(nil\))\]\[)"), "][ADDR][");
}

const std::string kStars(79, '*');
const std::string kHead =
    "\r\n" + kStars + "\r\n" + std::string(17, '*') + "[ OBJECTS ]" + std::string(51, '*') +
    "\r\n" + kStars + "\r\n";
const std::string kLinks =
    "\r\n" + kStars + "\r\n" + std::string(17, '*') + "[ LINKS ]" + std::string(53, '*') +
    "\r\n" + kStars + "\r\n";
std::string heading(const char* opening, const char* title, int hyphens) {
  return std::string(opening) + title + "\r\n" + std::string(hyphens, '-') + "\r\n";
}

TEST(Report, EmptyGraphPrintsBannersAndElevenHeadingsOnly) {
  GENERATOR g{GENERATOR::Empty{}};
  const std::string want = kHead + heading("\r\n", "VCO", 80) + heading("\r\n", "VCA", 80) +
                           heading("\r\n", "KEYBOARD", 80) + heading("\r\n", "MIXER", 80) +
                           heading("\r", "SAMPLER", 80) + kLinks +
                           heading("\r\n", "LINK_VCO_VCO", 72) +
                           heading("\r\n", "LINK_KEYBOARD_VCA", 72) +
                           heading("\r\n", "LINK_KEYBOARD_VCO", 72) +
                           heading("\r\n", "LINK_VCO_MIXER", 61) +
                           heading("\r", "LINK_SAMPLER_MIXER", 61) +
                           heading("\r", "LINK_MIXER_VCA", 61);
  EXPECT_EQ(report_of(g), want);
}

TEST(Report, SmallGraphGolden) {
  TempDir dir;
  Loaded r = load_text(dir,
                       "KEY1;\nLFO1;\nLFO2;\nVCO1;LFO1:MOD_FREQ;LFO2:MOD_AMP;KEY1:P;*NOTE=0;\n"
                       "SAMPLER1;\nMIXER1;VCO1:IN1;LFO2:IN2;SAMPLER1:IN3;\n"
                       "VCA1;MIXER1:OUT;KEY1:GATE;\nSEQUENCER1;VCO1:P;\n");
  ASSERT_EQ(r.g->load_problems, 0) << r.out;
  const std::string want =
      kHead + heading("\r\n", "VCO", 80) +
      "\tVCO [ 0][ADDR][VCO1]\n"
      "\tVCO [ 1][ADDR][LFO2]\n"
      "\tVCO [ 2][ADDR][LFO1]\n" +
      heading("\r\n", "VCA", 80) + "\tVCA [ 0][ADDR][VCA1]\n" + heading("\r\n", "KEYBOARD", 80) +
      "\tKEYBOARD [ 0][ADDR][KEY1]\n" + heading("\r\n", "MIXER", 80) +
      "\tMIXER [ 0][ADDR][MIXER1]\n" + heading("\r", "SAMPLER", 80) +
      "SAMPLER [ 0][ADDR][SAMPLER1]\n" + kLinks + heading("\r\n", "LINK_VCO_VCO", 72) +
      "\t[VCO1]\t |---       MOD_AMP <-- [LFO2]\n"
      "\t\t |---      MOD_FREQ <-- [LFO1]\n" +
      heading("\r\n", "LINK_KEYBOARD_VCA", 72) + "\t [VCA1] <- [KEY1] \n" +
      heading("\r\n", "LINK_KEYBOARD_VCO", 72) + "\t [VCO1] <- [KEY1] \n" +
      heading("\r\n", "LINK_VCO_MIXER", 61) +
      "\t [MIXER1]\t |---           IN2 <-- [LFO2]\n"
      "\t\t |---           IN1 <-- [VCO1]\n" +
      heading("\r", "LINK_SAMPLER_MIXER", 61) +
      "\t [MIXER1]\t |---           IN3 <-- [SAMPLER1]\n" + heading("\r", "LINK_MIXER_VCA", 61) +
      "\t [VCA1]\t | ---           OUT <-- VCO [MIXER1]\n";
  EXPECT_EQ(masked(report_of(*r.g)), want);
}

TEST(Report, AddressesAreThoseOfTheModules) {
  TempDir dir;
  Loaded r = load_text(dir, "VCO1;\n");
  char want[64];
  std::snprintf(want, sizeof want, "\tVCO [ 0][%p][VCO1]\n", static_cast<void*>(r.g->liste_vco[0]));
  EXPECT_NE(report_of(*r.g).find(want), std::string::npos);
}

TEST(Report, EdgeLayouts) {
  const struct {
    const char* what;
    const char* text;
    std::function<void(GENERATOR&)> tweak;
    std::string piece;
  } cases[] = {
      {"a word longer than 14 is printed whole and pushes the arrow",
       "LFO1;\nVCO1;LFO1:MOD_FREQ_AND_MORE_TEXT;", nullptr,
       "\t[VCO1]\t |---MOD_FREQ_AND_MORE_TEXT <-- [LFO1]\n"},
      {"a record with no branches leaves its head open; the next heading follows",
       "VCO1;", [](GENERATOR& g) {
         LINK_VCO_VCO rec;
         rec.pere_in = g.liste_vco[0];
         g.liens_vco_vco.push_back(rec);
         g.nbr_liens_vco_vco = 1;
       },
       "\t[VCO1]\r\nLINK_KEYBOARD_VCA\r\n"},
      {"a mixer record with no words leaves its head open at the very end",
       "VCO1;\nMIXER1;VCO1:IN1;\nVCA1;", [](GENERATOR& g) {
         LINK_MIXER_VCA rec;
         rec.source = g.liste_mixer[0];
         rec.pere_in = g.liste_vca[0];
         g.liens_mixer_vca.push_back(rec);
         g.nbr_liens_mixer_vca = 1;
       },
       std::string(61, '-') + "\r\n\t [VCA1]"},
      {"the eleventh module takes index 10, two wide",
       "VCO0;\nVCO1;\nVCO2;\nVCO3;\nVCO4;\nVCO5;\nVCO6;\nVCO7;\nVCO8;\nVCO9;\nVCO10;", nullptr,
       "\tVCO [10][ADDR][VCO0]\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    Loaded r = load_text(dir, c.text);
    if (c.tweak) c.tweak(*r.g);
    const std::string out = masked(report_of(*r.g));
    EXPECT_NE(out.find(c.piece), std::string::npos) << out;
  }
  // Index 100 takes three places.
  TempDir dir;
  std::string many;
  for (int i = 0; i < 101; i++) many += "LFO" + std::to_string(i) + ";\n";
  Loaded r = load_text(dir, many);
  const std::string out = masked(report_of(*r.g));
  EXPECT_NE(out.find("\tVCO [100][ADDR][LFO0]\n"), std::string::npos);
  EXPECT_NE(out.find("\tVCO [ 9][ADDR][LFO91]\n"), std::string::npos);
}

}  // namespace
