#include "host/voice_keys.h"

#include <cstdlib>

#include "engine/generator.h"

const KeyBinding kNoteKeys[18] = {
    {'z', 'z', 0, 58}, {'x', 'x', 0, 60}, {'c', 'c', 0, 61},
    {'v', 'v', 0, 63}, {'b', 'b', 0, 65}, {'n', 'n', 0, 66},
    {'a', 'a', 1, 58}, {'s', 's', 1, 60}, {'d', 'd', 1, 61},
    {'f', 'f', 1, 63}, {'g', 'g', 1, 65}, {'h', 'h', 1, 66},
    {'q', 'q', 2, 58}, {'w', 'w', 2, 60}, {'e', 'e', 2, 61},
    {'r', 'r', 2, 63}, {'t', 't', 2, 65}, {'y', 'y', 2, 66},
};

const KeyBinding* find_note_key(int key) {
  for (const KeyBinding& k : kNoteKeys)
    if (k.key == key) return &k;
  return nullptr;
}

namespace {
bool has_voice(const GENERATOR& g, long long v) {
  return v >= 0 && v < static_cast<long long>(g.liste_keyboard.size()) &&
         v < static_cast<long long>(g.liste_vca.size());
}
bool has_amplifier(const GENERATOR& g, int v) {
  return v >= 0 && v < static_cast<int>(g.liste_vca.size());
}
// Return: amplifier 0's envelope alone.
int return_ops(const GENERATOR& g, VoiceOp::Kind kind, VoiceOp out[kMaxOpsPerEvent]) {
  if (!has_amplifier(g, 0)) return 0;
  out[0] = {kind, 0, 0};
  return 1;
}
bool in(unsigned voices, int v) { return v >= 0 && v < 32 && ((voices >> v) & 1u); }
}  // namespace

unsigned voices_present(const GENERATOR& g) {
  unsigned voices = 0;
  for (int v = 0; v < 32; v++)
    if (has_voice(g, v)) voices |= 1u << v;
  return voices;
}

int key_press_ops(const GENERATOR& g, int key, VoiceOp out[kMaxOpsPerEvent]) {
  if (key == TEV_KEY_RETURN) return return_ops(g, VoiceOp::VcaTrig, out);
  const KeyBinding* k = find_note_key(key);
  return k ? voice_press_ops(voices_present(g), k->voice, k->note, out) : 0;
}

int key_release_ops(const GENERATOR& g, int key, VoiceOp out[kMaxOpsPerEvent]) {
  if (key == TEV_KEY_RETURN) return return_ops(g, VoiceOp::VcaUntrig, out);
  const KeyBinding* k = find_note_key(key);
  return k ? voice_release_ops(voices_present(g), k->voice, out) : 0;
}

int voice_press_ops(unsigned voices, int voice, int note, VoiceOp out[kMaxOpsPerEvent]) {
  if (!in(voices, voice)) return 0;
  out[0] = {VoiceOp::SetNote, voice, note};
  out[1] = {VoiceOp::KeyboardTrig, voice, 0};
  out[2] = {VoiceOp::VcaTrig, voice, 0};
  return 3;
}

int voice_release_ops(unsigned voices, int voice, VoiceOp out[kMaxOpsPerEvent]) {
  if (!in(voices, voice)) return 0;
  out[0] = {VoiceOp::KeyboardUntrig, voice, 0};
  out[1] = {VoiceOp::VcaUntrig, voice, 0};
  return 2;
}

int user_retrigger_ops(const GENERATOR& g, int k, VoiceOp out[kMaxOpsPerEvent]) {
  if (!has_voice(g, k)) return 0;
  out[0] = {VoiceOp::KeyboardUntrig, k, 0};
  out[1] = {VoiceOp::VcaUntrig, k, 0};
  out[2] = {VoiceOp::SetNote, k, std::rand() % 10 + 53};
  out[3] = {VoiceOp::KeyboardTrig, k, 0};
  out[4] = {VoiceOp::VcaTrig, k, 0};
  return 5;
}

void apply_voice_op(GENERATOR& g, const VoiceOp& op) {
  // Voices were checked when the operations were made, but a MIDI message mapped
  // during a reload may have been made for the other graph: check against this one.
  const bool keyboard = op.kind == VoiceOp::SetNote || op.kind == VoiceOp::KeyboardTrig ||
                        op.kind == VoiceOp::KeyboardUntrig;
  if (op.voice < 0 ||
      static_cast<size_t>(op.voice) >= (keyboard ? g.liste_keyboard.size() : g.liste_vca.size()))
    return;
  switch (op.kind) {
    case VoiceOp::SetNote: g.liste_keyboard[op.voice]->note = op.note; break;
    case VoiceOp::KeyboardTrig: g.liste_keyboard[op.voice]->TRIG(); break;
    case VoiceOp::KeyboardUntrig: g.liste_keyboard[op.voice]->UNTRIG(); break;
    case VoiceOp::VcaTrig: g.liste_vca[op.voice]->TRIG(); break;
    case VoiceOp::VcaUntrig: g.liste_vca[op.voice]->UNTRIG(); break;
  }
}

bool VoiceOpQueue::push(const VoiceOp* ops, int n) {
  const size_t w = write_.load(std::memory_order_relaxed);
  const size_t r = read_.load(std::memory_order_acquire);
  if (w - r + static_cast<size_t>(n) > kSize) return false;
  for (int i = 0; i < n; i++) ring_[(w + i) & (kSize - 1)] = ops[i];
  write_.store(w + n, std::memory_order_release);
  return true;
}
