// The whole patch, one sample at a time: what reaches the output, at which pitch,
// and which module is advanced how often.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "engine/generator.h"
#include "engine/note_table.h"
#include "support/tone.h"
#include "tests/support/patch_text.h"

using tevtest::load_patch_text;

namespace {

constexpr double kRate = 44100.0;

double measured_frequency(const std::vector<float>& x) {
  return tone::measure_frequency(x.data(), x.size(), kRate);
}

double cents(double f, double ref) { return tone::cents(f, ref); }

std::vector<float> render(GENERATOR& g, int samples) {
  std::vector<float> out;
  out.reserve(samples);
  for (int i = 0; i < samples; i++) {
    g.evolue();
    out.push_back(g.get_OUTL());
  }
  return out;
}

float peak(const std::vector<float>& x, size_t from = 0, size_t to = SIZE_MAX) {
  float p = 0.0f;
  for (size_t i = from; i < x.size() && i < to; i++) p = std::max(p, std::fabs(x[i]));
  return p;
}

// One V oscillator (sine) into a one-input mixer into a bypassed amplifier.
std::string sine_voice(const std::string& oscillator_line) {
  return "KEY1;\n" + oscillator_line + "\nMIXER1;VCO1:IN1;\nVCA1;*BYPASS=1;MIXER1:OUT;\n";
}

}  // namespace

TEST(GraphEvaluation, NoAmplifierGivesSilence) {
  const char* patches[] = {
      "#nothing\n",
      "KEY1;\nVCO1;*TYPE=2;*FREQ=300;KEY1:K;*NOTE=0;\nMIXER1;VCO1:IN1;\n",
      "KEY1;\nSAMPLER1;KEY1:K;\nMIXER1;SAMPLER1:IN1;\nSEQUENCER1;*DIVIDER=441;SAMPLER1:S;\n",
  };
  for (const char* text : patches) {
    SCOPED_TRACE(text);
    auto g = load_patch_text(text);
    for (SAMPLER* s : g->liste_sampler) tevtest::give_samples(s, 1000, [](int) { return 20000; });
    testing::internal::CaptureStdout();  // samplers that end say so
    const std::vector<float> out = render(*g, 2000);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(peak(out), 0.0f);
  }
}

TEST(GraphEvaluation, KeyboardOscillatorPlaysItsNoteTenThousandTimesLouder) {
  struct Row {
    int key_note;
    int offset;  // *NOTE of the oscillator line
    int sounding_note;
  };
  const Row rows[] = {{58, 0, 58}, {46, 0, 46}, {61, 0, 61}, {58, 12, 70}, {50, 12, 62}};
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << "note " << r.key_note << " *NOTE=" << r.offset);
    auto g = load_patch_text(sine_voice("VCO1;KEY1:K;*NOTE=" + std::to_string(r.offset) + ";"));
    tevtest::keyboard(*g, "KEY1")->note = r.key_note;
    const std::vector<float> out = render(*g, 44100);
    const double f = measured_frequency(out);
    EXPECT_NEAR(cents(f, NOTE2FREQ[r.sounding_note]), 0.0, 1.0) << f << " Hz";
    EXPECT_GT(peak(out), 9990.0f);
    EXPECT_LE(peak(out), 10000.0f);
  }
}

TEST(GraphEvaluation, NoteChangeIsHeardOneSampleLater) {
  auto steady = load_patch_text(sine_voice("VCO1;KEY1:K;*NOTE=0;"));
  auto changed = load_patch_text(sine_voice("VCO1;KEY1:K;*NOTE=0;"));
  tevtest::keyboard(*steady, "KEY1")->note = 58;
  tevtest::keyboard(*changed, "KEY1")->note = 58;
  const std::vector<float> a0 = render(*steady, 1000);
  const std::vector<float> b0 = render(*changed, 1000);
  ASSERT_EQ(a0, b0);

  tevtest::keyboard(*changed, "KEY1")->note = 70;
  const std::vector<float> a = render(*steady, 2);
  const std::vector<float> b = render(*changed, 2);
  EXPECT_EQ(a[0], b[0]) << "the sample computed right after the change is still the old note";
  EXPECT_NE(a[1], b[1]);
  const std::vector<float> later = render(*changed, 44100);
  EXPECT_NEAR(cents(measured_frequency(later), NOTE2FREQ[70]), 0.0, 1.0);
}

