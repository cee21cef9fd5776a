// Note source for a voice. Not evaluated: the graph reads `note` directly.
#pragma once

#include "engine/note_table.h"
#include "engine/output.h"

class KEYBOARD : public OUTPUT {
 public:
  KEYBOARD();  // draws note = rand() % 10 + 58

  // The note's frequency while pressed, else 0. Not clamped.
  float get_OUTL() override {
    if (pressed == 0 || !note_in_table(note)) return 0.0f;
    return static_cast<float>(NOTE2FREQ[note]);
  }
  int evolue() override { return 1; }

  void TRIG() { pressed = 1; }
  void UNTRIG() { pressed = 0; }

  int pressed = 0;
  int note;  // index into NOTE2FREQ
  char name[800];
};
