// Key-at-a-time console input for the start-up prompts.
#pragma once

// Waits for standard input and returns one byte (0..255), -1 at end of input, or
// 0xdeadbeef when the wait fails. The first call switches the console out of line
// mode and registers the restore with atexit.
int getch();
void init_terminal();
// Puts the console settings back as they were before the first getch.
void tcatexit();

// Makes SIGINT, SIGTERM, SIGHUP and SIGQUIT put the console settings back before
// the process dies of them (a signal ends the process without running atexit).
// The handler only restores the terminal (async-signal-safe tcsetattr), then
// re-raises the signal with its default action, so the exit status still tells
// the parent which signal ended the process. Signals the process inherited as
// ignored stay ignored. Call it once, early in main; safe before the first getch
// (then there is nothing to restore).
void wincompat_install_signal_restore();