// Where the frequency of a keyboard oscillator cannot come from its keyboard, the
// oscillator keeps the one it has (its *FREQ when nothing else set it).
TEST(GraphEvaluation, KeyboardOscillatorWithoutUsableNoteKeepsItsFrequency) {
  struct Row {
    const char* what;
    std::string patch;
    int key_note;
    double hz;
  };
  const Row rows[] = {
      {"no keyboard link", sine_voice("VCO1;*FREQ=330;*NOTE=0;"), 58, 330.0},
      {"no *NOTE entry", sine_voice("VCO1;*FREQ=330;KEY1:K;"), 58, 330.0},
      {"note past the table", sine_voice("VCO1;*FREQ=330;KEY1:K;*NOTE=12;"), 1990, 330.0},
      {"negative note", sine_voice("VCO1;*FREQ=330;KEY1:K;*NOTE=0;"), -3, 330.0},
      // Entries pair with V oscillators by list position, newest first: the only
      // entry goes to VCO2, declared last, and VCO1 has none.
      {"entries fewer than oscillators",
       "KEY1;\nVCO1;*FREQ=330;KEY1:K;*NOTE=0;\nVCO2;*FREQ=330;*AMOUNT=0;KEY1:K;\n"
       "MIXER1;VCO1:IN1;\nVCA1;*BYPASS=1;MIXER1:OUT;\n",
       58, 330.0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    auto g = load_patch_text(r.patch);
    tevtest::keyboard(*g, "KEY1")->note = r.key_note;
    const std::vector<float> out = render(*g, 44100);
    EXPECT_NEAR(cents(measured_frequency(out), r.hz), 0.0, 1.0);
    EXPECT_GT(peak(out), 9990.0f);
  }
}

// A keyboard oscillator VCO1 at 440 Hz (note 58) modulated by LFO lines. What it
// actually runs at is read back from its phase advance, and its amplitude from its
// sine: the frequency must be 440 x (1 + v) and the amplitude 1 + v, v being the
// output of the modulator that acts, or 440 and 1 when none does.
TEST(GraphEvaluation, ModulationOfAKeyboardOscillator) {
  struct Row {
    const char* what;
    const char* lfos;  // LFO lines declared before VCO1
    const char* links;  // VCO1's link fields
    const char* amp_by;   // modulator whose output scales the amplitude, or null
    const char* freq_by;  // modulator whose output scales the frequency, or null
    float preset = 0.0f;  // LFO1's held output (a silent noise LFO keeps its output)
  };
  const char* sine5 = "LFO1;*TYPE=1;*FREQ=5;*AMOUNT=0.5;\n";
  const char* still_saw = "LFO1;*TYPE=2;*FREQ=0;*AMOUNT=0.5;\n";  // a constant -0.375
  const char* silent_noise = "LFO1;*TYPE=5;*AMOUNT=0;\n";
  const char* two = "LFO1;*TYPE=1;*FREQ=5;*AMOUNT=0.5;\nLFO2;*TYPE=1;*FREQ=7;*AMOUNT=0.3;\n";
  const Row rows[] = {
      {"frequency", sine5, "LFO1:MOD_FREQ;", nullptr, "LFO1"},
      {"amplitude", sine5, "LFO1:MOD_AMP;", "LFO1", nullptr},
      {"both words in one", sine5, "LFO1:MOD_AMP+MOD_FREQ;", "LFO1", "LFO1"},
      {"no keyword", sine5, "LFO1:mod_freq;", nullptr, nullptr},
      {"amplitude from a still modulator", still_saw, "LFO1:MOD_AMP;", nullptr, nullptr},
      {"frequency from a still modulator", still_saw, "LFO1:MOD_FREQ;", nullptr, "LFO1"},
      {"amplitude from a zero-amount modulator", silent_noise, "LFO1:MOD_AMP;", nullptr, nullptr,
       0.5f},
      {"frequency from a zero-amount modulator", silent_noise, "LFO1:MOD_FREQ;", nullptr, "LFO1",
       0.5f},
      // Only the source walked last acts: the first oscillator field of the line.
      {"two sources, frequency first", two, "LFO1:MOD_FREQ;LFO2:MOD_AMP;", nullptr, "LFO1"},
      {"two sources, amplitude first", two, "LFO2:MOD_AMP;LFO1:MOD_FREQ;", "LFO2", nullptr},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    auto g = load_patch_text(std::string("KEY1;\n") + r.lfos + "VCO1;" + r.links +
                             "KEY1:K;*NOTE=0;\n");
    tevtest::keyboard(*g, "KEY1")->note = 58;
    VCO* v = tevtest::vco(*g, "VCO1");
    VCO* lfo1 = tevtest::vco(*g, "LFO1");
    if (r.preset != 0.0f) lfo1->OUTL = r.preset;
    VCO* amp_by = r.amp_by ? tevtest::vco(*g, r.amp_by) : nullptr;
    VCO* freq_by = r.freq_by ? tevtest::vco(*g, r.freq_by) : nullptr;

    int amplitude_checks = 0;
    for (int n = 0; n < 20000; n++) {
      const float before = v->phase;
      g->evolue();
      double step = v->phase - before;
      if (step < 0) step += 1.0;
      const double expect_freq = freq_by ? 440.0 * (1.0 + freq_by->OUTL) : 440.0;
      ASSERT_NEAR(step * kRate, expect_freq, 0.02) << "sample " << n;
      const double s = std::sin((v->phase + 1.0) * 6.2831853);
      if (std::fabs(s) > 0.3) {
        const double expect_amp = amp_by ? 1.0 + amp_by->OUTL : 1.0;
        ASSERT_NEAR(v->OUTL / s, expect_amp, 1e-5) << "sample " << n;
        amplitude_checks++;
      }
    }
    EXPECT_GT(amplitude_checks, 10000);
    // Every source is evaluated, even one whose modulation is overwritten.
    for (VCO* lfo : g->liste_vco) {
      if (lfo != v && lfo->base_freq > 0.0f) {
        EXPECT_GT(lfo->phase, 0.0f) << lfo->name;
      }
    }
  }
}

// An S... sampler plays at base speed times its keyboard note's distance in
// semitones from note 58 (and at base speed when that distance is 0 or 1).
TEST(GraphEvaluation, SamplerSpeedFollowsItsKeyboard) {
  struct Row {
    int note;
    float base_speed;
    bool linked;
    double speed;
  };
  const Row rows[] = {{56, 1.0f, true, 2.0},  {57, 1.0f, true, 1.0},   {58, 1.0f, true, 1.0},
                      {59, 1.0f, true, 1.0},  {60, 1.0f, true, 2.0},   {68, 1.0f, true, 10.0},
                      {60, 0.5f, true, 1.0},  {68, 0.25f, true, 2.5},  {68, 3.0f, false, 3.0}};
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << "note " << r.note << " base " << r.base_speed
                                    << (r.linked ? "" : " no keyboard"));
    auto g = load_patch_text(r.linked ? "KEY1;\nSAMPLER1;KEY1:K;\n" : "KEY1;\nSAMPLER1;\n");
    SAMPLER* s = tevtest::sampler(*g, "SAMPLER1");
    // A ramp: the value played tells where in the buffer the sampler reads.
    tevtest::give_samples(s, 100000, [](int i) { return i % 32000; });
    s->base_speed = r.base_speed;
    tevtest::keyboard(*g, "KEY1")->note = r.note;
    render(*g, 10);
    const double at10 = s->get_OUTL() * 32000.0;
    render(*g, 100);
    const double at110 = s->get_OUTL() * 32000.0;
    EXPECT_NEAR((at110 - at10) / 100.0, r.speed, 0.011);
  }
}

