// Handing a freshly loaded graph to the audio thread while it plays, and the graph
// it replaced back to the thread that loaded it.
//
// The loading thread (the live synth's main thread, which also makes the key
// operations) offers the new graph; the stream callback takes it at the start of
// its next buffer, plays both graphs for kFadeFrames frames while the old one
// fades out and the new one fades in, then returns the old one, which the loading
// thread frees. The audio thread never allocates, frees, locks or waits here.
//
// Key operations: those queued in g_voice_ops when the graph is taken apply to the
// old graph; the operations given with the offer (the held keys pressed again)
// apply to the new graph at the same frame. Between offer() and taken() the
// loading thread keeps further key operations back and pushes them once the new
// graph plays, so that none can reach the wrong graph.
#pragma once

#include <atomic>
#include <cstddef>

#include "audio/voice_keys.h"

class GENERATOR;

class GraphSwap {
 public:
  // 10 ms at 44100 frames per second: long enough that the change of waveform
  // makes no click, short enough that both graphs run together only briefly.
  static constexpr int kFadeFrames = 441;

  // ---- loading thread
  // Enough for every note key and Return held at once, three operations each.
  static constexpr int kMaxHeldOps = 64;

  // Hands `next` over with the operations to apply to it as it is taken (at most
  // kMaxHeldOps, in order). False (nothing done) while an earlier handover is
  // still under way.
  bool offer(GENERATOR* next, const VoiceOp* held, int n);
  // True once the audio thread has taken the offered graph.
  bool taken() const { return !incoming_.load(std::memory_order_acquire); }
  // True from offer() until the replaced graph has come back through retired().
  bool busy() const { return in_flight_; }
  // The replaced graph once the audio thread is done with it (the caller frees
  // it), else null.
  GENERATOR* retired();

  // ---- audio thread
  // Whether the stream callback has a handover or a fade to play this buffer.
  bool active() const { return fading_ || incoming_.load(std::memory_order_acquire); }
  // Writes `frames` 16-bit stereo frames to `out` from `*playing`, taking the
  // offered graph at the first frame (`*playing` becomes the new graph) and fading
  // between the two; key operations are applied before each frame as usual.
  void render(GENERATOR** playing, unsigned char* out, int frames);

 private:
  std::atomic<GENERATOR*> incoming_{nullptr};  // set by the loading thread, taken by audio
  std::atomic<GENERATOR*> retired_{nullptr};   // set by audio, taken by the loading thread
  // The held keys' operations for the new graph: written before incoming_ is
  // published, read by the audio thread after it takes it.
  VoiceOp held_[kMaxHeldOps];
  int held_count_ = 0;
  bool in_flight_ = false;        // loading thread only
  GENERATOR* fading_ = nullptr;   // audio thread only: the graph fading out
  int fade_pos_ = 0;              // audio thread only: frames of the fade played
};

// The handover the live synth's stream callback plays.
extern GraphSwap g_graph_swap;

// The voices (voices_present()) of the newest graph offered, published by the
// loading thread for the MIDI thread, which so never holds a graph that the loading
// thread may free. An operation made for one graph may reach the other during a
// handover; applying it checks the voice against the graph it reaches.
extern std::atomic<unsigned> g_mapping_voices;
