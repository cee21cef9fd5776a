// The patch format's vocabulary in one table: which module kinds a line's name
// creates, what a link field's source is looked up as, and every parameter key
// with how its value is read and the values that mean something. The loader acts
// on it and the patch check judges by it, so the two cannot disagree.
#pragma once

#include <cstddef>

enum class ModuleKind { Sequencer, Keyboard, Sampler, Oscillator, Amplifier, Mixer };
constexpr int kModuleKinds = 6;
constexpr unsigned bit(ModuleKind k) { return 1u << static_cast<int>(k); }

// "sequencer", "keyboard", ...
const char* kind_noun(ModuleKind k);

// The kinds a line creates, by substring of its name (exact case): the first three
// tests are independent, the last three a chain where the first match wins.
unsigned kinds_of_name(const char* name);
// The words those tests look for, for messages and suggestions.
extern const char* const kKindWords[7];

// The kinds a link field on a `line` line looks its source up as (0: ignored).
unsigned link_lookups(ModuleKind line, const char* source);

enum class Param { Divider, NbrStep, StepNote, File, Type, Freq, Amount, Note, Attack, Bypass,
                   Decay, Sustain, Release };
// How the loader reads a value: atof, atoi, the text itself, or its first character.
enum class Reading { Real, Whole, Text, Waveform };

struct ParamDef {
  ModuleKind kind;
  const char* key;  // searched anywhere in the field, value included
  Param param;
  Reading reading;
  double lo, hi;        // the values that mean something
  bool loader_limits;   // the loader itself refuses or limits values outside lo..hi
  const char* unset;    // what the module does when its line does not set the key
  const char* outside;  // what the synth makes of a value outside lo..hi
};

// Every key, each kind's in the order the loader tests them on one field.
extern const ParamDef kParams[];
extern const size_t kParamCount;
