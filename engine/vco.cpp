#include "engine/vco.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "engine/convert.h"

VCO::VCO(float amount_, float freq_, type_generateur type_)
    : base_amount(amount_), base_freq(freq_), amount(amount_), freq(freq_), type(type_) {
  OUTL = 0.0f;
  std::strcpy(name, "Emptynamed_VCO");
  freq_set();
}

int VCO::evolue_waveform(double arg) {
  const double a = amount;
  switch (static_cast<uint32_t>(type)) {
    case SINE:
      OUTL = static_cast<float>(std::sin(arg) * a);
      break;
    case SAW:
      step_saw();
      break;
    case HALF_SAW:
      step_half_saw();
      break;
    case PULSE:
      step_pulse(static_cast<float>(std::sin(arg)));
      break;
    case NOISE: {
      if (amount == 0.0f) break;  // no draw, OUTL kept
      double d = 0.0;
      // freq sets the density of impulses: about one evaluation in k carries one.
      const long long r1 = std::rand();
      const long long k = static_cast<long long>(trunc_to_i32(static_cast<double>(freq) - 439.0f)) + 1;
      if (k != 0 && r1 % k == 1) {
        const long long r2 = std::rand();
        const long long m = static_cast<long long>(trunc_to_i32(a * 100.0f)) + 111;
        // A zero divisor gives an evaluation without impulse.
        if (m != 0) d = static_cast<float>(r2 % m);
      }
      OUTL = static_cast<float>((d - a * 50.0f) / 100.0f);
      break;
    }
    default:  // SILENT and every value above 5
      OUTL = 0.0f;
      break;
  }
  return 1;
}
