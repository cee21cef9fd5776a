// Key-at-a-time console input for the start-up prompts.
#pragma once

// Waits for standard input and returns one byte (0..255), -1 at end of input, or
// 0xdeadbeef when the wait fails. The first call switches the console out of line
// mode and registers the restore with atexit.
int getch();
void init_terminal();
// Puts the console settings back as they were before the first getch.
void tcatexit();
