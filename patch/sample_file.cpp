#include <sndfile.h>

#include "patch/sample_file.h"

#include "engine/sampler.h"

FSOUND_SAMPLE* FSOUND_Sample_Load(int, const char* name, unsigned int, int, int) {
  if (!name) return nullptr;
  SF_INFO info{};
  SNDFILE* f = sf_open(name, SFM_READ, &info);
  if (!f) return nullptr;
  sf_close(f);
  long long frames = info.frames;
  if (frames < 0) frames = 0;
  if (frames > 0x7fffffff) frames = 0x7fffffff;
  return new FSOUND_SAMPLE{static_cast<int>(frames)};
}

int FSOUND_Sample_GetLength(FSOUND_SAMPLE* sample) { return sample ? sample->length : 0; }
