#include "app/patch_watch.h"

#include <sys/inotify.h>
#include <unistd.h>


PatchWatch::~PatchWatch() {
  if (fd_ >= 0) close(fd_);
}

bool PatchWatch::start(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string dir =
      slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  name_ = slash == std::string::npos ? path : path.substr(slash + 1);
  fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ < 0) return false;
  // Written in place (modify, close), renamed over or onto (moved to/from),
  // deleted and created again, or made unreadable (attrib).
  const uint32_t mask = IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE |
                        IN_DELETE | IN_ATTRIB;
  if (inotify_add_watch(fd_, dir.c_str(), mask) < 0) {
    close(fd_);
    fd_ = -1;
    return false;
  }
  return true;
}

bool PatchWatch::settled() {
  if (fd_ < 0) return false;
  // Events are read whole; a buffer this size holds many of them.
  alignas(inotify_event) char buf[4096];
  for (;;) {
    const ssize_t n = read(fd_, buf, sizeof buf);
    if (n <= 0) break;
    for (ssize_t off = 0; off < n;) {
      const auto* e = reinterpret_cast<const inotify_event*>(buf + off);
      if (e->len > 0 && name_ == e->name) {
        changed_ = true;
        last_ = std::chrono::steady_clock::now();
      }
      off += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
    }
  }
  if (!changed_ || std::chrono::steady_clock::now() - last_ < kSettle) return false;
  changed_ = false;
  return true;
}
