// Standard MIDI Files (formats 0 and 1, tempo changes) read into timed channel
// messages for the renderer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct MidiFileEvent {
  int64_t frame;   // applied before this frame: round(seconds * rate)
  uint8_t msg[3];  // a whole channel message, status byte first
  uint8_t len;
};

// The file's channel messages in playing order (system-exclusive and meta events
// dropped). False with a one-line reason when the file can't be read, is not a
// Standard MIDI File, or is damaged or cut short.
bool read_midi_file(const std::string& path, int rate, std::vector<MidiFileEvent>* events,
                    std::string* why);
