// The renderer's command line, its failures and its --check report, driven
// through the real binary.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "render_run.h"

using namespace render_test;

namespace {

const char kSineVoice[] =
    "KEY3;\nKEY2;\nKEY1;\n"
    "VCO1;*TYPE=1;*AMOUNT=1;KEY1:NOTE;*NOTE=0;\n"
    "MIXER1;VCO1:IN1;\n"
    "VCA3;\nVCA2;\n"
    "VCA1;*ATTACK=1;*DECAY=1;*SUSTAIN=1;*RELEASE=10;MIXER1:OUT;KEY1:GATE;\n";

bool contains(const std::string& hay, const std::string& needle) {
  return hay.find(needle) != std::string::npos;
}

struct FailCase {
  const char* name;
  std::vector<std::string> args;  // "PATCH" and "OUT" stand for the scratch files
  int status;
  const char* message;  // expected in standard error (or standard output for the loader)
};

std::vector<std::string> expand(const std::vector<std::string>& args, const Scratch& s) {
  std::vector<std::string> v;
  for (const std::string& a : args) {
    if (a == "PATCH")
      v.push_back(s.path("p.TSY"));
    else if (a == "OUT")
      v.push_back(s.path("out.wav"));
    else if (a == "NOPATCH")
      v.push_back(s.path("missing.TSY"));
    else if (a == "BADPATCH")
      v.push_back(s.path("bad.TSY"));
    else if (a == "NODIR_OUT")
      v.push_back(s.path("no/such/dir/out.wav"));
    else if (a == "DIR")
      v.push_back(s.dir());
    else
      v.push_back(a);
  }
  return v;
}

TEST(RenderCli, EveryFailureHasItsStatusAMessageAndNoFile) {
  const std::vector<FailCase> cases = {
      {"unknown option", {"--bogus", "PATCH", "OUT"}, 2, "'--bogus'"},
      {"unknown short option", {"-x", "PATCH", "OUT"}, 2, "'-x'"},
      {"event without key", {"PATCH", "OUT", "--event", "10:down"}, 2, "'10:down'"},
      {"event kind", {"PATCH", "OUT", "--event", "10:hold:z"}, 2, "'hold'"},
      {"unknown key", {"PATCH", "OUT", "--event", "0:down:p"}, 2, "'p'"},
      {"escape is no event key", {"PATCH", "OUT", "--event", "0:up:escape"}, 2, "'escape'"},
      {"negative event frame", {"PATCH", "OUT", "--event", "-3:down:z"}, 2, "'-3:down:z'"},
      {"non-numeric event frame", {"PATCH", "OUT", "--event", "x:down:z"}, 2, "'x:down:z'"},
      {"non-numeric user voice", {"PATCH", "OUT", "--event", "0:user:one"}, 2, "'one'"},
      {"negative user voice", {"PATCH", "OUT", "--event", "0:user:-1"}, 2, "'-1'"},
      {"negative frames", {"--frames", "-5", "PATCH", "OUT"}, 2, "'-5'"},
      {"non-numeric frames", {"--frames", "ten", "PATCH", "OUT"}, 2, "'ten'"},
      {"fractional frames", {"--frames", "1.5", "PATCH", "OUT"}, 2, "'1.5'"},
      {"frames past a WAV file", {"--frames", "99999999999999999999", "PATCH", "OUT"}, 2,
       "'99999999999999999999'"},
      {"negative seconds", {"--seconds", "-1", "PATCH", "OUT"}, 2, "'-1'"},
      {"seconds not a number", {"--seconds", "nan", "PATCH", "OUT"}, 2, "'nan'"},
      {"seconds with junk", {"--seconds", "2s", "PATCH", "OUT"}, 2, "'2s'"},
      {"negative seed", {"--seed", "-1", "PATCH", "OUT"}, 2, "'-1'"},
      {"seed past 32 bits", {"--seed", "4294967296", "PATCH", "OUT"}, 2, "'4294967296'"},
      {"option without value", {"PATCH", "OUT", "--frames"}, 2, "--frames"},
      {"missing OUT", {"PATCH"}, 2, "missing OUT.wav"},
      {"nothing at all", {}, 2, "missing PATCH"},
      {"extra argument", {"PATCH", "OUT", "more"}, 2, "'more'"},
      {"OUT is the patch", {"PATCH", "PATCH"}, 2, "patch file itself"},
      {"OUT is a directory", {"PATCH", "DIR"}, 2, "directory"},
      {"patch missing", {"NOPATCH", "OUT"}, 1, "cannot open patch file"},
      {"patch missing, quiet", {"--quiet", "NOPATCH", "OUT"}, 1, "cannot open patch file"},
      {"patch is a directory", {"DIR", "OUT"}, 1, "directory"},
      {"empty field in patch", {"BADPATCH", "OUT"}, 1, "Erreur, au niveau des parametre ligne [2]"},
      {"empty field, quiet", {"--quiet", "BADPATCH", "OUT"}, 1, "ligne [2]"},
      {"output directory missing", {"PATCH", "NODIR_OUT"}, 1, "cannot write"},
  };
  for (const FailCase& c : cases) {
    SCOPED_TRACE(c.name);
    Scratch s;
    spit(s.path("p.TSY"), kSineVoice);
    spit(s.path("bad.TSY"), "KEY1;\nVCO1;;*TYPE=1;\n");
    const Result r = run(expand(c.args, s));
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_TRUE(contains(r.err, c.message) || contains(r.out, c.message))
        << "stderr: " << r.err << "\nstdout tail: " << r.out.substr(r.out.size() > 400 ? r.out.size() - 400 : 0);
    if (c.status == 2) {
      EXPECT_TRUE(contains(r.err, "--help")) << "no usage hint: " << r.err;
      // One line of message, one line of hint.
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;
    }
    // Nothing but the two patches: no OUT.wav and no temporary file.
    std::vector<std::string> files = s.files();
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"bad.TSY", "p.TSY"}));
    EXPECT_EQ(slurp(s.path("p.TSY")), kSineVoice);
  }
}

