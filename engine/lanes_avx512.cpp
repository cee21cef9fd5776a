// sine_lanes_8, compiled with -mavx512f (top CMakeLists.txt); called only where the
// CPU runs it.
#if defined(TEV_HAVE_MVEC) && defined(__x86_64__)
#define W 8
#define KERNEL sine_lanes_8
#define CERTAIN sine_certain_8
#define CHAIN chain_lanes_8
#define VCA_HOLD vca_lanes_8
#define VOICE voice_lanes_8
#define VOICE_RUN voice_run_8
#include "engine/lanes_kernel.inc"
#else
#include "engine/lanes.h"
// Without libmvec no CPU runs them (sine_kernel() is Scalar).
size_t sine_lanes_8(const SineLanes&) { return 0; }
unsigned sine_certain_8(const double*) { return 0; }
void chain_lanes_8(const ChainLanes&) {}
size_t vca_lanes_8(const VcaLanes&) { return 0; }
size_t voice_lanes_8(const VoiceLanes&) { return 0; }
bool voice_run_8(const VoiceLanes&, float*, size_t) { return false; }
#endif
