// The performance keys: which key plays which voice and note, and the ordered
// keyboard/amplifier operations a press, a release or a user retrigger makes.
//
// The key thread never touches the graph's modules: it turns an event into
// VoiceOps (checking the voice exists; the lists never change after loading) and
// hands them to the audio thread, which applies them before its next frame.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

class GENERATOR;

// Key codes are those of the window layer (SDL 1.2): letters are their lower-case
// ASCII codes.
enum : int { TEV_KEY_RETURN = 13, TEV_KEY_ESCAPE = 27 };

struct KeyBinding {
  int key;    // key code
  char name;  // the letter
  int voice;  // keyboard v and amplifier v of the graph's lists
  int note;   // index into NOTE2FREQ
};

// The 18 note keys: three rows of six, same six notes on each voice.
extern const KeyBinding kNoteKeys[18];
const KeyBinding* find_note_key(int key);

struct VoiceOp {
  enum Kind : uint8_t { SetNote, KeyboardTrig, KeyboardUntrig, VcaTrig, VcaUntrig } kind;
  int voice;
  int note;  // SetNote only
};

// At most five operations per event (the user retrigger).
constexpr int kMaxOpsPerEvent = 5;

// Operations for a key press / release, in the order they must apply. Returns the
// count: 0 for a key that does nothing, for Escape (the caller quits), and for a
// voice the patch lacks (no keyboard or no amplifier at that index; Return needs
// amplifier 0 only).
int key_press_ops(const GENERATOR& g, int key, VoiceOp out[kMaxOpsPerEvent]);
int key_release_ops(const GENERATOR& g, int key, VoiceOp out[kMaxOpsPerEvent]);
// The voices a press can play: bit v set when the graph has keyboard v and
// amplifier v (v < 32; the keys and MIDI play voices 0 to 2).
unsigned voices_present(const GENERATOR& g);
// A press / release of voice v on note-table index `note` (the ops a note key
// makes; MIDI notes make the same). 0 when `voices` lacks the voice.
int voice_press_ops(unsigned voices, int voice, int note, VoiceOp out[kMaxOpsPerEvent]);
int voice_release_ops(unsigned voices, int voice, VoiceOp out[kMaxOpsPerEvent]);
// The user retrigger of voice k: release, new note rand() % 10 + 53, press.
int user_retrigger_ops(const GENERATOR& g, int k, VoiceOp out[kMaxOpsPerEvent]);

// Applies one operation to the graph. Audio thread (or a single-threaded renderer).
void apply_voice_op(GENERATOR& g, const VoiceOp& op);

// Single-producer single-consumer ring: the key thread pushes, the audio thread
// drains before each frame. Lock-free and allocation-free on both sides.
class VoiceOpQueue {
 public:
  static constexpr size_t kSize = 1024;  // a power of two; far more than a player can press

  // Producer side. Pushes all `n` operations or none (returns false when full).
  bool push(const VoiceOp* ops, int n);

  // Consumer side: applies every queued operation, in order, telling `seen` of each
  // (a take keeps them).
  template <class Seen>
  void drain(GENERATOR& g, Seen&& seen) {
    size_t r = read_.load(std::memory_order_relaxed);
    const size_t w = write_.load(std::memory_order_acquire);
    if (r == w) return;
    for (; r != w; r++) {
      apply_voice_op(g, ring_[r & (kSize - 1)]);
      seen(ring_[r & (kSize - 1)]);
    }
    read_.store(r, std::memory_order_release);
  }
  void drain(GENERATOR& g) {
    drain(g, [](const VoiceOp&) {});
  }
  // Consumer side: whether drain would apply anything now.
  bool pending() const {
    return read_.load(std::memory_order_relaxed) != write_.load(std::memory_order_acquire);
  }

 private:
  VoiceOp ring_[kSize];
  std::atomic<size_t> write_{0};
  std::atomic<size_t> read_{0};
};
