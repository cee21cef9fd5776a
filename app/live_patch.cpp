#include "app/live_patch.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>

#include "engine/generator.h"
#include "host/player.h"
#include "patch/check.h"
#include "patch/patch_log.h"

namespace {

int module_count(const GENERATOR& g) {
  return static_cast<int>(g.liste_vco.size() + g.liste_vca.size() + g.liste_mixer.size() +
                          g.liste_keyboard.size() + g.liste_sampler.size() +
                          g.liste_sequencer.size());
}

}  // namespace

LivePatch::LivePatch(Player& player, const std::string& path, const LoadOptions& options)
    : player_(player), path_(path), options_(options) {
  watching_ = watch_.start(path_);
  if (!watching_)
    std::printf("Warning: cannot watch [%s] for changes: %s; saving it will not reload it\n",
                path_.c_str(), std::strerror(errno));
}

void LivePatch::key_down(int key) {
  VoiceOp ops[kMaxOpsPerEvent];
  if (std::find(held_.begin(), held_.end(), key) == held_.end()) held_.push_back(key);
  // A full queue (over a thousand operations unapplied) drops the event whole
  // rather than half of it.
  player_.push_keys(ops, key_press_ops(player_.graph(), key, ops));
}

void LivePatch::key_up(int key) {
  VoiceOp ops[kMaxOpsPerEvent];
  held_.erase(std::remove(held_.begin(), held_.end(), key), held_.end());
  player_.push_keys(ops, key_release_ops(player_.graph(), key, ops));
}

void LivePatch::user_retrigger(int voice) {
  VoiceOp ops[kMaxOpsPerEvent];
  player_.push_keys(ops, user_retrigger_ops(player_.graph(), voice, ops));
}

void LivePatch::poll() {
  // Freed here, on the main thread, once the fade has ended: the audio thread no
  // longer plays it and the MIDI thread never holds a graph.
  player_.retired();
  if (watching_ && watch_.settled()) reload_due_ = true;
  if (reload_due_ && !player_.busy()) {
    reload_due_ = false;
    reload();
  }
}

void LivePatch::reload() {
  const auto started = std::chrono::steady_clock::now();
  // A file that can't be read (removed, unreadable) is said once, until it can.
  std::string text;
  if (read_patch_text(path_, &text)) {
    unreadable_said_ = false;
  } else {
    if (!unreadable_said_)
      std::printf("patch not reloaded: cannot open patch file [%s]: %s\n", path_.c_str(),
                  std::strerror(errno));
    unreadable_said_ = true;
    std::fflush(stdout);
    return;
  }

  // The trace, the report and the problems print as at start-up; an empty field
  // only stops the load.
  PatchLog log(PatchLog::kPrint);
  // The title waits until the patch is taken: a refused one leaves the window as it is.
  std::string title;
  LoadOptions options{[&title](const char* t) { title = t ? t : ""; }, options_.seed};
  std::unique_ptr<GENERATOR> next = load_patch_text(path_.c_str(), text, log, options);

  // What start-up would play is played: only errors (what the loader refuses or
  // drops) keep the patch that plays.
  const PatchCheck check = check_patch(text, *next, log);
  if (check.errors > 0) {
    std::printf("patch not reloaded: %d problem%s\n", check.errors, check.errors == 1 ? "" : "s");
    std::fflush(stdout);
    return;
  }

  // The keys held now sound on the new graph from its first frame, in the order
  // they went down (the last one pressed on a voice sets its note).
  std::vector<VoiceOp> again;
  for (int key : held_) {
    VoiceOp ops[kMaxOpsPerEvent];
    const int n = key_press_ops(*next, key, ops);
    if (static_cast<int>(again.size()) + n <= Player::kMaxHeldOps)
      again.insert(again.end(), ops, ops + n);
  }
  player_.offer(next, again.data(), static_cast<int>(again.size()));
  if (options_.caption) options_.caption(title.c_str());
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
  std::printf("patch reloaded (%d modules) in %.1f ms", module_count(player_.graph()), ms);
  if (check.warnings > 0)
    std::printf(", %d warning%s: see tev-render --check", check.warnings,
                check.warnings == 1 ? "" : "s");
  std::printf("\n");
  std::fflush(stdout);
}
