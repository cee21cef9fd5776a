// What plays: a graph, the key and MIDI operations queued for it, the handover to
// a freshly loaded graph, and the counts the program prints. The live synth's
// stream callback, the renderer, the tests and the benchmarks each drive one.
//
// Threads. The key thread (the live synth's main thread, which also loads patches)
// pushes key operations, offers new graphs and takes the replaced ones back; the
// MIDI thread pushes MIDI operations; the audio thread renders. A single-threaded
// caller (the renderer) is all three in turn. The audio side never allocates,
// frees, locks or waits.
//
// Handover. An offered graph is taken at the start of the next rendered buffer:
// the operations queued until then apply to the old graph, those given with the
// offer (the held keys pressed again) to the new one at the same frame. Both then
// play for kFadeFrames frames while the old one fades out, and the old one is given
// back once, through retired(). Key operations pushed between offer() and the take
// are kept back and queued once the new graph plays, so none reaches the wrong graph.
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "host/voice_keys.h"

struct FSOUND_STREAM;
class GENERATOR;
class Take;

// The graph the live player plays, as the window layer knows it. Every player
// points it at the graph it plays and clears it when it goes.
extern GENERATOR* gen;

class Player {
 public:
  // 10 ms at 44100 frames per second: long enough that the change of waveform
  // makes no click, short enough that both graphs run together only briefly.
  static constexpr int kFadeFrames = 441;
  // Enough for every note key and Return held at once, three operations each.
  static constexpr int kMaxHeldOps = 64;
  // The most frames computed between two looks at the queues: 0.7 ms of sound, a few
  // microseconds of computing.
  static constexpr int kMaxRun = 32;

  // `graph`, not null, plays from the first render on.
  explicit Player(std::unique_ptr<GENERATOR> graph);
  ~Player();
  Player(const Player&) = delete;
  Player& operator=(const Player&) = delete;

  // ---- key thread
  // The newest graph given to the player: key operations are made for it.
  const GENERATOR& graph() const { return *newest_; }
  // Queues a whole event or nothing (false when the queue is full).
  bool push_keys(const VoiceOp* ops, int n);
  // Hands `next` over with the operations to apply to it as it is taken (at most
  // kMaxHeldOps, in order). False, and `next` is left to the caller, while an
  // earlier handover is still under way.
  bool offer(std::unique_ptr<GENERATOR>& next, const VoiceOp* held, int n);
  // True from offer() until the audio side has taken the offered graph.
  bool offered() const { return in_flight_ && incoming_.load(std::memory_order_acquire); }
  // True from offer() until the replaced graph has come back through retired().
  bool busy() const { return in_flight_; }
  // The replaced graph once the fade is over (the caller frees it), else null;
  // also queues the operations kept back during the handover.
  std::unique_ptr<GENERATOR> retired();

  // Every frame rendered from now on, and every operation applied, also goes to
  // `take` (null: none). Before the stream starts.
  void record_to(Take* take) { take_ = take; }

  // ---- MIDI thread
  // The voices (voices_present()) of the newest graph: the MIDI thread never holds
  // a graph, which the key thread may free.
  unsigned voices() const { return voices_.load(std::memory_order_acquire); }
  bool push_midi(const VoiceOp* ops, int n) { return midi_.push(ops, n); }

  // ---- audio thread
  // Fills `frames` frames of 16-bit stereo at `out`. The graph advances one sample
  // per frame and its clamped output, truncated toward zero, goes left and right.
  // The queued key operations apply, then the MIDI ones, before each run of up to
  // kMaxRun frames (or of GENERATOR::frames_at_once, when smaller), not before every
  // frame: a live key waits at most 0.7 ms more, and what is queued before the call
  // (the renderer, the takes' replays) applies before its first frame all the same.
  // During a fade the queues are looked at before every frame.
  void render(void* out, int frames);
  // Applies the queued operations now (a single-threaded caller whose key queue is
  // full: nothing renders in between, so the order is the same).
  void apply_queued();

  // ---- counts, read by the key thread
  // Sampler playbacks that ended since the last call (one "FIN" line each); the
  // engine counts them for the whole process, so one player at a time asks.
  unsigned take_finished();
  // Underruns the output device reported (its thread counts them).
  void count_underrun() { underruns_.fetch_add(1, std::memory_order_relaxed); }
  long underruns() const { return underruns_.load(std::memory_order_relaxed); }

 private:
  void take_offer();
  void queue_kept_back();
  void apply_queued(int frame_in_block);

  VoiceOpQueue keys_, midi_;
  GENERATOR* newest_;                          // key thread
  GENERATOR* playing_;                         // audio thread
  GENERATOR* fading_ = nullptr;                // audio thread: the graph fading out
  int fade_pos_ = 0;                           // audio thread: frames of the fade played
  std::atomic<GENERATOR*> incoming_{nullptr};  // set by the key thread, taken by audio
  std::atomic<GENERATOR*> retired_{nullptr};   // set by audio, taken by the key thread
  // The held keys' operations for the new graph: written before incoming_ is
  // published, read by the audio thread after it takes it.
  VoiceOp held_[kMaxHeldOps];
  int held_count_ = 0;
  bool in_flight_ = false;          // key thread
  std::vector<VoiceOp> kept_back_;  // key thread: pushed while the offer was not taken
  std::atomic<unsigned> voices_{0};
  std::atomic<long> underruns_{0};
  Take* take_ = nullptr;
};

// The one player the live synth's stream callback plays (the callback has no user
// data). Set before the stream starts.
extern Player* g_player;

// The stream callback: fills length / 4 frames from g_player. Returns 1.
int instrument_callback(FSOUND_STREAM* stream, void* buffer, int length, void* userdata);

// One "FIN" line per count, on standard output (the key thread: the live synth's
// main loop, the renderer between blocks).
void print_finished_playbacks(unsigned count);
