#include "patch/params.h"

#include <cstring>

namespace {
bool has(const char* s, const char* word) { return s && std::strstr(s, word) != nullptr; }
}  // namespace

const char* kind_noun(ModuleKind k) {
  static const char* const nouns[kModuleKinds] = {"sequencer",  "keyboard",  "sampler",
                                                  "oscillator", "amplifier", "mixer"};
  return nouns[static_cast<int>(k)];
}

const char* const kKindWords[7] = {"SEQUENCER", "KEY", "SAMPLER", "VCO", "LFO", "VCA", "MIXER"};

unsigned kinds_of_name(const char* n) {
  unsigned k = 0;
  if (has(n, "SEQUENCER")) k |= bit(ModuleKind::Sequencer);
  if (has(n, "KEY")) k |= bit(ModuleKind::Keyboard);
  if (has(n, "SAMPLER")) k |= bit(ModuleKind::Sampler);
  if (has(n, "VCO") || has(n, "LFO"))
    k |= bit(ModuleKind::Oscillator);
  else if (has(n, "VCA"))
    k |= bit(ModuleKind::Amplifier);
  else if (has(n, "MIXER"))
    k |= bit(ModuleKind::Mixer);
  return k;
}

unsigned link_lookups(ModuleKind line, const char* s) {
  const bool osc = has(s, "VCO") || has(s, "LFO");
  switch (line) {
    case ModuleKind::Sequencer:
      if (osc) return bit(ModuleKind::Oscillator);
      if (has(s, "VCA")) return bit(ModuleKind::Amplifier);
      return has(s, "SAMPLER") ? bit(ModuleKind::Sampler) : 0;
    case ModuleKind::Sampler:
      if (osc) return bit(ModuleKind::Oscillator);
      return has(s, "KEY") ? bit(ModuleKind::Keyboard) : 0;
    case ModuleKind::Oscillator: {
      // Any source that is neither a keyboard nor a sampler is taken for an oscillator.
      const bool key = has(s, "KEY"), smp = has(s, "SAMPLER");
      unsigned k = !key && !smp ? bit(ModuleKind::Oscillator) : 0;
      if (key) k |= bit(ModuleKind::Keyboard);
      if (smp) k |= bit(ModuleKind::Sampler);
      return k;
    }
    case ModuleKind::Amplifier:
      if (has(s, "MIXER")) return bit(ModuleKind::Mixer);
      return has(s, "KEY") ? bit(ModuleKind::Keyboard) : 0;
    case ModuleKind::Mixer:
      return (osc ? bit(ModuleKind::Oscillator) : 0) |
             (has(s, "SAMPLER") ? bit(ModuleKind::Sampler) : 0);
    case ModuleKind::Keyboard:
      break;
  }
  return 0;
}

// Envelope times count the amplifier's clock, 220.5 units a second (4.5 ms each).
// Frequencies above half the 44100 Hz output rate fold back. A sustain level is a
// whole number, so 0 (fade out) or 1 (hold). An oscillator's amount scales its
// wave and, as a modulator, the share by which it changes its target.
const ParamDef kParams[] = {
    {ModuleKind::Sequencer, "DIVIDER", Param::Divider, Reading::Real, 0.01, 44100, false,
     "keeps its default of 2 steps per second",
     "a step lasts 44100 / DIVIDER samples, at least one, and 0 holds the first step for ever"},
    {ModuleKind::Sequencer, "NBR_STEP", Param::NbrStep, Reading::Whole, 1, 16, true,
     "keeps its default of 16 steps", ""},
    {ModuleKind::Sequencer, "NOTE", Param::StepNote, Reading::Whole, 0, 1999, true,
     "keeps a random note from 88 to 99 on that step", ""},
    {ModuleKind::Sampler, "FILE", Param::File, Reading::Text, 0, 0, false,
     "has no sample and stays silent", ""},
    {ModuleKind::Oscillator, "TYPE", Param::Type, Reading::Waveform, 1, 5, true,
     "keeps its default waveform, a sine (type 1)", "the oscillator plays a sine (type 1)"},
    {ModuleKind::Oscillator, "FREQ", Param::Freq, Reading::Real, 0, 22050, false,
     "keeps its default frequency of 440 Hz", "the oscillator runs at it as given"},
    {ModuleKind::Oscillator, "AMOUNT", Param::Amount, Reading::Real, -1, 1, false,
     "keeps its default amount of 1", "the oscillator takes it as given"},
    {ModuleKind::Oscillator, "NOTE", Param::Note, Reading::Whole, -53, 1933, true,
     "adds no note offset", ""},
    {ModuleKind::Amplifier, "ATTACK", Param::Attack, Reading::Whole, 0, 220500, false,
     "keeps its default attack of 1 (4.5 ms)", "the envelope takes it as given"},
    {ModuleKind::Amplifier, "BYPASS", Param::Bypass, Reading::Whole, 0, 1, false,
     "keeps its envelope (no bypass)", "any value but 0 keeps the amplifier open"},
    {ModuleKind::Amplifier, "DECAY", Param::Decay, Reading::Whole, 0, 220500, false,
     "keeps its default decay of 100 (0.45 s)", "the envelope takes it as given"},
    {ModuleKind::Amplifier, "SUSTAIN", Param::Sustain, Reading::Whole, 0, 1, false,
     "keeps its default sustain of 0 (the note fades out)",
     "the envelope multiplies the note by it as given"},
    {ModuleKind::Amplifier, "RELEASE", Param::Release, Reading::Whole, 0, 220500, false,
     "keeps its default release of 0 (the note stops at once)", "the envelope takes it as given"},
};
const size_t kParamCount = sizeof kParams / sizeof kParams[0];
