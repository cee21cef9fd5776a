// Keys pressed on one thread and MIDI messages mapped on another while a third
// renders blocks: every operation reaches the graph through its thread's queue,
// in order, and nothing else is shared.
// Built with -fsanitize=thread (TEV_TSAN=ON) this is the race check.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "engine/generator.h"
#include "engine/note_table.h"
#include "host/midi_map.h"
#include "host/player.h"
#include "host/voice_keys.h"
#include "patch/patch_log.h"

namespace {

// Three voices: a modulated saw, a sine, a pulse.
const char* kThreeVoices = TEV_TESTS_DIR "/concurrency/three_voices.tsy";

void push_all(Player& p, const VoiceOp* ops, int n, bool midi = false) {
  while (!(midi ? p.push_midi(ops, n) : p.push_keys(ops, n))) std::this_thread::yield();
}

}  // namespace

TEST(KeyThreadAndAudioThread, HammeredKeysAndMidiReachTheGraphWithoutRaces) {
  init_NOTE2FREQ();
  PatchLog log(PatchLog::kDrop);
  Player player(load_patch_file(kThreeVoices, log));
  ASSERT_TRUE(log.problems().empty());
  const GENERATOR* g = &player.graph();

  std::atomic<bool> keys_done{false};
  std::atomic<long> blocks{0};
  std::atomic<bool> frames_ok{true};

  std::thread audio([&] {
    std::vector<int16_t> block(2 * 256);
    for (;;) {
      const bool last = keys_done.load(std::memory_order_acquire);
      player.render(block.data(), static_cast<int>(block.size() / 2));
      for (size_t f = 0; f < block.size(); f += 2)
        if (block[f] != block[f + 1] || block[f] > 32000 || block[f] < -32000) frames_ok = false;
      blocks++;
      if (last) break;  // everything pushed before the flag has been drained
    }
  });

  // Notes, note-offs, pedal and All Notes Off on channels 1-4, ending with every
  // channel's pedal up and its notes off.
  std::thread midi([&] {
    MidiMapper mapper;
    auto send = [&](uint8_t a, uint8_t b, uint8_t c) {
      const uint8_t msg[3] = {a, b, c};
      VoiceOp ops[kMaxOpsPerEvent];
      push_all(player, ops, mapper.map(player.voices(), msg, 3, ops), true);
    };
    for (unsigned i = 0, r = 777; i < 6000; i++, r = r * 1103515245u + 12345u) {
      const uint8_t kind = (r >> 16) % 3 == 2 ? 0xB0 : (r >> 16) & 1 ? 0x80 : 0x90;
      send(kind | ((r >> 24) & 3), kind == 0xB0 ? ((r >> 4) & 1 ? 64 : 123) : 66 + ((r >> 8) & 7),
           (r >> 12) & 127);
    }
    for (uint8_t ch = 0; ch < 3; ch++) send(0xB0 | ch, 64, 0), send(0xB0 | ch, 123, 0);
  });

  const int letters[] = {'z', 'x', 'c', 'v', 'b', 'n', 'a', 's', 'd',
                         'f', 'g', 'h', 'q', 'w', 'e', 'r', 't', 'y'};
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(400);
  unsigned seed = 12345;
  long events = 0;
  while (std::chrono::steady_clock::now() < until || events < 2000) {
    seed = seed * 1103515245u + 12345u;
    VoiceOp ops[kMaxOpsPerEvent];
    const int key = (seed >> 8) % 23 < 18 ? letters[(seed >> 8) % 23] : TEV_KEY_RETURN;
    push_all(player, ops, key_press_ops(*g, key, ops));
    if ((seed >> 20) % 7 == 0) push_all(player, ops, user_retrigger_ops(*g, (seed >> 4) % 3, ops));
    push_all(player, ops, key_release_ops(*g, key, ops));
    events++;
  }
  // End with every voice released.
  for (int key : {int{'z'}, int{'a'}, int{'q'}, int{TEV_KEY_RETURN}}) {
    VoiceOp ops[kMaxOpsPerEvent];
    push_all(player, ops, key_release_ops(*g, key, ops));
  }
  midi.join();
  keys_done.store(true, std::memory_order_release);
  audio.join();

  EXPECT_TRUE(frames_ok);
  EXPECT_GT(blocks.load(), 1);
  for (int v = 0; v < 3; v++) {
    EXPECT_EQ(g->liste_keyboard[v]->pressed, 0) << "voice " << v;
    EXPECT_EQ(g->liste_vca[v]->released, 1) << "voice " << v;
  }
}

// The same while the patch is reloaded again and again: the key thread (the live
// synth's main thread) offers each new graph with the held key pressed again,
// releases the key at once (the player keeps it back until the graph is taken)
// and frees the replaced one.
TEST(KeyThreadAndAudioThread, GraphsSwappedWhileKeysArePressed) {
  PatchLog log(PatchLog::kDrop);
  Player player(load_patch_file(kThreeVoices, log));
  std::atomic<bool> done{false};
  std::thread audio([&] {
    int16_t block[2 * 256];
    while (!done.load(std::memory_order_acquire)) player.render(block, 256);
  });
  for (int round = 0; round < 20; round++) {
    VoiceOp ops[kMaxOpsPerEvent];
    for (int key : {'z', 'a', 'q'}) {
      push_all(player, ops, key_press_ops(player.graph(), key, ops));
      push_all(player, ops, key_release_ops(player.graph(), key, ops));
    }
    push_all(player, ops, key_press_ops(player.graph(), 'x', ops));
    std::unique_ptr<GENERATOR> next = load_patch_file(kThreeVoices, log);
    ASSERT_TRUE(player.offer(next, ops, key_press_ops(*next, 'x', ops)));
    push_all(player, ops, key_release_ops(player.graph(), 'x', ops));
    while (!player.retired()) std::this_thread::yield();
  }
  done.store(true, std::memory_order_release);
  audio.join();
  player.apply_queued();
  // The audio thread plays the last graph offered; the held key was pressed again
  // on it (x sets note 60) and its release reached it.
  const GENERATOR& live = player.graph();
  EXPECT_EQ(gen, &live);
  EXPECT_EQ(live.liste_keyboard[0]->note, find_note_key('x')->note);
  EXPECT_EQ(live.liste_keyboard[0]->pressed, 0);
  EXPECT_EQ(live.liste_vca[0]->released, 1);
}
