// Sine oscillators of one pass side by side: each kernel steps W of them at a time
// (W = 4 with AVX2, 8 with AVX-512), every lane doing the float and double operations
// of VCO::step_phase, the sine, and the graph's retune after it, in the same order
// and with the same roundings. The oscillators stay where they are; a lane reads and
// writes its own through its address (the kernels are compiled with their own
// instruction sets, so they include nothing with inline code).
#pragma once

#include <cstddef>
#include <cstdint>

struct SineLanes {
  // `padded` entries, a multiple of the kernel's width: the first n are the group's oscillators, the
  // rest point at a silent scratch oscillator (several lanes may share it: its
  // result is never read).
  const uintptr_t* vco = nullptr;
  const uintptr_t* note = nullptr;  // address of each one's note (an int)
  const int64_t* offset = nullptr;  // the line's *NOTE transposition
  size_t n = 0, padded = 0;
  // Byte offsets of the oscillator's fields (floats).
  intptr_t phase = 0, phase_offset = 0, amount = 0, freq = 0, base_amount = 0,
           base_phase_offset = 0, base_freq = 0, outl = 0;
  const double* note_freq = nullptr;  // NOTE2FREQ
  int64_t note_count = 0;
  // Filled by the kernel: the lanes (of the first n) whose vector sine could not be
  // certified, with their argument and amount; the caller gives them the scalar sine.
  uint32_t* fall_lane = nullptr;
  double* fall_arg = nullptr;
  double* fall_amount = nullptr;
};

// One sample of the group. Returns how many lanes fell back (entries of fall_*).
// Call only the kernels the CPU runs (sine_kernel()).
size_t sine_lanes_4(const SineLanes& g);
size_t sine_lanes_8(const SineLanes& g);
// The kernels' certificate on its own: bit j set when float(prod[j]) is certain to
// be the float of every double within |prod[j]| x 2^-48 of it (else the lane takes
// the scalar sine). prod: 4 or 8 values.
unsigned sine_certain_4(const double* prod);
unsigned sine_certain_8(const double* prod);

// Source -> one-input mixer -> amplifier, side by side: the source's OUTL clamped
// (and kept), into the mixer's first input, 10000 x it + 0 clamped into the mixer's
// OUTL and the amplifier's input, as passes 9, 10 and 12 have it for such a chain.
struct ChainLanes {
  // `padded` entries, a multiple of the kernel's width; padding points at scratch
  // objects.
  const uintptr_t* source = nullptr;     // address of the source's OUTL
  const uintptr_t* mixer = nullptr;      // the mixer
  const uintptr_t* vca_input = nullptr;  // address of the amplifier's input
  size_t padded = 0;
  intptr_t mixer_input = 0, mixer_outl = 0;  // byte offsets of inputs[0] and OUTL
};
void chain_lanes_4(const ChainLanes& c);
void chain_lanes_8(const ChainLanes& c);

// Amplifiers side by side, in the states where they spend their time: bypassed,
// idle, or held at the sustain, each gets VCA::evolue's level there, and product[i]
// = level x input, the float product the patch's sum adds in order. The other lanes
// (attack, decay, release, sustain still falling) are listed in `other` (returned
// count), for VCA::evolue.
struct VcaLanes {
  const uintptr_t* vca = nullptr;  // `padded` entries; padding: a held scratch amplifier
  size_t n = 0, padded = 0;
  intptr_t outl = 0, elapsed = 0, input = 0, active = 0, released = 0, attack_time = 0,
           attack_level = 0, decay_time = 0, sustain_level = 0, release_time = 0, bypass = 0;
  float* product = nullptr;
  uint32_t* other = nullptr;
};
size_t vca_lanes_4(const VcaLanes& v);
size_t vca_lanes_8(const VcaLanes& v);

