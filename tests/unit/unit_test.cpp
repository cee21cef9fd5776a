// What no render reaches: the note table's values, the conversion of values a
// graph never outputs (NaN, infinities), odd sample files, a full voice-operation
// queue, the handover from one graph to the next, and the lane kernels: exact at
// every width, their sine certificate where it must be, and the patch watcher's
// settling.
#include <expat.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cfloat>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <memory>
#include <regex>
#include <sstream>
#include <string>

#include "app/patch_watch.h"
#include "engine/fast_sine.h"
#include "engine/generator.h"
#include "engine/lanes.h"
#include "engine/note_table.h"
#include "engine/run_ops.h"
#include "app/convert_sample.h"
#include "app/patch_graph.h"
#include "host/player.h"
#include "host/stream_frame.h"
#include "host/voice_keys.h"
#include "patch/check.h"
#include "patch/patch_log.h"
#include "patch/sample_check.h"
#include "patch/wav_reader.h"
#include "support/render.h"

namespace {

TEST(NoteTable, EqualTemperamentFromNote58At440Hz) {
  init_NOTE2FREQ();
  EXPECT_NEAR(NOTE2FREQ[58], 440.0, 1e-4);
  // Every bit of every entry, the infinities past the last note included (the
  // roundings decide the pitches a patch plays).
  EXPECT_EQ(tevtest::fnv1a(NOTE2FREQ, NOTE2FREQ_SIZE * sizeof NOTE2FREQ[0]), 0xfd5945f538ae8f95ULL);
}

TEST(StreamConversion, TruncatesTowardZeroClampsAndMapsNaNToZero) {
  const struct { float in; short out; } rows[] = {
      {0.0f, 0},      {12.9f, 12},       {-12.9f, -12},        {0.99f, 0},
      {-0.99f, 0},    {31999.9f, 31999}, {32000.0f, 32000},    {-32000.0f, -32000},
      {std::nanf(""), 0}, {3e9f, -1},         {-3e9f, 0},          {2147483520.0f, -128},
      {-2147483648.0f, 0}, {INFINITY, -1},   {-INFINITY, 0}};
  for (const auto& r : rows) {
    EXPECT_EQ(output_to_sample(r.in), r.out) << r.in;
    if (std::fabs(r.in) > 32000.0f) continue;  // not a graph's clamped output
    short lr[2] = {7, 7};
    write_clamped_frame(reinterpret_cast<unsigned char*>(lr), 0, r.in);
    EXPECT_TRUE(lr[0] == r.out && lr[1] == r.out) << r.in;
  }
  // The modules' clamp passes NaN and -0 bit for bit.
  for (float v : {std::nanf(""), -std::nanf(""), -0.0f, 31999.998f, -32000.0f}) {
    const float c = OUTPUT::clamped(v);
    float c4[4];
    run4::store4f(c4, run4::clamp4f(run4::set4f(v)));  // a run's, four at a time
    EXPECT_EQ(std::memcmp(&c, &v, sizeof c), 0) << v;
    EXPECT_EQ(std::memcmp(c4 + 3, &v, sizeof c), 0) << v;
  }
  EXPECT_EQ(OUTPUT::clamped(32000.004f), 32000.0f);
  EXPECT_EQ(OUTPUT::clamped(-INFINITY), -32000.0f);
}

TEST(WavReader, OddFilesCopyWhatTheyHoldAndSaySo) {
  // Headers whose data chunk claims three 16-bit values: 30 bytes of one, and a
  // whole one followed by a single value.
  const std::string tiny = TEV_UNIT_DIR "/header_only_part.wav", cut = TEV_UNIT_DIR "/cut_short.wav";
  const struct { std::string path, message; size_t copied; } rows[] = {
      {"/nonexistent/x.wav", "Error load [/nonexistent/x.wav]\n", 0},
      {"/tmp", "Error load [/tmp]: not a regular file\n", 0},
      {tiny, "Error load [" + tiny + "]: file ends inside its 44-byte header\n", 0},
      {cut, "", 2}};
  for (const auto& r : rows) {
    short buf[4] = {0x5a5a, 0x5a5a, 0x5a5a, 0x5a5a};
    testing::internal::CaptureStdout();
    EXPECT_EQ(LoadToWav(buf, r.path.c_str()), r.copied) << r.path;
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), r.message);
    EXPECT_EQ(buf[0], r.copied ? 0x0201 : 0x5a5a) << "the bytes as stored";
    EXPECT_EQ(buf[r.copied / 2], 0x5a5a) << "nothing past what the file holds";
  }
}

