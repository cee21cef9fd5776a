// Note number -> frequency in Hz. Note 58 is 440 Hz, 12 notes an octave.
#pragma once

constexpr int NOTE2FREQ_SIZE = 2000;
extern double NOTE2FREQ[NOTE2FREQ_SIZE];

// Fills NOTE2FREQ. Entries 1525..1999 overflow the single-precision power and are +inf.
void init_NOTE2FREQ();

// A note index is usable when it falls inside the table.
inline bool note_in_table(long long n) { return n >= 0 && n < NOTE2FREQ_SIZE; }
