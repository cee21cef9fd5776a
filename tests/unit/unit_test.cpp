// What no render reaches: the note table's values, the conversion of values a
// graph never outputs (NaN, infinities), odd sample files, the splitter's corner
// cases, a full voice-operation queue, the handover from one graph to the next, and
// the patch watcher's settling.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <thread>
#include <memory>
#include <string>

#include "app/patch_watch.h"
#include "engine/generator.h"
#include "engine/note_table.h"
#include "host/player.h"
#include "host/stream_frame.h"
#include "host/voice_keys.h"
#include "patch/patch_log.h"
#include "patch/tstr_parser.h"
#include "patch/wav_reader.h"
#include "support/render.h"

namespace {

TEST(NoteTable, EqualTemperamentFromNote58At440Hz) {
  init_NOTE2FREQ();
  EXPECT_NEAR(NOTE2FREQ[58], 440.0, 1e-4);
  EXPECT_NEAR(NOTE2FREQ[46], 220.0, 1e-4);
  EXPECT_NEAR(NOTE2FREQ[70], 880.0, 1e-4);
  for (int n = 1; n < 1525; n++)  // a semitone each, to single precision
    ASSERT_NEAR(NOTE2FREQ[n] / NOTE2FREQ[n - 1], std::pow(2.0, 1.0 / 12), 1e-5) << n;
  // Every bit of every entry (the roundings decide the pitches a patch plays).
  uint64_t h = 0xcbf29ce484222325ULL;
  for (const unsigned char* b = reinterpret_cast<const unsigned char*>(NOTE2FREQ);
       b != reinterpret_cast<const unsigned char*>(NOTE2FREQ + NOTE2FREQ_SIZE); b++)
    h = (h ^ *b) * 0x100000001b3ULL;
  EXPECT_EQ(h, 0xfd5945f538ae8f95ULL);
  EXPECT_TRUE(std::isinf(NOTE2FREQ[1525]));
  EXPECT_TRUE(std::isinf(NOTE2FREQ[NOTE2FREQ_SIZE - 1]));
}

TEST(StreamConversion, TruncatesTowardZeroClampsAndMapsNaNToZero) {
  const struct { float in; short out; } rows[] = {
      {0.0f, 0},      {12.9f, 12},       {-12.9f, -12},        {0.99f, 0},
      {-0.99f, 0},    {31999.9f, 31999}, {32000.0f, 32000},    {-32000.0f, -32000},
      {std::nanf(""), 0}};
  for (const auto& r : rows) EXPECT_EQ(output_to_sample(r.in), r.out) << r.in;
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

std::string field(TSTR_PARSER& p, int n) {
  std::unique_ptr<char[]> c(p.get_champ(n));
  return c ? c.get() : "null";
}

TEST(FieldSplitter, CountsSeparatorsAndCopiesFields) {
  const struct { const char* text; char sep; int count; const char* f[4]; } rows[] = {
      {"VCO1;*FREQ=440;", ';', 2, {"null", "VCO1", "*FREQ=440", "null"}},
      {"*FREQ=440=5", '=', 2, {"null", "*FREQ", "440", "5"}},
      {"A;;B;", ';', 3, {"null", "A", "null", "B"}},
      {";A;", ';', 2, {"null", "null", "A", "null"}},
      {"ABC", ';', 0, {"null", "ABC", "null", "null"}},
      {"A B;C", ';', 1, {"null", "A B", "C", "null"}},
      {"", ';', 0, {"null", "null", "null", "null"}}};
  for (const auto& r : rows) {
    std::string text = r.text;
    TSTR_PARSER p(&text[0], r.sep);
    EXPECT_EQ(p.get_nbr_champs(), r.count) << r.text;
    for (int n = -1; n < 3; n++) EXPECT_EQ(field(p, n), r.f[n + 1]) << r.text << " field " << n;
    EXPECT_EQ(text, r.text) << "the text is never modified";
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