TEST(VoiceOps, QueueTakesAWholeEventOrNothingAndAppliesInOrder) {
  static VoiceOpQueue q;  // 12 KiB: not on the stack
  const VoiceOp note60{VoiceOp::SetNote, 0, 60}, note61{VoiceOp::SetNote, 0, 61};
  for (size_t i = 0; i + 3 < VoiceOpQueue::kSize; i++) ASSERT_TRUE(q.push(&note60, 1));
  const VoiceOp five[5] = {note61, note61, note61, note61, note61};
  EXPECT_FALSE(q.push(five, 5)) << "three places left";
  const VoiceOp three[3] = {note60, note60, note61};
  EXPECT_TRUE(q.push(three, 3));
  EXPECT_FALSE(q.push(&note60, 1));
  testing::internal::CaptureStdout();
  GENERATOR g(TEV_CASES_DIR "/waveforms/sine_voice.TSY");
  testing::internal::GetCapturedStdout();
  q.drain(g);
  EXPECT_EQ(g.liste_keyboard[0]->note, 61);
  EXPECT_TRUE(q.push(five, 5)) << "drained";
}

// Voices 0, 1 and 2 (keys z, a and q): a sine, a saw and a pulse.
const std::string kThreeVoices = tevtest::slurp(TEV_CASES_DIR "/keys/three_voices.TSY");

std::unique_ptr<GENERATOR> three_voices() {
  PatchLog log(PatchLog::kDrop);
  return load_patch_text("three_voices.tsy", kThreeVoices, log);
}

void press(Player& p, int key) {
  VoiceOp ops[kMaxOpsPerEvent];
  ASSERT_TRUE(p.push_keys(ops, key_press_ops(p.graph(), key, ops)));
}

short left(const std::vector<short>& v, int frame) { return v[2 * static_cast<size_t>(frame)]; }

TEST(Handover, FadesOutTheOldGraphOverTenMilliseconds) {
  // The old graph holds the pulse (voice 2); the new one is silent, so the fade's
  // frames are the old graph's scaled by 1 - w.
  constexpr int kBefore = 1522, kAfter = 1000;  // the pulse at +-10000 at the rows below
  const std::vector<short> alone = tevtest::render(kThreeVoices, {{0, 'q', true}}, kBefore + kAfter);
  Player p(three_voices());
  press(p, 'q');
  std::vector<short> out(2 * (kBefore + kAfter));
  p.render(out.data(), kBefore);
  std::unique_ptr<GENERATOR> next = three_voices();
  ASSERT_TRUE(p.offer(next, nullptr, 0));
  p.render(&out[2 * kBefore], kAfter);
  // The first frame, the middle one (4.99 ms in) and the last (9.98 ms in).
  const struct { int frame; double new_weight; } rows[] = {
      {0, 1.0 / 442}, {220, 221.0 / 442}, {440, 441.0 / 442}};
  for (const auto& r : rows) {
    const int f = kBefore + r.frame;
    SCOPED_TRACE(testing::Message() << r.frame / 44.1 << " ms into the fade");
    ASSERT_GT(std::abs(left(alone, f)), 1000) << "too quiet to show the weight";
    EXPECT_NEAR(left(out, f), left(alone, f) * (1 - r.new_weight), 1.0);
  }
  for (int f = kBefore + Player::kFadeFrames; f < kBefore + kAfter; f++)
    ASSERT_EQ(left(out, f), 0) << "frame " << f << ": the old graph still heard after 10 ms";
}

