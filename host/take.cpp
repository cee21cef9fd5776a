#include "host/take.h"

#include <sndfile.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "engine/sample_rate.h"

namespace {

// The writer's pace when nothing waits: 10 ms is 441 frames, far inside the ring.
constexpr std::chrono::milliseconds kWriterNap{10};

std::string keys_path_for(const std::string& wav) {
  const size_t slash = wav.rfind('/');
  const size_t dot = wav.rfind('.');
  const bool has_ext = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  return (has_ext ? wav.substr(0, dot) : wav) + ".keys";
}

// The note key that plays `note` on `voice`, or null.
const KeyBinding* key_for(int voice, int note) {
  for (const KeyBinding& k : kNoteKeys)
    if (k.voice == voice && k.note == note) return &k;
  return nullptr;
}

}  // namespace

Take::Take() = default;

Take::~Take() {
  stop_.store(true);
  if (writer_.joinable()) writer_.join();
  if (sndfile_) sf_close(static_cast<SNDFILE*>(sndfile_));
}

bool Take::open(const std::string& wav_path, const std::string& keep, std::string* why) {
  struct stat k {}, t {};
  for (const std::string& path : {wav_path, keys_path_for(wav_path)})
    if (stat(keep.c_str(), &k) == 0 && stat(path.c_str(), &t) == 0 && k.st_dev == t.st_dev && k.st_ino == t.st_ino) {
      *why = path + " is the patch file itself";
      return false;
    }
  SF_INFO info{};
  info.samplerate = kSampleRate;
  info.channels = 2;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* sf = sf_open(wav_path.c_str(), SFM_WRITE, &info);
  if (!sf) {
    *why = sf_strerror(nullptr);
    return false;
  }
  keys_path_ = keys_path_for(wav_path);
  if (std::FILE* k = std::fopen(keys_path_.c_str(), "w")) {
    std::fclose(k);
  } else {
    *why = keys_path_ + ": " + std::strerror(errno);
    sf_close(sf);
    return false;
  }
  // The header is brought up to date after every write, so the file is a whole
  // WAV at any moment, even if the process is killed.
  sf_command(sf, SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
  sndfile_ = sf;
  wav_path_ = wav_path;
  ring_.reset(new int16_t[2 * kFrameRing]());
  writer_ = std::thread(&Take::writer_loop, this);
  return true;
}

void Take::note_seed(uint32_t ticks) { seeds_.push_back(ticks); }

void Take::note_unreplayable(const std::string& why) {
  if (std::find(unreplayable_.begin(), unreplayable_.end(), why) == unreplayable_.end())
    unreplayable_.push_back(why);
}

void Take::note_output_lost() {
  lost_at_ = frames_handed();
  lost_since_ = std::chrono::steady_clock::now();
}

void Take::note_output_restored() {
  if (lost_at_ < 0) return;
  char text[96];
  std::snprintf(text, sizeof text, "the output was lost at frame %" PRId64 " for %.1f s", lost_at_,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - lost_since_).count());
  note_unreplayable(text);
  lost_at_ = -1;
}

