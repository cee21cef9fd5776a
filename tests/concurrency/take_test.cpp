// A take written while the audio thread hands over frames and operations: every
// frame reaches the WAV in order across the ring's end, each event gets its form
// in the keys file, and what does not fit is dropped and said, never waited for.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "host/take.h"

TEST(TakeWriter, FramesInOrderEventFormsAndDrops) {
  char tmpl[] = "/tmp/tev-take.XXXXXX";
  const std::string dir = mkdtemp(tmpl), wav = dir + "/t.wav";
  Take take, refused;
  std::string why;
  std::ofstream(dir + "/t.keys") << "KEY_Z;";  // the patch to play is never written over
  EXPECT_FALSE(refused.open(wav, dir + "/t.keys", &why));
  ASSERT_TRUE(take.open(wav, "p.tsy", &why)) << why;
  // 220 blocks of 3000 frames pass the ring's end, one of them across it; frame f holds f % 32749 on both sides.
  constexpr int kBlock = 3000, kBlocks = 220;
  const VoiceOp z_down[] = {{VoiceOp::SetNote, 0, 58}, {VoiceOp::KeyboardTrig, 0, 0}, {VoiceOp::VcaTrig, 0, 0}},
                release1[] = {{VoiceOp::KeyboardUntrig, 1, 0}, {VoiceOp::VcaUntrig, 1, 0}},
                on1[] = {{VoiceOp::SetNote, 1, 51}, {VoiceOp::KeyboardTrig, 1, 0}, {VoiceOp::VcaTrig, 1, 0}},
                ret_up = {VoiceOp::VcaUntrig, 0, 0};
  std::thread audio([&] {
    std::vector<int16_t> lr(2 * kBlock);
    for (int b = 0; b < kBlocks; b++) {
      for (int i = 0; i < kBlock; i++) lr[2 * i] = lr[2 * i + 1] = static_cast<int16_t>((b * kBlock + i) % 32749);
      if (b == 1) for (const VoiceOp& op : z_down) take.op(7, Take::kKeys, op);
      if (b == 2) for (const VoiceOp& op : on1) take.op(0, Take::kMidi, op);
      if (b == 3) take.op(5, Take::kMidi, release1[0]), take.op(5, Take::kMidi, release1[1]), take.op(5, Take::kKeys, ret_up);
      take.frames(lr.data(), kBlock);
      std::this_thread::sleep_for(std::chrono::microseconds(200));  // faster than real time
    }
  });
  audio.join();
  std::vector<int16_t> too_many(2 * (Take::kFrameRing + 1));
  take.frames(too_many.data(), static_cast<int>(Take::kFrameRing + 1));
  take.close("p.tsy");

  SF_INFO info{};
  SNDFILE* sf = sf_open(wav.c_str(), SFM_READ, &info);
  std::vector<int16_t> got(2 * static_cast<size_t>(info.frames));
  ASSERT_TRUE(sf && sf_readf_short(sf, got.data(), info.frames) == kBlock * kBlocks && !sf_close(sf));
  for (long f = 0; f < info.frames; f++)
    ASSERT_TRUE(got[2 * f] == f % 32749 && got[2 * f + 1] == f % 32749) << "frame " << f;
  std::stringstream keys;
  keys << std::ifstream(dir + "/t.keys").rdbuf();
  std::filesystem::remove_all(dir);
  EXPECT_EQ(keys.str(),
            "# take of p.tsy, replayed by: tev-render $(cat " + dir + "/t.keys) p.tsy out.wav\n"
            "# not replayable exactly: 524289 frames were dropped (the disk fell behind)\n"
            "--seed 0 --frames 660000\n--event 3007:down:z\n--event 6000:on:1:51\n"
            "--event 9005:off:1\n--event 9005:up:return\n");
}