// A sampler's gain modulated by a constant v = 0.1: an S... sampler starts from its
// base gain every sample; any other is never restored and its gain compounds.
TEST(GraphEvaluation, OnlySamplersNamedSAreRestored) {
  const std::string lfo = "LFO1;*TYPE=3;*FREQ=0;*AMOUNT=-0.4;\n";  // constant 0.1
  struct Row {
    const char* name;
    std::string patch;
    bool compounds;
  };
  const Row rows[] = {
      {"SAMPLER1", lfo + "SAMPLER1;LFO1:MOD_AMP;\n", false},
      // Evaluated only as a modulator (the word does nothing to VCO9).
      {"XSAMPLER1", lfo + "XSAMPLER1;LFO1:MOD_AMP;\nVCO9;XSAMPLER1:NONE;\n", true},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    auto g = load_patch_text(r.patch);
    SAMPLER* s = tevtest::sampler(*g, r.name);
    tevtest::give_samples(s, 100000, [](int) { return 16000; });  // 0.5 at gain 1
    for (int n = 1; n <= 40; n++) {
      g->evolue();
      const double gain = r.compounds ? std::pow(1.1, n) : 1.1;
      ASSERT_NEAR(s->get_OUTL(), 0.5 * gain, 1e-5 * gain) << "sample " << n;
    }
  }
}

