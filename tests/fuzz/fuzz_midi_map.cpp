// The MIDI mapper on arbitrary message sequences, against a model of what it
// promises: a voice is released only by its own note, by the pedal going up over
// that note, or by All Notes/Sound Off; a press plays the message's note; nothing
// reaches a voice the graph lacks. Input: byte 0 is the set of voices the graph has
// (bit v: voice v), then messages, each a length byte (low two bits: 0 to 3) and
// that many bytes.
#include <cstdlib>

#include "host/midi_map.h"
#include "engine/note_table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MidiMapper mapper;
  struct { int note = -1; bool held = false, pedal = false; } model[kMidiVoices];
  for (size_t at = 1, len; at < size && (len = data[at] & 3u) < size - at; at += 1 + len) {
    const uint8_t* m = data + at + 1;
    VoiceOp ops[kMaxOpsPerEvent];
    const int n = mapper.map(data[0], m, len, ops);
    const bool whole = len == 3;
    const int kind = whole ? m[0] & 0xF0 : 0, v = whole ? m[0] & 0x0F : 0, d1 = whole ? m[1] & 0x7F : 0,
              d2 = whole ? m[2] & 0x7F : 0;
    auto& s = model[v < kMidiVoices ? v : 0];
    const bool present = v < kMidiVoices && (data[0] >> v & 1u);
    bool press = false, release = false;
    if (v >= kMidiVoices) {
    } else if (kind == 0x90 && d2 > 0) {
      press = present && note_in_table(d1 + kMidiNoteToIndex);
      if (press) s = {d1, false, s.pedal};
    } else if (kind == 0x80 || kind == 0x90) {
      s.held |= d1 == s.note && s.pedal;
      release = d1 == s.note && !s.pedal;
    } else if (kind == 0xB0 && d1 == 64) {
      s.pedal = d2 >= 64;
      release = !s.pedal && s.held;
    } else if (kind == 0xB0 && (d1 == 120 || d1 == 123)) {
      release = s.note >= 0;
    }
    if (release) s = {-1, false, s.pedal};
    // Exactly those operations, on that voice only.
    if (n != (!present ? 0 : press ? 3 : release ? 2 : 0)) std::abort();
    for (int i = 0; i < n; i++)
      if (ops[i].voice != v || (ops[i].kind == VoiceOp::SetNote) != (press && i == 0) ||
          (press && i == 0 && ops[i].note != d1 + kMidiNoteToIndex) ||
          (ops[i].kind == VoiceOp::KeyboardUntrig || ops[i].kind == VoiceOp::VcaUntrig) == press)
        std::abort();
  }
  return 0;
}