TEST(Handover, OldOperationsBeforeTheSwitchHeldKeysAfterOldGraphBackOnce) {
  Player p(three_voices());
  const GENERATOR* first = &p.graph();
  press(p, 'z');  // queued for the old graph
  std::unique_ptr<GENERATOR> next = three_voices(), old;
  VoiceOp held[kMaxOpsPerEvent];
  const int n = key_press_ops(*next, 'q', held);
  ASSERT_TRUE(p.offer(next, held, n));
  ASSERT_FALSE(p.offer(next, held, n)) << "one handover at a time";
  press(p, 'a');  // made for the new graph before it is taken: kept back
  EXPECT_EQ(p.voices(), voices_present(p.graph()));
  std::vector<short> buf(2 * 64);
  for (int frames = 64; frames <= 20 * 64; frames += 64) {
    p.render(buf.data(), 64);
    if (std::unique_ptr<GENERATOR> g = p.retired()) {
      EXPECT_TRUE(!old && frames >= Player::kFadeFrames) << "given back twice or before the fade ended";
      old = std::move(g);
    }
  }
  ASSERT_EQ(old.get(), first);
  EXPECT_FALSE(p.busy());
  EXPECT_EQ(gen, &p.graph());
  for (int v = 0; v < 3; v++) {
    EXPECT_EQ(old->liste_keyboard[v]->pressed, v == 0) << "old graph, voice " << v;
    EXPECT_EQ(p.graph().liste_keyboard[v]->pressed, v != 0) << "new graph, voice " << v;
  }
  // A player that goes with a handover under way frees every graph (the sanitizer
  // stage sees a leak or a double free).
  Player q(three_voices());
  std::unique_ptr<GENERATOR> unplayed = three_voices();
  ASSERT_TRUE(q.offer(unplayed, nullptr, 0));
}

// The <g class="node|edge"> elements of an SVG file; -1 when it is no well-formed XML.
std::pair<int, int> svg_nodes_and_edges(const std::string& path) {
  std::stringstream svg;
  svg << std::ifstream(path).rdbuf();
  std::pair<int, int> count{0, 0};
  XML_Parser p = XML_ParserCreate(nullptr);
  XML_SetUserData(p, &count);
  XML_SetStartElementHandler(p, [](void* data, const XML_Char* name, const XML_Char** attr) {
    auto* n = static_cast<std::pair<int, int>*>(data);
    for (int i = 0; std::string(name) == "g" && attr[i]; i += 2)
      if (std::string(attr[i]) == "class") {
        n->first += std::string(attr[i + 1]) == "node";
        n->second += std::string(attr[i + 1]) == "edge";
      }
  });
  const bool ok = XML_Parse(p, svg.str().data(), static_cast<int>(svg.str().size()), 1);
  XML_ParserFree(p);
  return ok ? count : std::make_pair(-1, -1);
}

// Every patch shipped or tested with: each finding a line editors' error parsers
// take; the shipped ones free of errors and warnings; a picture with one node per
// module and one edge per link.
TEST(PatchCheck, FindingsReadAsCompilerLinesShippedPatchesAreCleanAndEveryPatchDraws) {
  const std::regex form("[^:]+:[0-9]+:[0-9]+: (error|warning|note): .+");
  const std::string cwd = std::filesystem::current_path();
  const std::string svg = std::filesystem::temp_directory_path() / "tev-unit-patch.svg";
  for (const char* dir : {TEV_PATCHES_DIR, TEV_CASES_DIR}) {
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
      if (e.path().extension() != ".TSY") continue;
      // Sample paths are relative to the working directory.
      std::filesystem::current_path(e.path().parent_path());
      std::stringstream text;
      text << std::ifstream(e.path()).rdbuf();
      PatchLog log(PatchLog::kDrop);
      const std::string name = e.path().filename();
      auto g = load_patch_text(name.c_str(), text.str(), log);
      const PatchCheck c = check_patch(text.str(), *g, log);
      std::istringstream lines(format_check(name, c));
      std::string line;
      for (size_t i = 0; i < c.findings.size() && std::getline(lines, line); i++)
        EXPECT_TRUE(std::regex_match(line, form)) << line;
      if (dir == std::string(TEV_PATCHES_DIR)) {
        EXPECT_EQ(c.errors + c.warnings, 0) << format_check(name, c);
      }
      std::string why;
      ASSERT_TRUE(draw_patch(*g, log, c, svg, &why)) << why;
      const size_t modules = g->liste_vco.size() + g->liste_vca.size() + g->liste_mixer.size() +
                             g->liste_keyboard.size() + g->liste_sampler.size() +
                             g->liste_sequencer.size();
      EXPECT_EQ(svg_nodes_and_edges(svg),
                std::make_pair(static_cast<int>(modules), static_cast<int>(log.links().size())))
          << name;
    }
  }
  std::filesystem::current_path(cwd);
  std::filesystem::remove(svg);
}

