#include "engine/keyboard.h"

#include <cstdlib>

KEYBOARD::KEYBOARD() : note(std::rand() % 10 + 58) {
  OUTL = 0.0f;
  name[0] = '\0';
}
