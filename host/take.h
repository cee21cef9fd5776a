// A take: every frame the live player hands to the output, written to a 16-bit
// stereo 44100 Hz WAV file by a thread of its own, and beside it NAME.keys, the
// tev-render arguments that play it again: the seed the sequencers got, the frame
// count and every key and MIDI operation at the frame it was applied.
//
// Threads. The audio thread hands over frames and applied operations through two
// lock-free rings and never waits: when the writer falls behind, what does not fit
// is dropped and counted. The main thread opens and closes the take and says what
// makes it unreplayable (an outage); the writer thread alone touches the WAV.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/voice_keys.h"

class Take {
 public:
  // The queue an operation came through: key forms for keys, note forms for MIDI.
  enum Source : uint8_t { kKeys, kMidi };
  // Frames the writer may fall behind by before frames are dropped: 2^19 frames,
  // 11.9 s at 44100 Hz, 2 MiB.
  static constexpr size_t kFrameRing = size_t{1} << 19;
  // Applied operations not yet written down: far more than hands and MIDI make.
  static constexpr size_t kOpRing = 4096;

  Take();
  ~Take();
  Take(const Take&) = delete;
  Take& operator=(const Take&) = delete;

  // ---- main thread
  // Creates the WAV file and starts the writer; false, with why, when it can't, or
  // when the WAV or its keys file would be the file `keep` (the patch to play).
  bool open(const std::string& wav_path, const std::string& keep, std::string* why);
  // A value the sequencers' clock gave while the patch loaded (each reseeds with it).
  void note_seed(uint32_t ticks);
  // Why the take no longer replays exactly; said once each, at the close.
  void note_unreplayable(const std::string& why);
  // The output was lost / came back: nothing is recorded in between, and the keys
  // file notes the gap.
  void note_output_lost();
  void note_output_restored();
  // Writes what is left, completes the WAV, writes NAME.keys (`patch` is named in
  // its first line) and prints the take's lines on standard output. Once.
  void close(const std::string& patch);
  // Frames the audio thread has handed over so far (where an outage begins).
  int64_t frames_handed() const { return handed_.load(std::memory_order_relaxed); }

  // ---- audio thread
  // `op` applied before frame `frame_in_block` of the block about to be handed over.
  void op(int frame_in_block, Source source, const VoiceOp& op);
  // The block of 16-bit stereo frames handed to the output.
  void frames(const void* lr, int n);
  // A reloaded patch took over at the start of the coming block.
  void note_reload();

 private:
  struct OpRecord {
    int64_t frame;
    VoiceOp op;
    Source source;
  };
  void writer_loop();
  bool drain();  // writer thread; true when something was moved
  std::string events_text(int64_t frames, bool* incomplete) const;

  std::string wav_path_, keys_path_;
  void* sndfile_ = nullptr;  // SNDFILE*, the writer's (the main thread's at open and close)
  std::thread writer_;
  std::atomic<bool> stop_{false};
  bool closed_ = false;

  // Audio thread -> writer: frames, interleaved.
  std::unique_ptr<int16_t[]> ring_;
  std::atomic<size_t> ring_write_{0}, ring_read_{0};
  // Audio thread -> writer: operations.
  OpRecord ops_[kOpRing];
  std::atomic<size_t> ops_write_{0}, ops_read_{0};

  std::atomic<int64_t> handed_{0};  // written by the audio thread: frames handed over, dropped ones included
  std::atomic<int64_t> dropped_frames_{0}, dropped_ops_{0};
  std::atomic<int64_t> reload_at_{-1};  // the first frame a reloaded patch played
  std::atomic<int64_t> written_{0};

  std::vector<OpRecord> applied_;  // writer thread until closed
  std::vector<uint32_t> seeds_;    // main thread
  int64_t lost_at_ = -1;           // main thread: the frame an outage began, -1 none
  std::chrono::steady_clock::time_point lost_since_;
  std::vector<std::string> unreplayable_;
};
