#include "engine/mixer.h"

MIXER::MIXER() {
  OUTL = 0.0f;
  name[0] = '\0';
}

