#include "engine/generator.h"

#include <cstdlib>
#include <cstring>

#include "engine/note_table.h"

GENERATOR::GENERATOR(const char* path) {
  OUTL = 0.0f;
  load_TSY(path ? path : "SYNTH_2.TSY");
  prepare();
  affiche_tree();
}

GENERATOR::GENERATOR(Empty) { OUTL = 0.0f; }

// ---------------------------------------------------------------- lookups

namespace {
template <class M>
M* find_by_name(const std::vector<M*>& list, int count, const char* name) {
  if (!name) return nullptr;
  const int n = count < static_cast<int>(list.size()) ? count : static_cast<int>(list.size());
  for (int i = 0; i < n; i++)
    if (std::strcmp(list[i]->name, name) == 0) return list[i];
  return nullptr;
}
}  // namespace

VCO* GENERATOR::get_VCO_by_name(const char* name) { return find_by_name(liste_vco, nbr_vco, name); }
VCA* GENERATOR::get_VCA_by_name(const char* name) { return find_by_name(liste_vca, nbr_vca, name); }
MIXER* GENERATOR::get_MIXER_by_name(const char* name) {
  return find_by_name(liste_mixer, nbr_mixer, name);
}
SAMPLER* GENERATOR::get_SAMPLER_by_name(const char* name) {
  return find_by_name(liste_sampler, nbr_sampler, name);
}
KEYBOARD* GENERATOR::get_KEYBOARD_by_name(const char* name) {
  if (liste_keyboard.size() == 1) return liste_keyboard[0];
  return find_by_name(liste_keyboard, static_cast<int>(liste_keyboard.size()), name);
}

KEYBOARD* GENERATOR::get_KEYBOARD_by_VCO(VCO* vco) {
  const int n = nbr_liens_key_vco < static_cast<int>(liens_key_vco.size())
                    ? nbr_liens_key_vco
                    : static_cast<int>(liens_key_vco.size());
  for (int i = 0; i < n; i++)
    if (liens_key_vco[i].pere_in == vco) return liens_key_vco[i].source;
  return nullptr;
}

KEYBOARD* GENERATOR::get_KEYBOARD_by_SAMPLER(SAMPLER* sampler) {
  for (auto& l : liens_key_sampler)
    if (l.pere_in == sampler) return l.source;
  return nullptr;
}

// ---------------------------------------------------------------- load-time resolution

namespace {
// A list is walked up to its counter, and never past its end.
inline int count(int counter, size_t size) {
  return counter < static_cast<int>(size) ? counter : static_cast<int>(size);
}
}  // namespace

uint8_t GENERATOR::word_flags(const char* word) {
  if (!word) return 0;
  uint8_t f = 0;
  if (std::strstr(word, "MOD_AMP")) f |= kModAmp;
  if (std::strstr(word, "MOD_FREQ")) f |= kModFreq;
  if (std::strstr(word, "MOD_PHASE")) f |= kModPhase;
  return f;
}

int GENERATOR::mixer_input(const char* word) {
  if (!word || std::strlen(word) < 3) return -1;
  const int d = word[2] - '0';
  return (d >= 1 && d <= MIXER::kMaxInputs) ? d - 1 : -1;
}

