// Standard MIDI Files (formats 0 and 1, tempo changes) read into timed channel
// messages for the renderer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct MidiFileEvent {
  int64_t frame;   // applied before this frame: round(seconds * rate)
  uint8_t msg[3];  // a whole channel message, status byte first
  uint8_t len;
};

// Damage read past as other players do: an unknown chunk skipped, running status
// resumed after a meta event or SysEx, bytes after the last chunk, a system status
// byte inside a track, a track cut short (played up to the damage). One entry per
// kind, at its first byte offset in the file.
struct MidiFileRepair {
  size_t offset;
  std::string what;
  int times;  // how often the file has this kind of damage
};

// The file's channel messages in playing order (system-exclusive and meta events
// dropped), and what was read past. False with a one-line reason when the file
// can't be read, is not a Standard MIDI File, its header is damaged, or it is
// format 2.
bool read_midi_file(const std::string& path, int rate, std::vector<MidiFileEvent>* events,
                    std::vector<MidiFileRepair>* repairs, std::string* why);
// The same from bytes in memory.
bool read_midi_bytes(const unsigned char* data, size_t size, int rate,
                     std::vector<MidiFileEvent>* events, std::vector<MidiFileRepair>* repairs,
                     std::string* why);