// 64 frames of 48 kHz stereo 24-bit become 58 whole frames (64 x 44100 / 48000 =
// 58.8) of 44.1 kHz mono 16-bit, as the sampler reads them: nothing left for the check to say.
TEST(PatchCheck, ConvertedSampleIsWhatTheSamplerReads) {
  const std::string out = std::filesystem::temp_directory_path() / "tev-unit-converted.wav";
  std::string why;
  ASSERT_TRUE(convert_sample(TEV_CASES_DIR "/check/kick48.wav", out, &why)) << why;
  EXPECT_TRUE(check_sample(out).empty());
  EXPECT_EQ(std::filesystem::file_size(out), 44u + 2 * 58);
  EXPECT_FALSE(check_sample(TEV_CASES_DIR "/check/kick48.wav").empty());
  std::filesystem::remove(out);
}

// Every oscillator's output and phase, and the patch's signal, bit for bit the same
// whatever the lane width: 17 sines take four groups of 4 and one left over (or, with
// TEV_LANES=8 where AVX-512 runs, two of 8 and one), among every other waveform, a
// chain and a sequencer target; 12 oscillator-mixer-amplifier chains, amplifiers in
// every stage; 13 whole voices among 9 chains that are not (each kind with a
// remainder at 4 and 8 lanes), every module's state read back through sync_lanes;
// 11 whole voices alone, 25 samples a call (several at once where all are steady);
// and each kind of retune (what the graph leaves out of pass 8 must read back as if it
// were written), the keys' notes changed halfway. The hashes are the state a retune
// of every field every sample leaves.
class Lanes : public testing::TestWithParam<std::pair<const char*, uint64_t>> {};
INSTANTIATE_TEST_SUITE_P(Patches, Lanes,
                         testing::Values(std::make_pair("sines_17", 0x8af0a01f0b346d47ULL),
                                         std::make_pair("chains_12", 0xc90bb6ca3a4689b6ULL),
                                         std::make_pair("voices_13", 0x7e097d2a35e3d769ULL),
                                         std::make_pair("voices_only_11", 0xaea203bd697ff9d8ULL),
                                         std::make_pair("retunes_7", 0x4a3be193d300a33cULL),
                                         std::make_pair("runs_mixed", 0xc7e12a9b3dda0ca3ULL)));
TEST_P(Lanes, EveryWidthGivesTheScalarBits) {
  const uint64_t want = GetParam().second;
  init_NOTE2FREQ();  // the retunes read it
  const std::string path = std::string(TEV_CASES_DIR "/lanes/") + GetParam().first + ".TSY";
  for (SineKernel k : {SineKernel::Scalar, SineKernel::Sse2, SineKernel::Avx2, SineKernel::Avx512}) {
    if (!sine_kernel_runs(k)) continue;
    const SineKernel was = sine_kernel();
    set_sine_kernel(k);
    if (k == SineKernel::Avx512) setenv("TEV_LANES", "8", 1);  // else 4 lanes
    std::srand(1);  // the keyboards draw their notes
    testing::internal::CaptureStdout();
    GENERATOR g(path.c_str());
    testing::internal::GetCapturedStdout();
    for (KEYBOARD* kb : g.liste_keyboard) kb->TRIG();
    for (VCA* a : g.liste_vca) a->TRIG();
    uint64_t h = 0xcbf29ce484222325ULL;
    auto mix = [&h](float f) { h = tevtest::fnv1a(&f, sizeof f, h); };
    const char* name = GetParam().first;
  const int chunk = std::strcmp(name, "voices_only_11") == 0 || std::strcmp(name, "runs_mixed") == 0 ? 25 : 1;
    float out[25];
    for (int i = 0; i < 20000; i += chunk) {
      if (i == 12000)
        for (VCA* a : g.liste_vca) a->UNTRIG();
      g.evolue_frames(out, chunk);
      if (i == 6000) g.prepare();  // again, while playing
      if (i == 9000)
        for (KEYBOARD* kb : g.liste_keyboard) kb->note += 5;
      g.sync_lanes();  // the voices side by side keep their state in the graph
      for (int j = 0; j < chunk; j++) mix(out[j]);
      for (VCO* o : g.liste_vco)
        for (float f : {o->OUTL, o->phase, o->amount, o->freq, o->base_freq, o->phase_offset}) mix(f);
      for (VCA* a : g.liste_vca) mix(a->OUTL), mix(a->elapsed), mix(a->input);
      for (MIXER* m : g.liste_mixer) mix(m->OUTL), mix(m->inputs[0]), mix(m->inputs[1]);
    }
    set_sine_kernel(was);  // only now: prepare() and the sines above use this width
    unsetenv("TEV_LANES");
    EXPECT_EQ(h, want) << sine_kernel_name(k) << std::hex << " " << h;
  }
}

