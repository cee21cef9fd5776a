// MIDI channel messages turned into the voice operations the letter keys make.
// One mapper per producer thread (the live synth's MIDI thread, the renderer's
// file reader): it keeps, for each voice, the note MIDI is playing on it and
// whether the sustain pedal holds its release, so nothing is read back from the
// graph. Allocation-free and lock-free: it may run on a real-time MIDI thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "host/voice_keys.h"

class GENERATOR;

// Channels 1 to 3 play voices 0 to 2, the rows z.., a.. and q.. of the keys.
constexpr int kMidiVoices = 3;
// MIDI note n plays note-table index n - 11: MIDI 69 (A4) is index 58, 440 Hz.
constexpr int kMidiNoteToIndex = -11;

class MidiMapper {
 public:
  // Operations for one MIDI message (status byte first; running status is not
  // accepted: callers pass whole messages), in the order they apply. Returns the
  // count, 0 for a message that changes nothing.
  // `voices`: the voices the graph has, as voices_present() gives them.
  int map(unsigned voices, const uint8_t* msg, size_t len, VoiceOp out[kMaxOpsPerEvent]);
  int map(const GENERATOR& g, const uint8_t* msg, size_t len, VoiceOp out[kMaxOpsPerEvent]) {
    return map(voices_present(g), msg, len, out);
  }

 private:
  int release(unsigned voices, int voice, VoiceOp out[kMaxOpsPerEvent]);
  int playing_[kMidiVoices] = {-1, -1, -1};  // MIDI note sounding on the voice, -1 none
  bool held_[kMidiVoices] = {};              // released while the pedal was down
  bool pedal_[kMidiVoices] = {};             // sustain pedal (CC 64) down on the channel
};
