// Key-at-a-time console input over POSIX terminal control.
#include "audio/wincompat.h"

#include <errno.h>
#include <signal.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

termios ori;
int inited = 0;
// Set once `ori` holds the saved settings; read by the signal handler.
volatile sig_atomic_t ori_saved = 0;

void restore_and_reraise(int sig) {
  if (ori_saved) tcsetattr(0, TCSANOW, &ori);
  signal(sig, SIG_DFL);
  raise(sig);
}

}  // namespace

void init_terminal() {
  termios work;
  tcgetattr(0, &work);
  if (tcgetattr(0, &ori) == 0) ori_saved = 1;
  work.c_lflag &= ~static_cast<tcflag_t>(ICANON);
  tcsetattr(0, TCSANOW, &work);
  // Unbuffered: every byte read is one the wait saw arrive, so keys that come
  // together (a paste, an arrow's sequence) are each taken at once.
  setvbuf(stdin, nullptr, _IONBF, 0);
  atexit(tcatexit);
}

void tcatexit() {
  if (ori_saved) tcsetattr(0, TCSANOW, &ori);
}

int getch() {
  if (!inited) {
    inited = 1;
    init_terminal();
  }
  int r;
  do {
    fd_set rfds;
    FD_ZERO(&rfds);
    FD_SET(0, &rfds);
    r = select(1, &rfds, nullptr, nullptr, nullptr);
    // A signal that interrupts the wait (a resized window, a resumed job) is no
    // failure of the console.
  } while (r < 0 && errno == EINTR);
  if (r <= 0) {
    printf("wincompat.h: select() on fd 0 failed\n");
    return static_cast<int>(0xdeadbeef);
  }
  return getchar();
}

void wincompat_install_signal_restore() {
  struct sigaction sa {};
  sa.sa_handler = restore_and_reraise;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESETHAND;
  const int sigs[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
  for (int s : sigs) {
    struct sigaction old {};
    // A signal the parent chose to ignore (nohup, a background job) stays ignored.
    if (sigaction(s, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    sigaction(s, &sa, nullptr);
  }
}