void Take::op(int frame_in_block, Source source, const VoiceOp& op) {
  const size_t w = ops_write_.load(std::memory_order_relaxed);
  if (w - ops_read_.load(std::memory_order_acquire) >= kOpRing) {
    dropped_ops_.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  ops_[w % kOpRing] = {handed_.load(std::memory_order_relaxed) + frame_in_block, op, source};
  ops_write_.store(w + 1, std::memory_order_release);
}

void Take::frames(const void* lr, int n) {
  if (n <= 0 || !ring_) return;
  const size_t count = static_cast<size_t>(n);
  handed_.fetch_add(n, std::memory_order_relaxed);
  const size_t w = ring_write_.load(std::memory_order_relaxed);
  if (kFrameRing - (w - ring_read_.load(std::memory_order_acquire)) < count) {
    dropped_frames_.fetch_add(n, std::memory_order_relaxed);
    return;
  }
  // The block may wrap around the ring's end: two copies.
  const size_t at = w % kFrameRing, first = std::min(count, kFrameRing - at);
  std::memcpy(ring_.get() + 2 * at, lr, 4 * first);
  std::memcpy(ring_.get(), static_cast<const char*>(lr) + 4 * first, 4 * (count - first));
  ring_write_.store(w + count, std::memory_order_release);
}

void Take::note_reload() {
  int64_t none = -1;
  reload_at_.compare_exchange_strong(none, handed_.load(std::memory_order_relaxed));
}

void Take::writer_loop() {
  while (!stop_.load(std::memory_order_acquire))
    if (!drain()) std::this_thread::sleep_for(kWriterNap);
  drain();
}

bool Take::drain() {
  auto* sf = static_cast<SNDFILE*>(sndfile_);
  bool moved = false;
  for (size_t r = ring_read_.load(std::memory_order_relaxed), w = ring_write_.load(std::memory_order_acquire);
       r != w;) {
    const size_t at = r % kFrameRing, n = std::min(w - r, kFrameRing - at);
    const sf_count_t put = sf_writef_short(sf, ring_.get() + 2 * at, static_cast<sf_count_t>(n));
    // Frames the disk refused (full, gone) count as dropped.
    if (put < static_cast<sf_count_t>(n)) dropped_frames_.fetch_add(static_cast<int64_t>(n) - put);
    written_.fetch_add(std::max<sf_count_t>(put, 0), std::memory_order_release);
    r += n;
    ring_read_.store(r, std::memory_order_release);
    moved = true;
  }
  for (size_t r = ops_read_.load(std::memory_order_relaxed), w = ops_write_.load(std::memory_order_acquire);
       r != w; r++) {
    applied_.push_back(ops_[r % kOpRing]);
    ops_read_.store(r + 1, std::memory_order_release);
    moved = true;
  }
  return moved;
}

// One "--event F:..." line per key or MIDI event, from the operations of one event
// as they were queued together: the note keys' press (note, keyboard, amplifier)
// and release (keyboard, amplifier), Return's amplifier alone, and the retrigger,
// a release then a press. A MIDI press or release takes the note forms.
std::string Take::events_text(int64_t frames, bool* incomplete) const {
  std::string s;
  char last_key[32] = {};  // keys thread: the note key that last played each voice
  for (size_t i = 0; i < applied_.size() && applied_[i].frame < frames;) {
    const OpRecord& r = applied_[i];
    const int v = r.op.voice;
    auto next_is = [&](size_t k, VoiceOp::Kind kind) {
      return k < applied_.size() && applied_[k].frame == r.frame && applied_[k].source == r.source &&
             applied_[k].op.kind == kind && applied_[k].op.voice == v;
    };
    const bool keys = r.source == kKeys;
    std::string ev;
    size_t used = 1;
    if (r.op.kind == VoiceOp::SetNote && next_is(i + 1, VoiceOp::KeyboardTrig) &&
        next_is(i + 2, VoiceOp::VcaTrig)) {
      used = 3;
      const KeyBinding* k = keys ? key_for(v, r.op.note) : nullptr;
      if (k) last_key[v & 31] = k->name;
      ev = k ? std::string("down:") + k->name : "on:" + std::to_string(v) + ":" + std::to_string(r.op.note);
    } else if (r.op.kind == VoiceOp::KeyboardUntrig && next_is(i + 1, VoiceOp::VcaUntrig)) {
      used = 2;
      // Every note key of a voice releases it alike.
      ev = keys && last_key[v & 31] ? std::string("up:") + last_key[v & 31] : "off:" + std::to_string(v);
    } else if (keys && v == 0 && (r.op.kind == VoiceOp::VcaTrig || r.op.kind == VoiceOp::VcaUntrig)) {
      ev = r.op.kind == VoiceOp::VcaTrig ? "down:return" : "up:return";
    } else {
      *incomplete = true;  // no event makes it alone
    }
    if (!ev.empty()) s += "--event " + std::to_string(r.frame) + ":" + ev + "\n";
    i += used;
  }
  return s;
}

void Take::close(const std::string& patch) {
  if (closed_ || !sndfile_) return;
  closed_ = true;
  stop_.store(true, std::memory_order_release);
  if (writer_.joinable()) writer_.join();
  sf_close(static_cast<SNDFILE*>(sndfile_));
  sndfile_ = nullptr;

  const int64_t frames = written_.load();
  if (lost_at_ >= 0) note_unreplayable("the output was lost at frame " + std::to_string(lost_at_) + " until the end");
  std::vector<std::string> why = unreplayable_;
  if (reload_at_.load() >= 0)
    why.insert(why.begin(), "the patch was reloaded at frame " + std::to_string(reload_at_.load()));
  for (uint32_t s : seeds_)
    if (s != seeds_.front()) {
      why.push_back("the sequencers were seeded at different clock values");
      break;
    }
  if (dropped_frames_.load() > 0)
    why.push_back(std::to_string(dropped_frames_.load()) + " frames were dropped (the disk fell behind)");
  if (dropped_ops_.load() > 0) why.push_back(std::to_string(dropped_ops_.load()) + " operations were not kept");
  bool incomplete = false;
  const std::string events = events_text(frames, &incomplete);
  if (incomplete) why.push_back("an operation has no event form");
  std::string reasons;
  for (const std::string& w : why) reasons += (reasons.empty() ? "" : "; ") + w;

  const std::string replay = "tev-render $(cat " + keys_path_ + ") " + patch + " out.wav";
  if (std::FILE* k = std::fopen(keys_path_.c_str(), "w")) {
    // Comment lines come first: tev-render reads a comment up to the next option.
    std::fprintf(k, "# take of %s, replayed by: %s\n", patch.c_str(), replay.c_str());
    if (!reasons.empty()) std::fprintf(k, "# not replayable exactly: %s\n", reasons.c_str());
    std::fprintf(k, "--seed %" PRIu32 " --frames %" PRId64 "\n%s", seeds_.empty() ? 0u : seeds_.front(), frames,
                 events.c_str());
    std::fclose(k);
  }
  std::printf("Take: %s, %" PRId64 " frames (%.1f s)", wav_path_.c_str(), frames,
              static_cast<double>(frames) / kSampleRate);
  if (reasons.empty())
    std::printf("; replay: %s\n", replay.c_str());
  else
    std::printf("; not replayable exactly: %s\n", reasons.c_str());
  std::fflush(stdout);
}