void GENERATOR::prepare() {
  // One flag set per source; a source without a word (only in a hand-built record)
  // is still evaluated and modulates nothing.
  auto flags_of = [](size_t sources, const std::vector<char*>& words) {
    std::vector<uint8_t> f(sources, 0);
    for (size_t j = 0; j < sources && j < words.size(); j++) f[j] = word_flags(words[j]);
    return f;
  };

  vco_mod_targets_.clear();
  vco_mod_sources_.clear();
  for (int i = 0, n = count(nbr_liens_vco_vco, liens_vco_vco.size()); i < n; i++) {
    const LINK_VCO_VCO& r = liens_vco_vco[i];
    ModTarget t{r.pere_in, static_cast<uint32_t>(vco_mod_sources_.size()), 0};
    for (size_t j = 0; j < r.fils_out.size(); j++) {
      // A source without a word is still evaluated; it modulates nothing.
      vco_mod_sources_.push_back({r.fils_out[j], j < r.param_out.size() ? word_flags(r.param_out[j]) : uint8_t{0}});
      t.count++;
    }
    vco_mod_targets_.push_back(t);
  }
  sampler_vco_flags_.clear();
  for (auto& r : liens_sampler_vco)
    sampler_vco_flags_.push_back(flags_of(r.fils_out.size(), r.param_out));
  vco_sampler_flags_.clear();
  for (auto& r : liens_vco_sampler)
    vco_sampler_flags_.push_back(flags_of(r.fils_out.size(), r.param_out));

  voiced_samplers_.clear();
  for (int i = 0; i < nbr_sampler && i < static_cast<int>(liste_sampler.size()); i++) {
    SAMPLER* s = liste_sampler[i];
    if (s->name[0] == 'S') voiced_samplers_.push_back({s, get_KEYBOARD_by_SAMPLER(s)});
  }

  voiced_vcos_.clear();
  int k = 0;
  for (int i = 0; i < nbr_vco && i < static_cast<int>(liste_vco.size()); i++) {
    VCO* o = liste_vco[i];
    if (o->name[0] != 'V') continue;
    const bool has = k < static_cast<int>(notes_vco.size());
    voiced_vcos_.push_back({o, get_KEYBOARD_by_VCO(o), has ? notes_vco[k] : 0, has});
    k++;
  }

  feed_inputs_.clear();
  auto feed_of = [this](MIXER* m, const auto& sources, const std::vector<char*>& words) {
    MixerFeed f{m, static_cast<uint32_t>(feed_inputs_.size()), 0};
    for (size_t j = 0; j < sources.size() && j < words.size(); j++) {
      const int d = mixer_input(words[j]);
      if (d < 0) continue;
      feed_inputs_.push_back({sources[j], &m->inputs[d]});
      f.count++;
    }
    return f;
  };
  vco_mixer_feeds_.clear();
  for (int i = 0; i < nbr_liens_vco_mixer && i < static_cast<int>(liens_vco_mixer.size()); i++) {
    auto& r = liens_vco_mixer[i];
    vco_mixer_feeds_.push_back(feed_of(r.pere_in, r.fils_out, r.param_out));
  }
  sampler_mixer_feeds_.clear();
  for (auto& r : liens_sampler_mixer)
    sampler_mixer_feeds_.push_back(feed_of(r.pere_in, r.fils_out, r.param_out));
}

// ---------------------------------------------------------------- one sample

namespace {
// X + v x X into an oscillator: the product is rounded to float, then the sum.
inline void modulate_vco(float& x, float v) {
  const float product = static_cast<float>(static_cast<double>(v) * x);
  x = static_cast<float>(static_cast<double>(x) + product);
}
// X + v x X into a sampler: formed in double, rounded once.
inline void modulate_sampler(float& x, float v) {
  x = static_cast<float>(static_cast<double>(x) + static_cast<double>(v) * x);
}
}  // namespace