TEST(RenderCli, AnInterruptedRenderLeavesNoFile) {
  Scratch s;
  spit(s.path("p.TSY"), kSineVoice);
  const std::string o = s.path("..stdout"), e = s.path("..stderr");
  // Long enough that it is still running when the signal comes.
  const pid_t pid = spawn({"--quiet", "--seconds", "20000", s.path("p.TSY"), s.path("out.wav")},
                          s.dir(), "/dev/null", "/dev/null");
  bool started = false;
  for (int i = 0; i < 500 && !started; i++) {
    for (const std::string& f : s.files())
      if (f.rfind(".out.wav.", 0) == 0) started = true;
    if (!started) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(started) << "the render never opened its temporary file";
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  kill(pid, SIGTERM);
  EXPECT_EQ(wait_status(pid), 128 + SIGTERM);
  EXPECT_EQ(s.files(), std::vector<std::string>{"p.TSY"});
}

TEST(RenderCli, LengthOptionsGiveTheFrameCount) {
  struct Case {
    std::vector<std::string> args;
    size_t frames;
  };
  const std::vector<Case> cases = {
      {{}, 220500},
      {{"--frames", "0"}, 0},
      {{"--frames", "1"}, 1},
      {{"--frames=4097"}, 4097},
      {{"--seconds", "0.5"}, 22050},
      {{"--seconds", "1e-5"}, 0},         // 0.441 frames rounds down
      {{"--seconds", "0.0000114"}, 1},    // 0.503 frames rounds up
      {{"--seconds", "1", "--frames", "7"}, 7},  // the last one given counts
      {{"--frames", "7", "--seconds", "1"}, 44100},
  };
  for (const Case& c : cases) {
    Scratch s;
    spit(s.path("p.TSY"), kSineVoice);
    std::vector<std::string> args = c.args;
    args.push_back("--quiet");
    args.push_back(s.path("p.TSY"));
    args.push_back(s.path("out.wav"));
    const Result r = run(args);
    SCOPED_TRACE(testing::PrintToString(c.args));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    const Wav w = read_wav(s.path("out.wav"));
    ASSERT_TRUE(w.ok);
    EXPECT_EQ(w.frames(), c.frames);
    EXPECT_EQ(w.channels, 2);
    EXPECT_EQ(w.rate, 44100);
    EXPECT_EQ(w.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    // The file is made as the user's umask says, not private to its owner.
    struct stat st;
    ASSERT_EQ(stat(s.path("out.wav").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0044, 0044u);
  }
}

TEST(RenderCli, OptionsMayFollowThePositionalArguments) {
  Scratch s;
  spit(s.path("p.TSY"), kSineVoice);
  const Result a = run({s.path("p.TSY"), s.path("a.wav"), "--frames", "3000", "--quiet",
                        "--event", "100:down:z"});
  const Result b = run({"--quiet", "--event=100:down:z", "--frames=3000", s.path("p.TSY"),
                        s.path("b.wav")});
  ASSERT_EQ(a.status, 0) << a.err;
  ASSERT_EQ(b.status, 0) << b.err;
  const Wav wa = read_wav(s.path("a.wav")), wb = read_wav(s.path("b.wav"));
  EXPECT_EQ(wa.samples, wb.samples);
}

TEST(RenderCli, TraceAndReportGoToStandardOutputUnlessQuiet) {
  Scratch s;
  spit(s.path("p.TSY"), kSineVoice);
  const Result loud = run({s.path("p.TSY"), s.path("a.wav"), "--frames", "10"});
  ASSERT_EQ(loud.status, 0);
  EXPECT_TRUE(contains(loud.out, "OBJET [VCO1]\nVCO\n")) << loud.out;
  EXPECT_TRUE(contains(loud.out, "[ OBJECTS ]")) << loud.out;
  const Result quiet = run({s.path("p.TSY"), s.path("b.wav"), "--frames", "10", "--quiet"});
  ASSERT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.out, "");
  EXPECT_EQ(quiet.err, "");
}

TEST(RenderCli, EventsOnMissingVoicesAreIgnoredWithAWarning) {
  Scratch s;
  // One keyboard and one amplifier: voice 0 only.
  spit(s.path("p.TSY"),
       "KEY1;\nVCO1;*TYPE=1;*AMOUNT=1;KEY1:NOTE;*NOTE=0;\nMIXER1;VCO1:IN1;\n"
       "VCA1;*ATTACK=1;*DECAY=1;*SUSTAIN=1;MIXER1:OUT;KEY1:GATE;\n");
  const Result r = run({"--quiet", s.path("p.TSY"), s.path("out.wav"), "--frames", "2000",
                        "--event", "0:down:z", "--event", "10:down:a", "--event", "20:user:7",
                        "--event", "30:up:q"});
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char* e : {"'10:down:a'", "'20:user:7'", "'30:up:q'"})
    EXPECT_TRUE(contains(r.err, e)) << r.err;
  EXPECT_FALSE(contains(r.err, "'0:down:z'")) << r.err;
  // Voice 0 still plays.
  const Wav w = read_wav(s.path("out.wav"));
  ASSERT_TRUE(w.ok);
  int16_t peak = 0;
  for (int16_t v : w.left()) peak = std::max<int16_t>(peak, v);
  EXPECT_GT(peak, 9000);
}

TEST(RenderCli, CheckListsWhatTheLoaderAndTheEvaluationWouldMeet) {
  struct Case {
    const char* name;
    std::string patch;
    int status;
    std::vector<std::string> messages;
  };
  const std::string keys = "KEY3;\nKEY2;\nKEY1;\nVCA3;\nVCA2;\n";
  const std::string amp = "VCA1;*ATTACK=1;MIXER1:OUT;KEY1:GATE;\n";
  const std::vector<Case> cases = {
      {"clean", kSineVoice, 0, {"no problems found"}},
      {"oscillator without keyboard",
       keys + "VCO1;*TYPE=1;*NOTE=0;\nMIXER1;VCO1:IN1;\n" + amp, 1,
       {"p.TSY:6: oscillator [VCO1] begins with V but has no keyboard link"}},
      {"no note offset", keys + "VCO1;*TYPE=1;KEY1:NOTE;\nMIXER1;VCO1:IN1;\n" + amp, 1,
       {"p.TSY:6: 1 oscillator begins with V but only 0 *NOTE offsets were"}},
      {"offset off the note table",
       keys + "VCO1;*TYPE=1;KEY1:NOTE;*NOTE=5000;\nMIXER1;VCO1:IN1;\n" + amp, 1,
       {"p.TSY:6: *NOTE offset 5000"}},
      {"sampler without keyboard", keys + "SAMPLER1;\nMIXER1;SAMPLER1:IN1;\n" + amp, 1,
       {"p.TSY:6: sampler [SAMPLER1] begins with S but has no keyboard link"}},
      {"sequencer-driven oscillator and sampler need no keyboard",
       keys + "VCO1;*TYPE=2;*NOTE=0;\nSAMPLER1;\nSEQUENCER1;VCO1:PITCH;SAMPLER1:HIT;\n"
              "MIXER1;VCO1:IN1;SAMPLER1:IN2;\n" + amp,
       0, {"no problems found"}},
      {"sample file missing",
       keys + "SAMPLER1;*FILE=nowhere.wav;KEY1:NOTE;\nMIXER1;SAMPLER1:IN1;\n" + amp, 1,
       {"p.TSY:6: Error load [nowhere.wav]"}},
      {"mixer input beyond its inputs",
       keys + "VCO1;*TYPE=1;KEY1:NOTE;*NOTE=0;\nMIXER1;VCO1:IN3;\n" + amp, 1,
       {"p.TSY:7: mixer [MIXER1]: word [IN3] feeds input 3 but the mixer sums only inputs 1 to 1"}},
      {"mixer word naming no input",
       keys + "VCO1;*TYPE=1;KEY1:NOTE;*NOTE=0;\nMIXER1;VCO1:X;\n" + amp, 1, {"p.TSY:7: "}},
      {"link to an undeclared module",
       keys + "VCO1;*TYPE=1;KEY1:NOTE;*NOTE=0;LFO9:MOD_FREQ;\nMIXER1;VCO1:IN1;\n" + amp, 1,
       {"p.TSY:6: ", "[LFO9]"}},
      {"two voices only",
       "KEY2;\nKEY1;\nVCA2;\nVCO1;*TYPE=1;KEY1:NOTE;*NOTE=0;\nMIXER1;VCO1:IN1;\n" + amp, 1,
       {"p.TSY:6: the keys play three voices but the patch declares 2 keyboards and 2 amplifiers"}},
      {"one voice", "KEY1;\n\n" + amp, 1, {"p.TSY:3: the keys play three voices but the patch declares 1 keyboard and 1 amplifier"}},
      {"empty field", "KEY1;\nVCO1;;*TYPE=1;\n", 1, {"p.TSY:2: Erreur, au niveau des parametre ligne [2]", "did not load"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Scratch s;
    spit(s.path("p.TSY"), c.patch);
    const Result r = run({"--check", s.path("p.TSY")}, s.dir());
    EXPECT_EQ(r.status, c.status) << r.out;
    for (const std::string& m : c.messages) EXPECT_TRUE(contains(r.out, m)) << r.out;
    // Only problems: no trace, no report.
    EXPECT_FALSE(contains(r.out, "OBJET [")) << r.out;
    EXPECT_EQ(s.files(), std::vector<std::string>{"p.TSY"});
  }
  const Result missing = run({"--check", "/nonexistent/x.TSY"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_TRUE(contains(missing.out, "cannot open patch file")) << missing.out;
}

TEST(RenderCli, HelpPrintsUsage) {
  const Result r = run({"--help"});
  EXPECT_EQ(r.status, 0);
  for (const char* w : {"--frames", "--seconds", "--seed", "--event", "--quiet", "--check"})
    EXPECT_TRUE(contains(r.out, w)) << w;
}

}  // namespace