// How often each kind of module advances per sample, seen from its own clock.
TEST(GraphEvaluation, EvaluationCounts) {
  struct Row {
    const char* what;
    const char* patch;
    const char* module;
    double per_sample;  // phase (cycles) for oscillators, position for samplers
  };
  const Row rows[] = {
      {"V oscillator", "VCO1;*FREQ=441;\n", "VCO1", 0.01},
      {"V oscillator that also modulates", "VCO1;*FREQ=441;\nVCO2;VCO1:MOD_FREQ;\n", "VCO1", 0.02},
      {"V oscillator modulating a sampler", "VCO1;*FREQ=441;\nSAMPLER1;VCO1:NONE;\n", "VCO1", 0.02},
      {"unlinked LFO", "LFO1;*FREQ=441;\n", "LFO1", 0.0},
      {"LFO into a mixer only", "LFO1;*FREQ=441;\nMIXER1;LFO1:IN1;\n", "LFO1", 0.0},
      {"LFO modulating one oscillator", "LFO1;*FREQ=441;\nVCO1;LFO1:NONE;\n", "LFO1", 0.01},
      {"LFO modulating two oscillators", "LFO1;*FREQ=441;\nVCO1;LFO1:NONE;\nVCO2;LFO1:NONE;\n",
       "LFO1", 0.02},
      {"S sampler", "SAMPLER1;\n", "SAMPLER1", 1.0},
      {"S sampler that also modulates", "SAMPLER1;\nLFO1;SAMPLER1:NONE;\n", "SAMPLER1", 2.0},
      {"other sampler", "XSAMPLER1;\n", "XSAMPLER1", 0.0},
      {"other sampler that modulates", "XSAMPLER1;\nLFO1;XSAMPLER1:NONE;\n", "XSAMPLER1", 1.0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    auto g = load_patch_text(r.patch);
    for (SAMPLER* s : g->liste_sampler) tevtest::give_samples(s, 100000, [](int) { return 1; });
    render(*g, 10);
    if (VCO* o = tevtest::vco(*g, r.module)) {
      EXPECT_NEAR(o->phase, 10 * r.per_sample, 1e-5);
    } else {
      SAMPLER* s = tevtest::sampler(*g, r.module);
      ASSERT_NE(s, nullptr);
      EXPECT_FLOAT_EQ(s->position, static_cast<float>(10 * r.per_sample));
    }
  }
}

// A sequencer steps once per evaluation: driving oscillators and samplers it is
// evaluated twice per sample and its steps last half as long.
TEST(GraphEvaluation, SequencerStepLengthDependsOnWhatItDrives) {
  struct Row {
    const char* links;
    int step_samples;  // 0: never steps
  };
  const Row rows[] = {{"VCO1:S;", 22050},
                      {"SAMPLER1:S;", 22050},
                      {"VCO1:S;SAMPLER1:S;", 11025},
                      {"VCA1:S;", 0}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.links);
    auto g = load_patch_text(std::string("VCO1;*FREQ=100;\nSAMPLER1;\nVCA1;\nSEQUENCER1;*DIVIDER=2;") +
                             r.links + "\n");
    tevtest::give_samples(tevtest::sampler(*g, "SAMPLER1"), 1000000, [](int) { return 1; });
    SEQUENCER* s = tevtest::sequencer(*g, "SEQUENCER1");
    std::vector<int> changes;
    int step = s->step;
    for (int n = 1; n <= 45000; n++) {
      g->evolue();
      if (s->step != step) changes.push_back(n);
      step = s->step;
    }
    std::vector<int> expected;
    if (r.step_samples)
      for (int n = r.step_samples; n <= 45000; n += r.step_samples) expected.push_back(n);
    EXPECT_EQ(changes, expected);
  }
}

