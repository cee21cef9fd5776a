// Sample player: plays its own 16-bit buffer, one value per evaluation at speed 1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/output.h"

// Playbacks ended since the last call, over every sampler of the process. The audio
// thread counts them (no printing there: a slow terminal would stall the sound); the
// thread that runs the main loop prints one "FIN" line for each.
unsigned take_finished_playbacks();

// A sample file as the sampler knows it: only its length is asked for.
struct FSOUND_SAMPLE {
  int length;  // frames
};

class SAMPLER final : public OUTPUT {
 public:
  static constexpr int kCapacity = 8000000;  // values; the record holds 16 MB

  // An unloaded sampler has length 0 and stops at its first evaluation. The loader
  // traces that length ("[0 ]") as it creates one.
  SAMPLER();

  // The buffer comes zeroed (anonymous pages): values past a file's data play as
  // silence, untouched pages of the 16 MB cost no memory, and all of them go back
  // to the system when the sampler is deleted.
  static void* operator new(std::size_t size);
  static void operator delete(void* p);
  ~SAMPLER() { delete sample_handle; }
  SAMPLER(const SAMPLER&) = delete;
  SAMPLER& operator=(const SAMPLER&) = delete;

  // Reads `length` from the sample file's header and the data from the file (WAV
  // reader). A file that can't be read is reported on standard output, or into
  // `error` when given. Defined with the patch reader.
  void load_SAMPLE(char* path, std::string* error = nullptr);

  // x + v x x, the modulation of a field by a source's output v: formed in double,
  // rounded once.
  static void modulate(float& x, float v) {
    x = static_cast<float>(static_cast<double>(x) + static_cast<double>(v) * x);
  }
  // Keeps playing from where it is; a finished sampler restarts from 0.
  void TRIG() { playing = 1; }

  // Advances the clock, ends after position x speed passes 2 x length (counts a
  // finished playback, see take_finished_playbacks), outputs
  // samples[trunc(position x speed + offset)] x gain / 32000.
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
