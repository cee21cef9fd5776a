// The stream callback: advances the graph once per frame and writes 16-bit stereo.
#pragma once

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

// One "FIN" line per sampler playback that ended (take_finished_playbacks), on
// standard output. Main thread: the live synth's main loop, the renderer between blocks.
void print_finished_playbacks(unsigned count);
