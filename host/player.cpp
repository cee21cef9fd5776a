#include "host/player.h"

#include <algorithm>
#include <cstdio>

#include "engine/generator.h"
#include "engine/sampler.h"
#include "host/stream_frame.h"
#include "host/take.h"

GENERATOR* gen = nullptr;
Player* g_player = nullptr;

Player::Player(std::unique_ptr<GENERATOR> graph) : newest_(graph.get()), playing_(graph.release()) {
  voices_.store(newest_ ? voices_present(*newest_) : 0, std::memory_order_release);
  gen = playing_;
}

Player::~Player() {
  if (gen == playing_) gen = nullptr;
  GENERATOR* incoming = incoming_.load(std::memory_order_acquire);
  delete retired_.load(std::memory_order_acquire);
  if (incoming != playing_) delete incoming;
  delete fading_;
  delete playing_;
}

bool Player::push_keys(const VoiceOp* ops, int n) {
  if (n <= 0) return true;
  if (offered()) {
    kept_back_.insert(kept_back_.end(), ops, ops + n);
    return true;
  }
  queue_kept_back();
  return keys_.push(ops, n);
}

void Player::queue_kept_back() {
  if (kept_back_.empty() || offered()) return;
  // A full queue (over a thousand operations unapplied) drops them whole.
  keys_.push(kept_back_.data(), static_cast<int>(kept_back_.size()));
  kept_back_.clear();
}

bool Player::offer(std::unique_ptr<GENERATOR>& next, const VoiceOp* held, int n) {
  if (in_flight_ || !next) return false;
  if (n > kMaxHeldOps) n = kMaxHeldOps;
  for (int i = 0; i < n; i++) held_[i] = held[i];
  held_count_ = n;
  in_flight_ = true;
  newest_ = next.release();
  voices_.store(voices_present(*newest_), std::memory_order_release);
  incoming_.store(newest_, std::memory_order_release);
  return true;
}

std::unique_ptr<GENERATOR> Player::retired() {
  std::unique_ptr<GENERATOR> old(retired_.exchange(nullptr, std::memory_order_acquire));
  if (old) in_flight_ = false;
  queue_kept_back();
  return old;
}

void Player::take_offer() {
  GENERATOR* next = incoming_.load(std::memory_order_acquire);
  if (!next) return;
  // Whatever was queued before the handover was made for the old graph.
  apply_queued(0);
  for (int i = 0; i < held_count_; i++) apply_voice_op(*next, held_[i]);
  if (take_) take_->note_reload();
  fading_ = playing_;
  playing_ = next;
  gen = next;
  fade_pos_ = 0;
  incoming_.store(nullptr, std::memory_order_release);
}

void Player::apply_queued() { apply_queued(0); }

void Player::apply_queued(int frame_in_block) {
  if (!take_) {
    keys_.drain(*playing_);
    midi_.drain(*playing_);
    return;
  }
  keys_.drain(*playing_, [&](const VoiceOp& op) { take_->op(frame_in_block, Take::kKeys, op); });
  midi_.drain(*playing_, [&](const VoiceOp& op) { take_->op(frame_in_block, Take::kMidi, op); });
}

void Player::render(void* buffer, int frames) {
  if (frames <= 0 || !playing_) return;
  auto* out = static_cast<unsigned char*>(buffer);
  // A new graph takes over at the start of a buffer, never during a fade.
  if (!fading_) take_offer();
  if (!fading_) {
    // No fade in this buffer (one starts only at a buffer's start): the graph stays.
    GENERATOR* const g = playing_;
    const int run = g->frames_at_once();
    // The rings are looked at before each run of up to kMaxRun frames (operations
    // queued before the call still apply at its first frame, as the renderer and the
    // takes' replays queue them).
    if (run == 1) {
      for (int i = 0; i < frames;) {
        if (keys_.pending() || midi_.pending()) apply_queued(i);
        const int end = std::min(i + kMaxRun, frames);
        for (; i < end; i++) {
          g->evolue();
          write_clamped_frame(out, i, g->get_OUTL());
        }
      }
    } else {
      float v[kMaxRun];
      for (int i = 0; i < frames;) {
        if (keys_.pending() || midi_.pending()) apply_queued(i);
        const int n = std::min(std::min(run, kMaxRun), frames - i);
        g->evolue_frames(v, n);
        for (int t = 0; t < n; t++) write_clamped_frame(out, i + t, v[t]);
        i += n;
      }
    }
    if (take_) take_->frames(out, frames);
    return;
  }
  for (int i = 0; i < frames; i++) {
    // Most frames have nothing queued: one look at each ring.
    if (keys_.pending() || midi_.pending()) apply_queued(i);
    playing_->evolue();
    float v = playing_->get_OUTL();
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
  if (take_) take_->frames(out, frames);
}

unsigned Player::take_finished() { return take_finished_playbacks(); }

int instrument_callback(FSOUND_STREAM*, void* buffer, int length, void*) {
  if (g_player) g_player->render(buffer, length / kStreamBytesPerFrame);
  return 1;
}

void print_finished_playbacks(unsigned count) {
  for (; count > 0; count--) std::printf("FIN\n");
}
