// Builds a graph from patch text written on the fly, the way the synth loads a
// file, with the loader's trace kept off the test output.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "engine/generator.h"
#include "engine/note_table.h"

namespace tevtest {

// `text` holds one patch line per line. The keyboards' random start notes are
// left as the constructors drew them; tests set the notes they rely on.
// `problems` is the number of faults the loader is expected to point out.
inline std::unique_ptr<GENERATOR> load_patch_text(const std::string& text, int problems = 0) {
  init_NOTE2FREQ();
  char path[] = "/tmp/tev_patch_XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return nullptr;
  FILE* f = fdopen(fd, "w");
  std::fputs(text.c_str(), f);
  std::fclose(f);
  testing::internal::CaptureStdout();
  auto g = std::make_unique<GENERATOR>(path);
  const std::string trace = testing::internal::GetCapturedStdout();
  std::remove(path);
  EXPECT_EQ(g->load_problems, problems) << trace;
  return g;
}

// The module of that name, found the way the loader finds link sources.
inline VCO* vco(GENERATOR& g, const char* name) { return g.get_VCO_by_name(name); }
inline VCA* vca(GENERATOR& g, const char* name) { return g.get_VCA_by_name(name); }
inline MIXER* mixer(GENERATOR& g, const char* name) { return g.get_MIXER_by_name(name); }
inline SAMPLER* sampler(GENERATOR& g, const char* name) { return g.get_SAMPLER_by_name(name); }
inline KEYBOARD* keyboard(GENERATOR& g, const char* name) {
  for (KEYBOARD* k : g.liste_keyboard)
    if (std::string(k->name) == name) return k;
  return nullptr;
}
inline SEQUENCER* sequencer(GENERATOR& g, const char* name) {
  for (SEQUENCER* s : g.liste_sequencer)
    if (std::string(s->name) == name) return s;
  return nullptr;
}

// Gives a sampler `length` values (so it plays 2 x length evaluations at speed 1)
// without a WAV file: value i of the buffer is fill(i).
template <class Fill>
void give_samples(SAMPLER* s, int length, Fill fill) {
  s->length = length;
  for (int i = 0; i < 2 * length + 2 && i < SAMPLER::kCapacity; i++)
    s->samples[i] = static_cast<int16_t>(fill(i));
  s->position = 0.0f;
  s->playing = 1;
}

}  // namespace tevtest
