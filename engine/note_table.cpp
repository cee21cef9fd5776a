#include "engine/note_table.h"

#include <cmath>

double NOTE2FREQ[NOTE2FREQ_SIZE];

void init_NOTE2FREQ() {
  for (int i = 0; i < NOTE2FREQ_SIZE; i++) {
    // The exponent and the power are single precision by design: the table's
    // values (and so every pitch a patch plays) depend on these roundings.
    float exponent = static_cast<float>(i + 11) / 12.0f;
    float power = powf(2.0f, exponent);
    NOTE2FREQ[i] = static_cast<double>(power) * 8.1757989;
  }
}
