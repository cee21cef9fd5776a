#include "audio/stream_callback.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "audio/graph_swap.h"
#include "audio/midi_map.h"
#include "engine/convert.h"
#include "engine/generator.h"
#include "audio/voice_keys.h"

GENERATOR* gen = nullptr;
Take* g_take = nullptr;

short output_to_sample(float v) {
  // The value is already within +-32000; truncation toward zero, low 16 bits.
  return static_cast<short>(static_cast<uint16_t>(static_cast<uint32_t>(trunc_to_i32(v))));
}

int instrument_callback(FSOUND_STREAM*, void* buffer, int length, void*) {
  const int frames = length >> 2;
  if (frames <= 0 || !gen) return 1;
  auto* out = static_cast<unsigned char*>(buffer);
  // A reloaded patch takes over at the start of a buffer.
  if (g_graph_swap.active()) {
    if (g_take) g_take->note_reload();
    g_graph_swap.render(&gen, out, frames);
    if (g_take) g_take->frames(out, frames);
    return 1;
  }
  for (int i = 0; i < frames; i++) {
    apply_queued_ops(*gen, i);
    gen->evolue();
    write_frame(out, i, gen->get_OUTL());
  }
  if (g_take) g_take->frames(out, frames);
  return 1;
}

void print_finished_playbacks(unsigned count) {
  for (; count > 0; count--) std::printf("FIN\n");
}
