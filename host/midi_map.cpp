#include "host/midi_map.h"

#include "engine/note_table.h"

namespace {
enum : uint8_t { kNoteOff = 0x80, kNoteOn = 0x90, kControl = 0xB0 };
enum : uint8_t { kSustain = 64, kAllSoundOff = 120, kAllNotesOff = 123 };
}  // namespace

int MidiMapper::release(unsigned voices, int voice, VoiceOp out[kMaxOpsPerEvent]) {
  playing_[voice] = -1;
  held_[voice] = false;
  return voice_release_ops(voices, voice, out);
}

int MidiMapper::map(unsigned voices, const uint8_t* msg, size_t len,
                    VoiceOp out[kMaxOpsPerEvent]) {
  if (len < 3) return 0;  // every message handled here has two data bytes
  const int voice = msg[0] & 0x0F;
  if (voice >= kMidiVoices) return 0;
  const uint8_t kind = msg[0] & 0xF0;
  const int data1 = msg[1] & 0x7F, data2 = msg[2] & 0x7F;
  if (kind == kNoteOn && data2 > 0) {
    const int index = data1 + kMidiNoteToIndex;
    if (!note_in_table(index)) return 0;
    const int n = voice_press_ops(voices, voice, index, out);
    if (n > 0) {
      playing_[voice] = data1;
      held_[voice] = false;
    }
    return n;
  }
  if (kind == kNoteOff || kind == kNoteOn) {  // note-on with velocity 0 is a note-off
    // Only the note the voice plays now: a legato note-off must not cut its successor.
    if (data1 != playing_[voice]) return 0;
    if (pedal_[voice]) {
      held_[voice] = true;
      return 0;
    }
    return release(voices, voice, out);
  }
  if (kind == kControl) {
    if (data1 == kSustain) {
      // Values 64 and above mean down, as most receivers read a continuous pedal.
      pedal_[voice] = data2 >= 64;
      if (!pedal_[voice] && held_[voice]) return release(voices, voice, out);
      return 0;
    }
    if (data1 == kAllNotesOff || data1 == kAllSoundOff) {
      // Immediately, pedal or not; a silent voice is left alone.
      if (playing_[voice] < 0) return 0;
      return release(voices, voice, out);
    }
  }
  return 0;
}