int GENERATOR::evolue() {
  // 1. Samplers triggered by sequencers, then the sequencer steps.
  for (auto& r : liens_sampler_sequencer) {
    SEQUENCER* s = r.pere_in;
    const bool fire = s->step_counter == 0.0f && s->notes[s->step] != 0;
    if (fire)
      for (SAMPLER* p : r.fils_out) p->TRIG();
    s->SEQUENCER::evolue();
  }

  // 2. Amplifiers retriggered on the gate their sequencer last produced.
  for (int i = 0, n = count(nbr_liens_vca_sequencer, liens_vca_sequencer.size()); i < n; i++) {
    auto& r = liens_vca_sequencer[i];
    if (r.pere_in->gate != 0)
      for (VCA* a : r.fils_out) {
        a->UNTRIG();
        a->TRIG();
      }
  }

  // 3. Oscillators driven by sequencers; a rest silences them.
  for (int i = 0, n = count(nbr_liens_vco_sequencer, liens_vco_sequencer.size()); i < n; i++) {
    auto& r = liens_vco_sequencer[i];
    SEQUENCER* s = r.pere_in;
    for (VCO* o : r.fils_out) {
      if (s->notes[s->step] == 0) o->amount = 0.0f;
      o->base_freq = s->OUTPUT::get_OUTL();
      o->freq = s->OUTPUT::get_OUTL();
    }
    s->SEQUENCER::evolue();
  }

  // 4. Oscillators modulating oscillators. The restore runs once per source, so only
  //    the last source walked reaches the target; the others still advance.
  for (const ModTarget& mt : vco_mod_targets_) {
    VCO* t = mt.target;
    for (uint32_t j = mt.first; j < mt.first + mt.count; j++) {
      VCO* o = vco_mod_sources_[j].source;
      o->VCO::evolue();
      t->amount = t->base_amount;
      t->phase_offset = t->base_phase_offset;
      t->freq = t->base_freq;
      const uint8_t w = vco_mod_sources_[j].flags;
      if ((w & kModAmp) && o->amount != 0.0f && o->freq != 0.0f)
        modulate_vco(t->amount, o->OUTPUT::get_OUTL());
      if (w & kModFreq) modulate_vco(t->freq, o->OUTPUT::get_OUTL());
      if (w & kModPhase) modulate_vco(t->phase_offset, o->OUTPUT::get_OUTL());
    }
  }

  // 5. Oscillators modulating samplers: no restore, no condition.
  for (size_t i = 0; i < liens_vco_sampler.size(); i++) {
    auto& r = liens_vco_sampler[i];
    const std::vector<uint8_t>& flags = vco_sampler_flags_[i];
    SAMPLER* t = r.pere_in;
    for (size_t j = 0; j < r.fils_out.size(); j++) {
      VCO* o = r.fils_out[j];
      o->VCO::evolue();
      const uint8_t w = flags[j];
      if (w & kModAmp) modulate_sampler(t->gain, o->OUTPUT::get_OUTL());
      if (w & kModFreq) modulate_sampler(t->speed, o->OUTPUT::get_OUTL());
      if (w & kModPhase) modulate_sampler(t->offset, o->OUTPUT::get_OUTL());
    }
  }

  // 6. Samplers named S...: evaluated, then restored; the keyboard's distance in
  //    semitones from note 58 is the speed factor (57..59 all play at base speed).
  for (const VoicedSampler& v : voiced_samplers_) {
    SAMPLER* s = v.sampler;
    s->SAMPLER::evolue();
    s->gain = s->base_gain;
    s->offset = s->base_offset;
    const long long note = v.kbd ? v.kbd->note : 58;
    if (note == 58) {
      s->speed = s->base_speed;
    } else {
      const long long dist = note > 58 ? note - 58 : 58 - note;
      s->speed = static_cast<float>(static_cast<double>(dist) * s->base_speed);
    }
  }

  // 7. Samplers modulating oscillators: no restore, no condition.
  for (int i = 0, n = count(nbr_liens_sampler_vco, liens_sampler_vco.size()); i < n; i++) {
    auto& r = liens_sampler_vco[i];
    const std::vector<uint8_t>& flags = sampler_vco_flags_[i];
    VCO* t = r.pere_in;
    for (size_t j = 0; j < r.fils_out.size(); j++) {
      SAMPLER* p = r.fils_out[j];
      p->SAMPLER::evolue();
      const uint8_t w = flags[j];
      if (w & kModAmp) modulate_vco(t->amount, p->OUTPUT::get_OUTL());
      if (w & kModFreq) modulate_vco(t->freq, p->OUTPUT::get_OUTL());
      if (w & kModPhase) modulate_vco(t->phase_offset, p->OUTPUT::get_OUTL());
    }
  }

  // 8. Oscillators named V...: evaluated with what passes 3, 4 and 7 left; the
  //    keyboard's note (plus the line's *NOTE offset) takes effect next sample.
  for (const VoicedVco& v : voiced_vcos_) {
    VCO* o = v.vco;
    o->VCO::evolue();
    if (v.kbd && v.has_offset) {
      const long long idx = static_cast<long long>(v.kbd->note) + v.offset;
      if (note_in_table(idx)) o->base_freq = static_cast<float>(NOTE2FREQ[idx]);
    }
    o->amount = o->base_amount;
    o->phase_offset = o->base_phase_offset;
    o->freq = o->base_freq;
  }

  // 9. and 10. Sources into their mixer inputs, then the mixer sums.
  const FeedInput* in = feed_inputs_.data();
  for (const MixerFeed& f : vco_mixer_feeds_) {
    for (uint32_t j = f.first; j < f.first + f.count; j++) *in[j].input = in[j].source->OUTPUT::get_OUTL();
    f.mixer->MIXER::evolue();
  }
  for (const MixerFeed& f : sampler_mixer_feeds_) {
    for (uint32_t j = f.first; j < f.first + f.count; j++) *in[j].input = in[j].source->OUTPUT::get_OUTL();
    f.mixer->MIXER::evolue();
  }

  // 11. Envelopes.
  const int nvca = count(nbr_vca, liste_vca.size());
  for (int i = 0; i < nvca; i++) liste_vca[i]->VCA::evolue();

  // 12. Mixers into amplifiers.
  for (int i = 0, n = count(nbr_liens_mixer_vca, liens_mixer_vca.size()); i < n; i++)
    liens_mixer_vca[i].pere_in->input = liens_mixer_vca[i].source->OUTPUT::get_OUTL();

  // 13. The patch's signal: the sum of every amplifier.
  float sum = 0.0f;
  for (int i = 0; i < nvca; i++)
    sum = static_cast<float>(static_cast<double>(liste_vca[i]->VCA::get_OUTL()) + sum);
  OUTL = sum;
  return 1;
}