// The certificate against the exact test, on products p near the midpoint m of two
// floats, moved by whole double steps: it must fall back whenever p's error bound
// (6 x 2^-52 |p|) reaches m, and accept whenever its margin (2^-48 |p|, plus the one
// rounding of p -+ margin) does not. Zeros, tiny values, infinities and NaN fall back.
TEST(Lanes, CertificateFallsBackExactlyWhereRoundingIsUncertain) {
  for (int w : {4, 8}) {
    if (!sine_kernel_runs(w == 4 ? SineKernel::Avx2 : SineKernel::Avx512)) continue;
    auto certain = [w](double p) {
      double v[8] = {p, p, p, p, p, p, p, p};
      return (w == 4 ? sine_certain_4(v) : sine_certain_8(v)) & 1u;
    };
    for (float f : {1.0f, 0.7f, -0.3f, 0.999f, 3e-30f, -2e30f, FLT_MIN}) {
      const double m = (static_cast<double>(f) + std::nextafterf(f, INFINITY)) / 2;
      double p = m;
      for (int k = 0; k < 40; k++) p = std::nextafter(p, -INFINITY);
      for (int k = -40; k <= 40; k++, p = std::nextafter(p, INFINITY)) {
        const double off = std::fabs(p - m), ulp = std::nextafter(std::fabs(p), INFINITY) - std::fabs(p);
        if (off <= std::fabs(p) * 0x1.8p-50) {
          EXPECT_FALSE(certain(p)) << f << " " << k;
        } else if (off > std::fabs(p) * 0x1p-48 + ulp) {
          EXPECT_TRUE(certain(p)) << f << " " << k;
        }
      }
      EXPECT_TRUE(certain(f)) << f;
    }
    for (double p : {0.0, -0.0, 1e-305, -0x1p-1001, HUGE_VAL, -HUGE_VAL, std::nan("")})
      EXPECT_FALSE(certain(p)) << p;
  }
}

TEST(PatchWatch, ASaveWrittenInPartsIsReadOnceWholeAfterTheLastPart) {
  using Clock = std::chrono::steady_clock;
  char dir[] = "/tmp/tev-watch.XXXXXX";
  ASSERT_TRUE(mkdtemp(dir));
  const std::string path = std::string(dir) + "/live.tsy", whole = "KEY1;\nVCO1;KEY1:NOTE;\n";  // 22 bytes
  // Three parts 30 ms apart, polled as the main loop polls; a try where the machine
  // stalled a part near the settle time proves nothing and is made again.
  for (int attempt = 0; attempt < 3; attempt++) {
    PatchWatch w;
    ASSERT_TRUE(w.start(path));
    FILE* f = std::fopen(path.c_str(), "w");
    std::string read_at_load;
    bool stalled = false;
    int loads = 0;
    for (size_t part = 0; part < 4; part++) {
      const Clock::time_point written = Clock::now();
      if (part < 3) std::fputs(whole.substr(part * 7, part < 2 ? 7 : 8).c_str(), f), std::fflush(f);
      if (part == 2) std::fclose(f);
      while (Clock::now() - written < (part < 3 ? std::chrono::milliseconds(30) : 3 * PatchWatch::kSettle)) {
        if (w.settled() && ++loads) read_at_load = tevtest::slurp(path);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
      stalled |= Clock::now() - written > PatchWatch::kSettle * 3 / 4 && part < 3;
    }
    if (stalled && attempt < 2) continue;
    EXPECT_EQ(loads, 1);
    EXPECT_EQ(read_at_load, whole);
    break;
  }
  std::remove(path.c_str());
  rmdir(dir);
}

}  // namespace
