#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "patch/tstr_parser.h"

namespace {

// "null" stands for no copy handed out.
std::string field(TSTR_PARSER& p, int n) {
  char* c = p.get_champ(n);
  if (!c) return "null";
  std::string s = c;
  delete[] c;
  return s;
}

struct SplitCase {
  const char* text;
  char sep;
  int count;
  const char* f0;
  const char* f1;
  const char* f2;
};

TEST(FieldSplitter, CountsSeparatorsAndCopiesFields) {
  const SplitCase cases[] = {
      {"VCO1;*FREQ=440;", ';', 2, "VCO1", "*FREQ=440", "null"},
      {"*FREQ=440", '=', 1, "*FREQ", "440", "null"},
      {"*FREQ=440=5", '=', 2, "*FREQ", "440", "5"},
      {"A;;B;", ';', 3, "A", "null", "B"},
      {";A;", ';', 2, "null", "A", "null"},
      {"ABC", ';', 0, "ABC", "null", "null"},
      {"", ';', 0, "null", "null", "null"},
      {"KEY1:MOD_FREQ", ':', 1, "KEY1", "MOD_FREQ", "null"},
      {";;;", ';', 3, "null", "null", "null"},
  };
  for (const SplitCase& c : cases) {
    SCOPED_TRACE(std::string("text [") + c.text + "] sep " + c.sep);
    TSTR_PARSER p(c.text, c.sep);
    EXPECT_EQ(p.get_nbr_champs(), c.count);
    EXPECT_EQ(field(p, 0), c.f0);
    EXPECT_EQ(field(p, 1), c.f1);
    EXPECT_EQ(field(p, 2), c.f2);
    EXPECT_EQ(field(p, -1), "null");
    EXPECT_EQ(field(p, 3), "null");
    EXPECT_EQ(field(p, 1000), "null");
  }
}

TEST(FieldSplitter, ChangingTheSeparatorResplitsTheSameUnchangedText) {
  const char text[] = "*NOTE_3=60;LFO1:MOD_AMP;";
  TSTR_PARSER p(text, ';');
  EXPECT_EQ(p.get_nbr_champs(), 2);
  EXPECT_EQ(field(p, 1), "LFO1:MOD_AMP");
  p.set_separateur('=');
  EXPECT_EQ(p.get_nbr_champs(), 1);
  EXPECT_EQ(field(p, 0), "*NOTE_3");
  EXPECT_EQ(field(p, 1), "60;LFO1:MOD_AMP;");
  p.set_separateur(':');
  EXPECT_EQ(field(p, 1), "MOD_AMP;");
  EXPECT_STREQ(text, "*NOTE_3=60;LFO1:MOD_AMP;");
}

TEST(FieldSplitter, CopiesAreIndependentOfTheText) {
  char text[] = "NAME;X;";
  TSTR_PARSER p(text, ';');
  char* c = p.get_champ(0);
  ASSERT_NE(c, nullptr);
  text[0] = 'Z';
  EXPECT_STREQ(c, "NAME");
  EXPECT_NE(c, text);
  delete[] c;
}

TEST(FieldSplitter, LongFieldIsCopiedWhole) {
  const std::string big(799, 'x');
  const std::string text = big + ";" + big + ";";
  TSTR_PARSER p(text.c_str(), ';');
  EXPECT_EQ(field(p, 0), big);
  EXPECT_EQ(field(p, 1), big);
}

}  // namespace