// Whole voices side by side: a V sine oscillator, the one-input mixer it alone feeds
// and the amplifier that mixer alone drives, their state in blocks the graph owns,
// each block `width` voices (the kernel's lanes): within a block every field is
// `width` consecutive values (4 bytes each, 8 for the first three), in VoiceField
// order, so that one address reaches all of a block. Voice l is entry l % width of
// block l / width; `padded` voices, a multiple of the width, the padding silent and
// idle. One call is passes 8 (oscillator and retune), 9, 10, 12 and the amplifier's
// steady states of 11: the same operations as the scalar code, lane by lane, in its
// order.
enum VoiceField : int {
  kVoiceStep = 0,    // double: freq / 44100, formed when freq is set (as VCO::step_phase keeps it)
  kVoiceNote = 2,    // address of the keyboard's note (an int)
  kVoiceOffset = 4,  // int64: the line's *NOTE transposition
  // Oscillator (floats); outl, after the call: clamped, as the mixer's feed keeps it.
  kVoicePhase = 6, kVoicePhaseOffset, kVoiceAmount, kVoiceFreq, kVoiceBaseAmount,
  kVoiceBasePhaseOffset, kVoiceBaseFreq, kVoiceOutl,
  // Amplifier (floats). Its input, the mixer's clamped output, is not kept: it follows
  // from outl (voice_input). Its parameters do not change while it plays, so two of
  // VCA::evolue's values are formed once: A + D, and L x S (the held level).
  kVoiceLevel, kVoiceElapsed, kVoiceAttackTime, kVoiceAttackDecay, kVoiceSustainLevel,
  kVoiceHeldLevel,
  // Ints. can_hold: no negative (or NaN) time and S not 0. last_note: the note the
  // lane was last retuned from: the retune (frequency from the note, amount and phase
  // offset restored) changes nothing while the note stays, as nothing else writes
  // these oscillators. steady: -1 where the last call found the amplifier in a state
  // it keeps with the same level (bypassed, idle, or held at a level not above S) and
  // nothing (TRIG, UNTRIG) has touched it since: VCA::evolue would change nothing there.
  kVoiceActive, kVoiceReleased, kVoiceBypass, kVoiceCanHold, kVoiceLastNote, kVoiceSteady,
  kVoiceFields
};
struct VoiceLanes {
  size_t n = 0, padded = 0, width = 0;
  void* blocks = nullptr;  // padded / width blocks of kVoiceFields x width 4-byte slots
  int32_t* retune_all = nullptr;  // every lane is retuned while set
  const double* note_freq = nullptr;
  int64_t note_count = 0;
  // The scalar sine, for the lanes whose vector sine is not certain (of the first n).
  double (*sine)(double) = nullptr;
  // level x input for the voices in a steady state (bypassed, idle, held), `padded`
  // entries in voice order; the others (attack, decay, release, sustain still
  // falling) are listed in `other` (returned count), for VCA::evolue, their level,
  // elapsed and active left as they were.
  float* product = nullptr;
  uint32_t* other = nullptr;

  // Field f of voice l, as a T of its size.
  template <class T>
  T& at(int f, size_t l) const {
    int32_t* block = static_cast<int32_t*>(blocks) + l / width * kVoiceFields * width;
    return reinterpret_cast<T*>(block + f * width)[l % width];
  }
};
// The amplifier's input from the oscillator's clamped output: the mixer's
// 10000 x s + 0 (the float product, then the sum), clamped.
inline float voice_input(float s) {
  float m = 10000.0f * s + 0.0f;
  if (m > 32000.0f) m = 32000.0f;
  if (m < -32000.0f) m = -32000.0f;
  return m;
}
size_t voice_lanes_4(const VoiceLanes& v);
size_t voice_lanes_8(const VoiceLanes& v);
// The next `frames` samples (at most kVoiceRun) of voices that the last call left all
// steady, with no retune due (nothing has touched a keyboard or an amplifier since):
// each lane's state stays in registers from one sample to the next, and sum[t] is
// sample t's sum of the products, in voice order from 0. False, nothing done, when a
// voice is not steady. Each lane does the same operations as with voice_lanes_W.
constexpr size_t kVoiceRun = 32;
bool voice_run_4(const VoiceLanes& v, float* sum, size_t frames);
bool voice_run_8(const VoiceLanes& v, float* sum, size_t frames);
