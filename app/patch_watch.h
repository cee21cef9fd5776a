// Watching the patch file for saves (Linux inotify on its directory, so that a
// file renamed over it or deleted and written anew counts as well as a write in
// place). Main thread only.
#pragma once

#include <chrono>
#include <string>

class PatchWatch {
 public:
  // An editor's save is several events (truncate, writes, close, rename): the file
  // is read once this long has passed without another.
  static constexpr std::chrono::milliseconds kSettle{100};

  PatchWatch() = default;
  PatchWatch(const PatchWatch&) = delete;
  PatchWatch& operator=(const PatchWatch&) = delete;
  ~PatchWatch();

  // Watches the directory holding `path` for changes to that name. False when
  // inotify refuses (the synth then plays on without reloading).
  bool start(const std::string& path);
  // Reads what inotify has; true once per save, when it has settled.
  bool settled();

 private:
  int fd_ = -1;
  std::string name_;  // the file's name within its directory
  bool changed_ = false;
  std::chrono::steady_clock::time_point last_;
};
