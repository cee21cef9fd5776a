// The patch the live synth plays, followed as its file is saved: the key events
// (which keys are held), the reload of a changed file on the main thread, and the
// handover of the new graph to the stream callback. Main thread only.
#pragma once

#include <string>
#include <vector>

#include "app/patch_watch.h"
#include "host/voice_keys.h"
#include "patch/patch_log.h"

class Player;

class LivePatch {
 public:
  // `player` plays the patch loaded from `path`. `options` are the start-up load's
  // (window title, sequencer seed): a reload titles the window only once its patch
  // is taken.
  LivePatch(Player& player, const std::string& path, const LoadOptions& options);

  // The window's key events, turned into voice operations for the newest graph.
  void key_down(int key);
  void key_up(int key);
  void user_retrigger(int voice);

  // From the main loop: reloads the patch once a save has settled, and finishes a
  // handover (key operations held back, the replaced graph freed).
  void poll();

 private:
  void reload();

  Player& player_;
  std::string path_;
  LoadOptions options_;
  PatchWatch watch_;
  bool watching_ = false;
  bool reload_due_ = false;       // a save settled while a handover was under way
  bool unreadable_said_ = false;  // the file can't be read and that was said
  std::vector<int> held_;          // keys down, oldest first
};
