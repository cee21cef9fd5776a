#include "engine/vca.h"

#include <cstring>

VCA::VCA() {
  OUTL = 0.0f;
  name[0] = '\0';
}