// Samplers are triggered by the step change that the sequencer's previous
// evaluation made; with two evaluations per sample and an odd step length, only
// every second step change is seen, so only every second step triggers.
TEST(GraphEvaluation, SequencerTriggersItsSamplers) {
  struct Row {
    const char* what;
    const char* patch_tail;
    std::vector<int> step_changes;
    std::vector<int> triggers;
  };
  const Row rows[] = {
      {"samplers only, divider 4", "SEQUENCER1;*DIVIDER=4;SAMPLER1:S;\n", {11025, 22050},
       {11026, 22051}},
      {"with oscillators, divider 2", "SEQUENCER1;*DIVIDER=2;VCO1:S;SAMPLER1:S;\n", {11025, 22050},
       {11026, 22051}},
      {"with oscillators, divider 4", "SEQUENCER1;*DIVIDER=4;VCO1:S;SAMPLER1:S;\n",
       {5513, 11025, 16538, 22050}, {11026, 22051}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    auto g = load_patch_text(std::string("VCO1;*FREQ=100;\nSAMPLER1;\n") + r.patch_tail);
    SAMPLER* p = tevtest::sampler(*g, "SAMPLER1");
    tevtest::give_samples(p, 100, [](int) { return 8000; });  // plays 200 samples
    SEQUENCER* s = tevtest::sequencer(*g, "SEQUENCER1");
    for (int& n : s->notes) n = 60;
    std::vector<int> changes, triggers;
    int step = s->step;
    bool playing = true;
    take_finished_playbacks();
    for (int n = 1; n <= 23000; n++) {
      g->evolue();
      if (s->step != step) changes.push_back(n);
      step = s->step;
      const bool now = p->get_OUTL() != 0.0f;
      if (now && !playing) triggers.push_back(n);
      playing = now;
    }
    EXPECT_EQ(changes, r.step_changes);
    EXPECT_EQ(triggers, r.triggers);
    EXPECT_GT(take_finished_playbacks(), 0u);
  }
}

// A rest silences the V oscillator a sequencer drives, unless the oscillator is
// modulated by another (whose pass restores its amplitude). The sequencer steps
// every 441 samples: step 1 (note 60) sounds over samples 442..882, step 2 (a
// rest) over 883..1323, step 0 (note 60) from 1324. out[i] is sample i + 1.
TEST(GraphEvaluation, SequencerRestSilencesItsOscillator) {
  struct Row {
    const char* what;
    const char* modulator;
    const char* links;
    bool rest_silent;
  };
  const Row rows[] = {
      {"plain", "", "", true},
      {"modulated oscillator", "LFO1;*AMOUNT=0;\n", "LFO1:MOD_FREQ;", false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    auto g = load_patch_text(std::string(r.modulator) + "VCO1;*FREQ=100;" + r.links +
                             "\nSEQUENCER1;*DIVIDER=100;*NBR_STEP=3;*NOTE_0=60;*NOTE_1=60;"
                             "*NOTE_2=0;VCO1:S;\nMIXER1;VCO1:IN1;\nVCA1;*BYPASS=1;MIXER1:OUT;\n");
    const std::vector<float> out = render(*g, 1764);
    EXPECT_GT(peak(out, 445, 882), 9000.0f) << "the note of step 1 sounds";
    if (r.rest_silent) {
      EXPECT_EQ(peak(out, 882, 1323), 0.0f);
    } else {
      EXPECT_GT(peak(out, 882, 1323), 100.0f);
    }
    EXPECT_GT(peak(out, 1330, 1764), 9000.0f) << "the note of step 0 sounds again";
    const std::vector<float> step1(out.begin() + 445, out.begin() + 882);
    EXPECT_NEAR(cents(measured_frequency(step1), NOTE2FREQ[60]), 0.0, 1.0);
  }
}

// A keyboard oscillator that a sequencer drives plays the sequencer's note.
TEST(GraphEvaluation, SequencerNoteOverridesTheKeyboard) {
  auto g = load_patch_text(
      "KEY1;\nVCO1;KEY1:K;*NOTE=0;\nSEQUENCER1;*DIVIDER=2;*NBR_STEP=2;*NOTE_0=46;*NOTE_1=46;"
      "VCO1:S;\nMIXER1;VCO1:IN1;\nVCA1;*BYPASS=1;MIXER1:OUT;\n");
  tevtest::keyboard(*g, "KEY1")->note = 58;
  render(*g, 22050);
  EXPECT_NEAR(cents(measured_frequency(render(*g, 20000)), NOTE2FREQ[46]), 0.0, 1.0);
}

// Oscillator V1 gives a constant -0.3 and V2 -0.6 (still saws); S1 plays 0.5.
TEST(GraphEvaluation, MixerInputWords) {
  struct Row {
    const char* mixer_line;
    float output;
    int problems = 0;  // words that name no input are pointed out at load time
  };
  const Row rows[] = {
      {"MIXER1;VCO1:IN1;", -3000.0f},
      {"MIXER1;VCO1:IN3;", 0.0f},  // one input: only input 1 is summed
      {"MIXER1;VCO1:INH;", 0.0f},  // 'H' - '0' is 24
      {"MIXER1;VCO1:IN0;", 0.0f, 1},
      {"MIXER1;VCO1:IN;", 0.0f, 1},
      {"MIXER1;VCO1:OUT25;", 0.0f, 1},
      {"MIXER1;VCO1:IN1;VCO2:IN2;", -4500.0f},
      {"MIXER1;VCO1:IN2;VCO2:IN1;", -4500.0f},
      // Both into input 1: the first field of the line is stored last.
      {"MIXER1;VCO1:IN1;VCO2:IN1;", -1500.0f},
      {"MIXER1;VCO2:IN1;VCO1:IN1;", -3000.0f},
      // Two oscillators and a sampler: 10000 / 3 = 3333 each.
      {"MIXER1;VCO1:IN1;VCO2:IN2;SAMPLER1:IN3;", 3333.0f * -0.4f},
      {"MIXER1;SAMPLER1:IN1;VCO1:IN2;VCO2:IN3;", 3333.0f * -0.4f},
      {"MIXER1;SAMPLER1:IN1;", 5000.0f},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.mixer_line);
    auto g = load_patch_text(std::string("VCO1;*TYPE=2;*FREQ=0;*AMOUNT=0.4;\n"
                                         "VCO2;*TYPE=2;*FREQ=0;*AMOUNT=0.8;\nSAMPLER1;\n") +
                             r.mixer_line + "\nVCA1;*BYPASS=1;MIXER1:OUT;\n",
                             r.problems);
    tevtest::give_samples(tevtest::sampler(*g, "SAMPLER1"), 1000, [](int) { return 16000; });
    const std::vector<float> out = render(*g, 5);
    for (float v : out) EXPECT_NEAR(v, r.output, 0.05);
  }
}

TEST(GraphEvaluation, AmplifiersAreSummedAndTheSumClamped) {
  struct Row {
    const char* amplifiers;
    float output;
  };
  const Row rows[] = {
      {"VCA1;*BYPASS=1;MIXER1:OUT;\n", -3000.0f},
      {"VCA1;*BYPASS=1;MIXER1:OUT;\nVCA2;*BYPASS=1;MIXER1:OUT;\n", -6000.0f},
      {"VCA1;*BYPASS=1;MIXER1:OUT;\nVCA2;MIXER1:OUT;\n", -3000.0f},  // never triggered
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.amplifiers);
    auto g = load_patch_text(std::string("VCO1;*TYPE=2;*FREQ=0;*AMOUNT=0.4;\nMIXER1;VCO1:IN1;\n") +
                             r.amplifiers);
    for (float v : render(*g, 5)) EXPECT_NEAR(v, r.output, 0.05);
  }
  // Far past the clamp: +-32000 at most.
  auto loud = load_patch_text(
      "VCO1;*TYPE=2;*FREQ=0;*AMOUNT=40;\nMIXER1;VCO1:IN1;\nVCA1;*BYPASS=1;MIXER1:OUT;\n");
  for (float v : render(*loud, 3)) EXPECT_EQ(v, -32000.0f);
}

