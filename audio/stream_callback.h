// The stream callback: advances the graph once per frame and writes 16-bit stereo.
#pragma once

#include <cstring>

#include "audio/midi_map.h"
#include "audio/voice_keys.h"

struct FSOUND_STREAM;
class GENERATOR;

// The one graph the live synth plays (and the renderer renders). Once the stream
// runs only the stream callback touches it: a reloaded patch reaches it through
// g_graph_swap (audio/graph_swap.h).
extern GENERATOR* gen;

// Fills length >> 2 frames of `buffer`: before each frame the queued key
// operations are applied, then the queued MIDI ones; then gen advances one sample
// and its clamped output, truncated toward zero (NaN gives 0), is written to left
// and right. Returns 1.
int instrument_callback(FSOUND_STREAM* stream, void* buffer, int length, void* userdata);

// The conversion of one graph output value to a 16-bit sample.
short output_to_sample(float clamped);

// Audio thread, before each frame: the queued key operations, then the MIDI ones
// (two producers, two queues).
#include "host/take.h"
extern Take* g_take;
inline void apply_queued_ops(GENERATOR& g, int i = 0) {
  if (!g_take) { g_voice_ops.drain(g); g_midi_ops.drain(g); return; }
  g_voice_ops.drain(g, [&](const VoiceOp& op) { g_take->op(i, Take::kKeys, op); });
  g_midi_ops.drain(g, [&](const VoiceOp& op) { g_take->op(i, Take::kMidi, op); });
}

// Frame i of a 16-bit stereo buffer, the same sample left and right. The buffer
// need not be aligned for int16.
inline void write_frame(unsigned char* out, int i, float v) {
  const short s = output_to_sample(v);
  std::memcpy(out + 4 * i, &s, 2);
  std::memcpy(out + 4 * i + 2, &s, 2);
}

// One "FIN" line per sampler playback that ended (take_finished_playbacks), on
// standard output. Main thread: the live synth's main loop, the renderer between blocks.
void print_finished_playbacks(unsigned count);
