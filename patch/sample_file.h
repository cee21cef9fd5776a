// A sample file's length through libsndfile: the sampler asks only for the length.
#pragma once

struct FSOUND_SAMPLE;

// Length in frames of a sound file (data size / block align for PCM); a file
// libsndfile cannot read gives a null handle and length 0. The handle belongs to
// the sampler that asked for it.
FSOUND_SAMPLE* FSOUND_Sample_Load(int index, const char* name, unsigned int mode, int offset,
                                  int length);
int FSOUND_Sample_GetLength(FSOUND_SAMPLE* sample);
