// The MIDI mapper on arbitrary message sequences, against what it promises: a
// voice is released only by its own note (or by the pedal that held that note, or
// All Notes/Sound Off), a pedal going up releases what it held, a press plays the
// message's note, and nothing reaches a voice the graph lacks.
// Input: byte 0 is the set of voices the graph has (bit v: voice v); then messages,
// each a length byte (its low two bits: 0 to 3 bytes) and the bytes.
#include <cstdlib>

#include "audio/midi_map.h"
#include "engine/note_table.h"

namespace {
struct Voice {
  int note = -1;       // MIDI note sounding, -1 none
  bool held = false;   // its note-off came while the pedal was down
  bool pedal = false;
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const unsigned voices = data[0];
  MidiMapper mapper;
  Voice model[kMidiVoices];
  for (size_t at = 1; at < size;) {
    const size_t len = data[at++] & 3u;
    if (size - at < len) break;
    const uint8_t* msg = data + at;
    at += len;
    VoiceOp ops[kMaxOpsPerEvent];
    const int n = mapper.map(voices, msg, len, ops);
    if (n < 0 || n > kMaxOpsPerEvent) std::abort();
    // What the message must do, from the model.
    const int kind = len == 3 ? msg[0] & 0xF0 : 0, v = len > 0 ? msg[0] & 0x0F : kMidiVoices;
    const int d1 = len == 3 ? msg[1] & 0x7F : 0, d2 = len == 3 ? msg[2] & 0x7F : 0;
    const bool present = v < kMidiVoices && ((voices >> v) & 1u);
    Voice* m = v < kMidiVoices ? &model[v] : nullptr;
    bool press = false, release = false;
    if (m && kind == 0x90 && d2 > 0) {
      press = present && note_in_table(d1 + kMidiNoteToIndex);
      if (press) *m = {d1, false, m->pedal};
    } else if (m && (kind == 0x80 || kind == 0x90)) {
      if (d1 == m->note && m->pedal) m->held = true;
      release = d1 == m->note && !m->pedal;
    } else if (m && kind == 0xB0 && d1 == 64) {
      m->pedal = d2 >= 64;
      release = !m->pedal && m->held;
    } else if (m && kind == 0xB0 && (d1 == 120 || d1 == 123)) {
      release = m->note >= 0;
    }
    if (release) *m = {-1, false, m->pedal};
    // Exactly those operations, on that voice only.
    const int want = !present ? 0 : press ? 3 : release ? 2 : 0;
    if (n != want) std::abort();
    for (int i = 0; i < n; i++) {
      if (ops[i].voice != v) std::abort();
      const bool on = ops[i].kind == VoiceOp::SetNote || ops[i].kind == VoiceOp::KeyboardTrig ||
                      ops[i].kind == VoiceOp::VcaTrig;
      if (on != press) std::abort();
      if (ops[i].kind == VoiceOp::SetNote && ops[i].note != d1 + kMidiNoteToIndex) std::abort();
    }
  }
  return 0;
}
