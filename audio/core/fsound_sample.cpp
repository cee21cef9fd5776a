// Sample length through libsndfile: the sampler asks only for the length.
#include <sndfile.h>

#include "audio/fsound.h"

struct FSOUND_SAMPLE {
  int length;  // frames
};

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
