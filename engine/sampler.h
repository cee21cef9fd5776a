// Sample player: plays its own 16-bit buffer, one value per evaluation at speed 1.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/output.h"

struct FSOUND_SAMPLE;

class SAMPLER : public OUTPUT {
 public:
  static constexpr int kCapacity = 8000000;  // values; the record holds 16 MB

  // Prints "[<length> ]". An unloaded sampler has length 0 and stops at its
  // first evaluation.
  SAMPLER();

  // The buffer comes zeroed from calloc: values past a file's data play as silence,
  // and untouched pages of the 16 MB cost no memory.
  static void* operator new(std::size_t size);
  static void operator delete(void* p);

  // Reads `length` from the sound layer and the data from the file (WAV reader).
  void load_SAMPLE(char* path);

  // Keeps playing from where it is; a finished sampler restarts from 0.
  void TRIG() { playing = 1; }

  // Advances the clock, ends after position x speed passes 2 x length (prints
  // "FIN"), outputs samples[trunc(position x speed + offset)] x gain / 32000.
  int evolue() override;

  FSOUND_SAMPLE* sample_handle = nullptr;
  int length = 0;
  int playing = 1;
  float position = 0.0f;  // evaluations since the start
  float base_speed = 1.0f;
  float base_gain = 1.0f;
  float base_offset = 0.0f;
  float speed = 1.0f;   // buffer values per evaluation; MOD_FREQ and the keyboard pitch
  float gain = 1.0f;    // MOD_AMP
  float offset = 0.0f;  // start offset in buffer values; MOD_PHASE
  // Last: the fields every sample reads share a cache line with OUTL.
  char name[800];
  int16_t samples[kCapacity];
};
