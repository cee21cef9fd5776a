#include "audio/graph_swap.h"

#include <cstring>

#include "audio/midi_map.h"
#include "audio/stream_callback.h"
#include "engine/generator.h"

GraphSwap g_graph_swap;
std::atomic<unsigned> g_mapping_voices{0};

bool GraphSwap::offer(GENERATOR* next, const VoiceOp* held, int n) {
  if (in_flight_ || !next) return false;
  if (n > kMaxHeldOps) n = kMaxHeldOps;
  for (int i = 0; i < n; i++) held_[i] = held[i];
  held_count_ = n;
  in_flight_ = true;
  incoming_.store(next, std::memory_order_release);
  return true;
}

GENERATOR* GraphSwap::retired() {
  GENERATOR* old = retired_.exchange(nullptr, std::memory_order_acquire);
  if (old) in_flight_ = false;
  return old;
}

void GraphSwap::render(GENERATOR** playing, unsigned char* out, int frames) {
  GENERATOR* next = fading_ ? nullptr : incoming_.load(std::memory_order_acquire);
  if (next) {
    // Whatever was queued before the handover was made for the old graph.
    apply_queued_ops(**playing);
    for (int i = 0; i < held_count_; i++) apply_voice_op(*next, held_[i]);
    fading_ = *playing;
    *playing = next;
    fade_pos_ = 0;
    incoming_.store(nullptr, std::memory_order_release);
  }
  GENERATOR* now = *playing;
  for (int i = 0; i < frames; i++) {
    apply_queued_ops(*now, i);
    now->evolue();
    float v = now->get_OUTL();
    if (fading_) {
      fading_->evolue();
      // Linear weights from old to new, both strictly inside (0, 1) during the
      // fade; the sum of two values within +-32000 stays within it.
      const float w = static_cast<float>(fade_pos_ + 1) / (kFadeFrames + 1);
      v = v * w + fading_->get_OUTL() * (1.0f - w);
      if (++fade_pos_ == kFadeFrames) {
        retired_.store(fading_, std::memory_order_release);
        fading_ = nullptr;
      }
    }
    write_frame(out, i, v);
  }
}