// Amplifiers restart on the gate their sequencer's latest evaluation left: the
// evaluation that starts a step and the one after it. A sequencer that drives
// only amplifiers is never evaluated and never restarts them. Steps last 100
// evaluations.
TEST(GraphEvaluation, SequencerRestartsItsAmplifiers) {
  struct Row {
    const char* links;
    std::vector<int> restarts;  // samples on which the envelope starts again
  };
  const Row rows[] = {
      {"VCO1:S;VCA1:S;", {2, 101, 102, 201, 202}},
      // Evaluated twice per sample: the gate of the pass that samplers use wins.
      {"VCO1:S;SAMPLER1:S;VCA1:S;", {1, 51, 101, 151, 201}},
      {"VCA1:S;", {}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.links);
    auto g = load_patch_text(std::string("VCO1;*FREQ=100;\nSAMPLER1;\nVCA1;\n"
                                         "SEQUENCER1;*DIVIDER=441;") + r.links + "\n");
    tevtest::give_samples(tevtest::sampler(*g, "SAMPLER1"), 100000, [](int) { return 1; });
    for (int& n : tevtest::sequencer(*g, "SEQUENCER1")->notes) n = 60;
    VCA* a = tevtest::vca(*g, "VCA1");
    std::vector<int> restarts;
    for (int n = 1; n <= 250; n++) {
      g->evolue();
      if (a->elapsed == 0.005f) restarts.push_back(n);  // one envelope step since TRIG
    }
    EXPECT_EQ(restarts, r.restarts);
  }
}
