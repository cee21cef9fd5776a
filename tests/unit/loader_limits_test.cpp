// Bounds the loader puts on what a patch can make the synth allocate.
#include <gtest/gtest.h>

#include <string>

#include "patch_fixture.h"

namespace {

std::string sampler_lines(int n, const std::string& file) {
  std::string text;
  for (int i = 0; i < n; i++)
    text += "S" + std::to_string(i) + "_SAMPLER;*FILE=" + file + ";\n";
  return text;
}

// Every sampler commits up to 16 MB once its file is read; past 64 a sampler line is
// reported and ignored, while the other kinds on the same line are still made.
TEST(LoaderLimits, SamplersPerPatch) {
  struct Case {
    const char* name;
    int samplers;
    const char* extra;
    int want_samplers;
    int want_problems;
    int want_keyboards;
  };
  const Case cases[] = {
      {"one", 1, "", 1, 0, 0},
      {"exactly the limit", 64, "", 64, 0, 0},
      {"one past the limit", 65, "", 64, 1, 0},
      {"far past the limit", 200, "", 64, 136, 0},
      {"a keyboard on an ignored sampler line is still made", 64, "KEY_SAMPLER;\n", 64, 1, 1},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Loaded r = load_text(dir, sampler_lines(c.samplers, "missing.wav") + c.extra);
    EXPECT_EQ(r.g->nbr_sampler, c.want_samplers);
    EXPECT_EQ(static_cast<int>(r.g->liste_sampler.size()), c.want_samplers);
    EXPECT_EQ(r.g->load_problems, c.want_problems);
    EXPECT_EQ(r.g->nbr_keyboard, c.want_keyboards);
    if (c.want_problems > 0) {
      EXPECT_NE(r.out.find("a patch holds at most 64 samplers; sampler ["), std::string::npos)
          << r.out;
    }
  }
}

}  // namespace
