#include "engine/generator.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <unordered_map>

#include "engine/fast_sine.h"
#include "engine/note_table.h"

GENERATOR::GENERATOR(Empty) { OUTL = 0.0f; }

// Every list holds objects of exactly its element type (no module class is derived
// from), so deleting through that type is exact although the base has no virtual
// destructor. The whole lists, not only up to their counters: the loader creates
// nothing it does not list.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdelete-non-virtual-dtor"
GENERATOR::~GENERATOR() {
  auto modules = [](auto& list) {
    for (auto* m : list) delete m;
  };
  modules(liste_vco);
  modules(liste_vca);
  modules(liste_mixer);
  modules(liste_keyboard);
  modules(liste_sampler);
  modules(liste_sequencer);
  auto words = [](auto& records) {
    for (auto& r : records)
      for (char* w : r.param_out) delete[] w;
  };
  words(liens_vco_vco);
  words(liens_sampler_vco);
  words(liens_vco_mixer);
  words(liens_sampler_mixer);
  words(liens_vco_sampler);
  words(liens_mixer_vca);
}
#pragma GCC diagnostic pop

// ---------------------------------------------------------------- lookups

namespace {
template <class M>
M* find_by_name(const std::vector<M*>& list, int count, const char* name) {
  if (!name) return nullptr;
  const int n = list_count(count, list);
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
  const int n = list_count(nbr_liens_key_vco, liens_key_vco);
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
// No module twice in the list.
template <class M>
bool distinct(std::vector<M*> list) {
  std::sort(list.begin(), list.end());
  return std::adjacent_find(list.begin(), list.end()) == list.end();
}
}  // namespace

uint8_t GENERATOR::word_flags(const char* word) {
  if (!word) return 0;
  uint8_t f = 0;
  for (int i = 0; i < 3; i++)
    if (std::strstr(word, kModWords[i])) f |= static_cast<uint8_t>(1u << i);
  return f;
}

namespace {
// Lanes per kernel call for a group of n: 4, or 8 where AVX-512 runs. The whole
// voices, whose state is in arrays, measured faster at 8 on the processor this was
// tuned on (an AMD EPYC: tev_bench's BM_Voices/64 and /256); the other kernels,
// which load and store every field of every module one by one, measured slower at
// 8, so they take 4. TEV_LANES=4 or 8 sets every kernel's width, for measuring.
// Fewer modules of a kind cost less one by one (the bundled patch's four sines, two
// chains and five amplifiers: tev_bench's BM_BundledPatch, 9 % more time side by side).
[[maybe_unused]] constexpr size_t kMinLanes = 8;

[[maybe_unused]] size_t lane_width(SineKernel k, size_t n, size_t fastest = 4) {
  const char* v = std::getenv("TEV_LANES");
  const size_t want = v && std::strcmp(v, "8") == 0 ? 8 : v && std::strcmp(v, "4") == 0 ? 4 : fastest;
  return want == 8 && k == SineKernel::Avx512 && n >= 8 ? 8 : 4;
}
}  // namespace

void GENERATOR::prepare() {
  // Passes 2, 3, 4 and 7 are bounded by their counters, passes 1 and 5 by their lists.
  seq_samplers_.build(liens_sampler_sequencer, liens_sampler_sequencer.size());
  seq_vcas_.build(liens_vca_sequencer, list_count(nbr_liens_vca_sequencer, liens_vca_sequencer));
  seq_vcos_.build(liens_vco_sequencer, list_count(nbr_liens_vco_sequencer, liens_vco_sequencer));
  vco_vco_.build(liens_vco_vco, list_count(nbr_liens_vco_vco, liens_vco_vco));
  vco_sampler_.build(liens_vco_sampler, liens_vco_sampler.size());
  sampler_vco_.build(liens_sampler_vco, list_count(nbr_liens_sampler_vco, liens_sampler_vco));

  voiced_samplers_.clear();
  for (int i = 0, n = list_count(nbr_sampler, liste_sampler); i < n; i++) {
    SAMPLER* s = liste_sampler[i];
    if (s->name[0] == 'S') voiced_samplers_.push_back({s, get_KEYBOARD_by_SAMPLER(s)});
  }

  voiced_vcos_.clear();
  int k = 0;
  for (int i = 0, n = list_count(nbr_vco, liste_vco); i < n; i++) {
    VCO* o = liste_vco[i];
    if (o->name[0] != 'V') continue;
    const bool has = k < static_cast<int>(notes_vco.size());
    KEYBOARD* kbd = get_KEYBOARD_by_VCO(o);
    voiced_vcos_.push_back({o, kbd && has ? &kbd->note : nullptr, has ? notes_vco[k] : 0});
    k++;
  }

  std::vector<VCO*> voiced;
  for (const VoicedVco& v : voiced_vcos_) voiced.push_back(v.vco);
  voiced_distinct_ = distinct(voiced);

  // A source walked twice, or a target that is also a source, makes a chain: the
  // order of evaluation then decides what a source reads.
  std::vector<VCO*> modulating;
  for (const auto& src : vco_vco_.sources) modulating.push_back(src.source);
  vco_vco_batched_ = distinct(modulating);
  for (const auto& mt : vco_vco_.targets)
    if (std::find(modulating.begin(), modulating.end(), mt.target) != modulating.end())
      vco_vco_batched_ = false;

  mixer_to_vca_.clear();
  for (int i = 0, n = list_count(nbr_liens_mixer_vca, liens_mixer_vca); i < n; i++)
    mixer_to_vca_.push_back({liens_mixer_vca[i].source, liens_mixer_vca[i].pere_in});

  vcas_.assign(liste_vca.begin(), liste_vca.begin() + list_count(nbr_vca, liste_vca));
  vcas_distinct_ = distinct(vcas_);

  feed_ops_.clear();
  auto feed_of = [this](MIXER* m, const auto& sources, const std::vector<char*>& words) {
    const size_t first = feed_ops_.size();
    for (size_t j = 0; j < sources.size() && j < words.size(); j++) {
      const int d = mixer_input_of(words[j]);
      if (d > 0) feed_ops_.push_back({sources[j], &m->inputs[d - 1], nullptr});
    }
    if (feed_ops_.size() == first) feed_ops_.push_back({nullptr, nullptr, nullptr});
    feed_ops_.back().mixer = m;
  };
  for (int i = 0, n = list_count(nbr_liens_vco_mixer, liens_vco_mixer); i < n; i++) {
    auto& r = liens_vco_mixer[i];
    feed_of(r.pere_in, r.fils_out, r.param_out);
  }
  for (auto& r : liens_sampler_mixer) feed_of(r.pere_in, r.fils_out, r.param_out);
  prepare_voices();
  prepare_lanes();
  voiced_waves_.build(voiced_rest_);
  // An oscillator without a keyboard reads a note that no offset brings into the
  // table: its frequency stays, as with none, and the retune needs no test.
  static const int kNoNote = INT32_MIN;
  // Bit 0: pass 3 writes the oscillator, bit 1: pass 4, bit 2: pass 7. A batched
  // pass 4 reads a target only after restoring it; in a chain a target may be read as
  // another link's source first.
  std::unordered_map<const VCO*, unsigned> written;
  for (const VCO* o : seq_vcos_.targets) written[o] |= 1;
  for (const auto& t : vco_vco_.targets) written[t.target] |= vco_vco_batched_ ? 2 : 4;
  for (const auto& t : sampler_vco_.targets) written[t.target] |= 4;
  for (VoicedVco& v : voiced_waves_.all) {
    if (!v.note) v.note = &kNoNote;
    const auto w = written.find(v.vco);
    v.retune = w == written.end() ? VoicedVco::kOnNote
               : w->second == 2   ? VoicedVco::kBaseOnNote
               : w->second == 1   ? VoicedVco::kLevels
                                  : VoicedVco::kAll;
  }
  stepped_ = false;
  vco_vco_ops_.clear();
  if (vco_vco_batched_)
    for (const auto& mt : vco_vco_.targets)
      for (uint32_t j = mt.first; j < mt.first + mt.count; j++)
        vco_vco_ops_.push_back({vco_vco_.sources[j].source, mt.target, vco_vco_.sources[j].flags});
  vco_vco_waves_.build(vco_vco_ops_);
  prepare_chains();
  prepare_vcas();
  prepare_mixes();

  passes_ = 0;
  auto pass = [this](bool work, uint32_t bit) {
    if (work) passes_ |= bit;
  };
  pass(!vco_vco_.targets.empty(), kPassVcoVco);
  pass(voiced_distinct_ ? sine_kernel_ || !voiced_waves_.all.empty() : !voiced_vcos_.empty(),
       kPassVoiced);
  pass(!vco_sampler_.targets.empty() || !sampler_vco_.targets.empty(), kPassSamplerMods);
  pass(!feed_ops_.empty() || !mixer_to_vca_.empty(), kPassFeeds);
  pass(chain_kernel_ != nullptr, kPassChainLanes);
  pass(sine_kernel_ != nullptr, kPassSineLanes);
  sum_distinct_ = !voice_kernel_ && !vca_kernel_ && vcas_distinct_ && !vcas_.empty();
  voices_only_ = voice_kernel_ && seq_samplers_.runs.empty() && seq_vcas_.runs.empty() &&
                 seq_vcos_.runs.empty() && passes_ == 0 &&
                 voiced_samplers_.empty() && !chain_kernel_ && mix1_.empty() && mix2_.empty() &&
                 vca_rest_.empty() && sum_runs_.size() == 1 &&
                 sum_runs_[0].at == voice_lanes_.product && sum_runs_[0].n == voices_.size();
  // The kernels wrote freq without its step (sync_lanes() above too).
  for (int i = 0, n = list_count(nbr_vco, liste_vco); i < n; i++) liste_vco[i]->freq_set();
  for (SEQUENCER* s : liste_sequencer) s->divider_set();
  prepare_runs();
}

std::unordered_map<const MIXER*, VCA*> GENERATOR::sole_amplifiers() const {
  std::unordered_map<const void*, int> evaluated, read, driven;
  for (const FeedOp& f : feed_ops_)
    if (f.mixer) evaluated[f.mixer]++;
  for (const MixerToVca& l : mixer_to_vca_) {
    read[l.mixer]++;
    driven[l.vca]++;
  }
  std::unordered_map<const MIXER*, VCA*> sole;
  for (const MixerToVca& l : mixer_to_vca_)
    if (read[l.mixer] == 1 && driven[l.vca] == 1 && evaluated[l.mixer] == 1) sole[l.mixer] = l.vca;
  return sole;
}

void GENERATOR::prepare_mixes() {
  mix1_.clear();
  mix2_.clear();
  std::unordered_map<const MIXER*, VCA*> fused = sole_amplifiers();
  std::vector<FeedOp> rest;
  for (size_t first = 0, i = 0; i < feed_ops_.size(); i++) {
    MIXER* m = feed_ops_[i].mixer;
    if (!m) continue;
    const FeedOp* r = &feed_ops_[first];
    const size_t n = i + 1 - first;
    first = i + 1;
    auto f = fused.find(m);
    if (f != fused.end() && n == 1 && r[0].source && m->nbr_inputs == 1 &&
        r[0].input == &m->inputs[0]) {
      mix1_.push_back({r[0].source, m, &f->second->input});
      continue;
    }
    if (f != fused.end() && n == 2 && r[0].source && r[1].source && m->nbr_inputs == 2) {
      if (r[0].input == &m->inputs[0] && r[1].input == &m->inputs[1]) {
        mix2_.push_back({{r[0].source, r[1].source}, m, &f->second->input});
        continue;
      }
      if (r[0].input == &m->inputs[1] && r[1].input == &m->inputs[0]) {
        mix2_.push_back({{r[1].source, r[0].source}, m, &f->second->input});
        continue;
      }
    }
    rest.insert(rest.end(), r, r + n);
    if (f != fused.end()) fused.erase(f);
  }
  feed_ops_ = rest;
  std::vector<MixerToVca> m2v;
  for (const MixerToVca& l : mixer_to_vca_)
    if (!fused.count(l.mixer)) m2v.push_back(l);
  mixer_to_vca_ = m2v;
}

namespace {
[[maybe_unused]] double scalar_sine(double x) { return std::sin(x); }
}  // namespace

void GENERATOR::prepare_voices() {
  sync_lanes();  // prepared again: the arrays hold the playing state, not the objects
  voice_kernel_ = nullptr;
  voice_run_ = nullptr;
  voices_.clear();
  vca_rest_ = vcas_;
  sum_runs_.clear();
  for (VCA* a : liste_vca) a->lane = VCA::Lane{};
#if defined(TEV_HAVE_MVEC) && defined(__x86_64__)
  const SineKernel k = sine_kernel();
  if (!voiced_distinct_ || !vcas_distinct_ || (k != SineKernel::Avx2 && k != SineKernel::Avx512))
    return;
  // Oscillators another pass steps or writes.
  std::unordered_map<const void*, int> touched, feeds, fed, read, driven;
  for (const auto& src : vco_vco_.sources) touched[src.source]++;
  for (const auto& t : vco_vco_.targets) touched[t.target]++;
  for (const auto& src : vco_sampler_.sources) touched[src.source]++;
  for (const auto& t : sampler_vco_.targets) touched[t.target]++;
  for (int i = 0, n = list_count(nbr_liens_vco_sequencer, liens_vco_sequencer); i < n; i++)
    for (VCO* o : liens_vco_sequencer[i].fils_out) touched[o]++;
  for (const FeedOp& f : feed_ops_) {
    if (f.source) feeds[f.source]++;
    if (f.mixer) fed[f.mixer]++;
  }
  for (const MixerToVca& l : mixer_to_vca_) {
    read[l.mixer]++;
    driven[l.vca]++;
  }
  std::unordered_map<const void*, const VoicedVco*> voiced;
  for (const VoicedVco& v : voiced_vcos_)
    if (v.vco->type == SINE && !touched.count(v.vco) && feeds[v.vco] == 1) voiced[v.vco] = &v;
  std::unordered_map<const VCA*, std::pair<VCO*, MIXER*>> chain_of;
  for (size_t i = 0; i < feed_ops_.size(); i++) {
    const FeedOp& f = feed_ops_[i];
    MIXER* m = f.mixer;
    // A record of one entry is an entry that ends a record right after another did.
    const bool alone = m && (i == 0 || feed_ops_[i - 1].mixer);
    if (alone && f.source && voiced.count(f.source) && m->nbr_inputs == 1 &&
        f.input == &m->inputs[0] && fed[m] == 1 && read[m] == 1)
      for (const MixerToVca& l : mixer_to_vca_)
        if (l.mixer == m && driven[l.vca] == 1)
          chain_of[l.vca] = {static_cast<VCO*>(f.source), m};
  }
  std::vector<const VoicedVco*> osc;
  for (VCA* a : vcas_) {
    const auto c = chain_of.find(a);
    if (c == chain_of.end()) continue;
    voices_.push_back({c->second.first, c->second.second, a});
    osc.push_back(voiced[c->second.first]);
  }
  const size_t n = voices_.size();
  if (n < kMinLanes) {
    voices_.clear();
    return;
  }
  const size_t w = lane_width(k, n, 8), padded = (n + w - 1) / w * w;
  voice_kernel_ = w == 8 ? voice_lanes_8 : voice_lanes_4;
  voice_run_ = w == 8 ? voice_run_8 : voice_run_4;

  // Their feeds, mixer readings and amplifiers leave the other passes.
  std::unordered_map<const void*, int> in_voice;
  for (const Voice& v : voices_) in_voice[v.mixer] = in_voice[v.vca] = 1;
  std::vector<FeedOp> feeds_left;
  for (const FeedOp& f : feed_ops_)
    if (!in_voice.count(f.mixer)) feeds_left.push_back(f);
  feed_ops_ = feeds_left;
  std::vector<MixerToVca> m2v;
  for (const MixerToVca& l : mixer_to_vca_)
    if (!in_voice.count(l.mixer)) m2v.push_back(l);
  mixer_to_vca_ = m2v;
  vca_rest_.clear();
  for (VCA* a : vcas_)
    if (!in_voice.count(a)) vca_rest_.push_back(a);

  // Blocks from a 64-byte boundary (each a multiple of 64 bytes at eight lanes).
  const size_t bytes = padded * kVoiceFields * 4;
  voice_blocks_.assign(bytes + 64, 0);
  voice_product_.assign(padded, 0.0f);
  VoiceLanes& v = voice_lanes_;
  v = VoiceLanes{};
  v.blocks = voice_blocks_.data() + (-reinterpret_cast<uintptr_t>(voice_blocks_.data()) & 63);
  v.n = n;
  v.padded = padded;
  v.width = w;
  voice_retune_all_ = 1;
  v.retune_all = &voice_retune_all_;
  voice_other_.assign(n, 0);
  for (size_t l = 0; l < padded; l++) {
    v.at<uintptr_t>(kVoiceNote, l) = reinterpret_cast<uintptr_t>(&lane_pad_note_);
    if (l >= n) continue;
    const VCO* o = voices_[l].vco;
    v.at<float>(kVoicePhase, l) = o->phase;
    v.at<float>(kVoicePhaseOffset, l) = o->phase_offset;
    v.at<float>(kVoiceAmount, l) = o->amount;
    v.at<float>(kVoiceFreq, l) = o->freq;
    v.at<double>(kVoiceStep, l) = static_cast<double>(o->freq) / kSampleRate;
    v.at<float>(kVoiceBaseAmount, l) = o->base_amount;
    v.at<float>(kVoiceBasePhaseOffset, l) = o->base_phase_offset;
    v.at<float>(kVoiceBaseFreq, l) = o->base_freq;
    v.at<float>(kVoiceOutl, l) = o->OUTL;
    if (osc[l]->note) {
      v.at<uintptr_t>(kVoiceNote, l) = reinterpret_cast<uintptr_t>(osc[l]->note);
      v.at<int64_t>(kVoiceOffset, l) = osc[l]->offset;
    }
    VCA* a = voices_[l].vca;
    v.at<float>(kVoiceLevel, l) = a->OUTL;
    v.at<float>(kVoiceElapsed, l) = a->elapsed;
    const float A = a->attack_time, D = a->decay_time, S = a->sustain_level, R = a->release_time;
    v.at<float>(kVoiceAttackTime, l) = A;
    v.at<float>(kVoiceAttackDecay, l) = A + D;
    v.at<float>(kVoiceSustainLevel, l) = S;
    v.at<float>(kVoiceHeldLevel, l) = a->attack_level * S;
    v.at<int32_t>(kVoiceCanHold, l) = A >= 0.0f && D >= 0.0f && R >= 0.0f && S != 0.0f ? -1 : 0;
    v.at<int32_t>(kVoiceActive, l) = a->active;
    v.at<int32_t>(kVoiceReleased, l) = a->released;
    v.at<int32_t>(kVoiceBypass, l) = a->bypass;
    a->lane = VCA::Lane{&v.at<float>(kVoiceLevel, l), &v.at<float>(kVoiceElapsed, l),
                        &v.at<int32_t>(kVoiceActive, l), &v.at<int32_t>(kVoiceReleased, l),
                        &v.at<int32_t>(kVoiceSteady, l)};
  }
  v.note_freq = NOTE2FREQ;
  v.note_count = NOTE2FREQ_SIZE;
  v.sine = scalar_sine;
  v.product = voice_product_.data();
  v.other = voice_other_.data();
#endif
}

void GENERATOR::step_voice_vca(size_t l) {
  const VoiceLanes& v = voice_lanes_;
  VCA* a = voices_[l].vca;
  float& level = v.at<float>(kVoiceLevel, l);
  float& elapsed = v.at<float>(kVoiceElapsed, l);
  int32_t& active = v.at<int32_t>(kVoiceActive, l);
  a->OUTL = level;
  a->elapsed = elapsed;
  a->active = active;
  a->released = v.at<int32_t>(kVoiceReleased, l);
  a->input = voice_input(v.at<float>(kVoiceOutl, l));
  a->VCA::evolue();
  level = a->OUTL;
  elapsed = a->elapsed;
  active = a->active;
  v.product[l] = a->OUTL * a->input;
}

void GENERATOR::sync_lanes() {
  if (stepped_) {
    for (const Mix1& x : mix1_) {
      x.mixer->inputs[0] = x.source->OUTL;
      x.mixer->OUTL = *x.vca_input;
    }
    for (const Mix2& x : mix2_) {
      x.mixer->inputs[0] = x.source[0]->OUTL;
      x.mixer->inputs[1] = x.source[1]->OUTL;
      x.mixer->OUTL = *x.vca_input;
    }
    for (const VoicedVco& w : voiced_waves_.all) {
      VCO* o = w.vco;
      if (w.retune == VoicedVco::kBaseOnNote) {
        o->amount = o->base_amount;
        o->phase_offset = o->base_phase_offset;
        o->freq = o->base_freq;
        o->freq_set();
      } else if (w.retune == VoicedVco::kLevels) {
        const long long n = static_cast<long long>(w.heard) + w.offset;
        if (note_in_table(n)) o->base_freq = static_cast<float>(NOTE2FREQ[n]);
        o->freq = o->base_freq;
        o->freq_set();
      }
    }
  }
  const VoiceLanes& v = voice_lanes_;
  for (size_t l = 0; l < voices_.size(); l++) {
    VCO* o = voices_[l].vco;
    const float outl = v.at<float>(kVoiceOutl, l);
    o->phase = v.at<float>(kVoicePhase, l);
    o->phase_offset = v.at<float>(kVoicePhaseOffset, l);
    o->amount = v.at<float>(kVoiceAmount, l);
    o->freq = v.at<float>(kVoiceFreq, l);
    o->freq_set();
    o->base_freq = v.at<float>(kVoiceBaseFreq, l);
    o->OUTL = outl;
    MIXER* m = voices_[l].mixer;
    m->inputs[0] = outl;
    m->OUTL = voice_input(outl);
    VCA* a = voices_[l].vca;
    a->OUTL = v.at<float>(kVoiceLevel, l);
    a->elapsed = v.at<float>(kVoiceElapsed, l);
    a->active = v.at<int32_t>(kVoiceActive, l);
    a->released = v.at<int32_t>(kVoiceReleased, l);
    a->input = m->OUTL;
  }
}

void GENERATOR::prepare_vcas() {
  vca_kernel_ = nullptr;
  vca_product_.assign(vca_rest_.size(), 0.0f);
  vca_steady_.clear();
#if defined(TEV_HAVE_MVEC) && defined(__x86_64__)
  const SineKernel k = sine_kernel();
  if (vcas_distinct_ && vca_rest_.size() >= kMinLanes &&
      (k == SineKernel::Avx2 || k == SineKernel::Avx512)) {
    const size_t w = lane_width(k, vca_rest_.size()), padded = (vca_rest_.size() + w - 1) / w * w;
    vca_kernel_ = w == 8 ? vca_lanes_8 : vca_lanes_4;
    vca_at_.clear();
    for (VCA* a : vca_rest_) vca_at_.push_back(reinterpret_cast<uintptr_t>(a));
    vca_at_.resize(padded, reinterpret_cast<uintptr_t>(&vca_pad_));
    vca_product_.resize(padded, 0.0f);
    vca_other_.assign(vca_rest_.size(), 0);
    const VCA& p = vca_pad_;
    auto at = [&p](const void* field) {
      return static_cast<const char*>(field) - reinterpret_cast<const char*>(&p);
    };
    VcaLanes& v = vca_lanes_;
    v.vca = vca_at_.data();
    v.n = vca_rest_.size();
    v.padded = padded;
    v.outl = at(&p.OUTL);
    v.elapsed = at(&p.elapsed);
    v.input = at(&p.input);
    v.active = at(&p.active);
    v.released = at(&p.released);
    v.attack_time = at(&p.attack_time);
    v.attack_level = at(&p.attack_level);
    v.decay_time = at(&p.decay_time);
    v.sustain_level = at(&p.sustain_level);
    v.release_time = at(&p.release_time);
    v.bypass = at(&p.bypass);
    v.product = vca_product_.data();
    v.other = vca_other_.data();
  }
#endif
  if (!vca_kernel_ && vcas_distinct_) {
    vca_steady_.assign(vca_rest_.size(), 0);
    for (size_t j = 0; j < vca_rest_.size(); j++) vca_rest_[j]->lane.steady = &vca_steady_[j];
  }
#if defined(TEV_HAVE_MVEC) && defined(__x86_64__)
  if (voice_kernel_) {
    // The sum's order: each amplifier's product where its kind leaves it.
    std::unordered_map<const VCA*, size_t> voice_of;
    for (size_t l = 0; l < voices_.size(); l++) voice_of[voices_[l].vca] = l;
    size_t r = 0;
    for (VCA* a : vcas_) {
      const auto l = voice_of.find(a);
      const float* p = l != voice_of.end() ? &voice_lanes_.product[l->second] : &vca_product_[r++];
      if (!sum_runs_.empty() && sum_runs_.back().at + sum_runs_.back().n == p)
        sum_runs_.back().n++;
      else
        sum_runs_.push_back({p, 1});
    }
  }
#endif
}

void GENERATOR::prepare_chains() {
  chain_kernel_ = nullptr;
#if defined(TEV_HAVE_MVEC) && defined(__x86_64__)
  const SineKernel k = sine_kernel();
  if (k != SineKernel::Avx2 && k != SineKernel::Avx512) return;
  std::unordered_map<const MIXER*, VCA*> vca_of = sole_amplifiers();
  chain_source_.clear();
  chain_mixer_.clear();
  chain_vca_input_.clear();
  std::vector<FeedOp> rest;
  for (size_t i = 0; i < feed_ops_.size(); i++) {
    const FeedOp& f = feed_ops_[i];
    // A record of one entry is an entry that ends a record right after another did.
    const bool alone = f.mixer && (i == 0 || feed_ops_[i - 1].mixer);
    MIXER* m = f.mixer;
    if (alone && f.source && m->nbr_inputs == 1 && f.input == &m->inputs[0] && vca_of.count(m)) {
      chain_source_.push_back(reinterpret_cast<uintptr_t>(&f.source->OUTL));
      chain_mixer_.push_back(reinterpret_cast<uintptr_t>(m));
      chain_vca_input_.push_back(reinterpret_cast<uintptr_t>(&vca_of[m]->input));
    } else {
      rest.push_back(f);
      vca_of.erase(m);  // stays with mixer_to_vca_
    }
  }
  if (chain_source_.size() < kMinLanes) return;
  feed_ops_ = rest;
  std::vector<MixerToVca> m2v;
  for (const MixerToVca& l : mixer_to_vca_)
    if (!vca_of.count(l.mixer)) m2v.push_back(l);
  mixer_to_vca_ = m2v;
  const size_t w = lane_width(k, chain_source_.size());
  chain_kernel_ = w == 8 ? chain_lanes_8 : chain_lanes_4;
  const size_t padded = (chain_source_.size() + w - 1) / w * w;
  chain_source_.resize(padded, reinterpret_cast<uintptr_t>(&chain_pad_[0]));
  chain_mixer_.resize(padded, reinterpret_cast<uintptr_t>(&chain_pad_mixer_));
  chain_vca_input_.resize(padded, reinterpret_cast<uintptr_t>(&chain_pad_[1]));
  const char* m0 = reinterpret_cast<const char*>(&chain_pad_mixer_);
  chain_lanes_.source = chain_source_.data();
  chain_lanes_.mixer = chain_mixer_.data();
  chain_lanes_.vca_input = chain_vca_input_.data();
  chain_lanes_.padded = padded;
  chain_lanes_.mixer_input = reinterpret_cast<const char*>(&chain_pad_mixer_.inputs[0]) - m0;
  chain_lanes_.mixer_outl = reinterpret_cast<const char*>(&chain_pad_mixer_.OUTL) - m0;
#endif
}

void GENERATOR::prepare_lanes() {
  sine_kernel_ = nullptr;
  // The voices' oscillators are computed with their voices.
  std::unordered_map<const VCO*, int> in_voice;
  for (const Voice& x : voices_) in_voice[x.vco] = 1;
  std::vector<VoicedVco> open;
  for (const VoicedVco& v : voiced_vcos_)
    if (!in_voice.count(v.vco)) open.push_back(v);
  voiced_rest_ = open;
#if defined(TEV_HAVE_MVEC) && defined(__x86_64__)
  if (!voiced_distinct_) return;
  lane_vco_.clear();
  lane_note_.clear();
  lane_offset_.clear();
  lane_of_.clear();
  voiced_rest_.clear();
  for (const VoicedVco& v : open) {
    if (v.vco->type != SINE) {
      voiced_rest_.push_back(v);
      continue;
    }
    lane_vco_.push_back(reinterpret_cast<uintptr_t>(v.vco));
    lane_note_.push_back(reinterpret_cast<uintptr_t>(v.note ? v.note : &lane_pad_note_));
    lane_offset_.push_back(v.note ? v.offset : 0);
    lane_of_.push_back(v.vco);
  }
  const size_t n = lane_vco_.size();
  const SineKernel k = sine_kernel();
  if (n < kMinLanes || (k != SineKernel::Avx2 && k != SineKernel::Avx512)) {
    voiced_rest_ = open;
    return;
  }
  const size_t w = lane_width(k, n);
  sine_kernel_ = w == 8 ? sine_lanes_8 : sine_lanes_4;
  std::unordered_map<const VCO*, int> stepped;
  for (const auto& src : vco_vco_.sources) stepped[src.source]++;
  for (const auto& src : vco_sampler_.sources) stepped[src.source]++;
  lane_stepped_.clear();
  for (VCO* o : lane_of_)
    if (stepped.count(o)) lane_stepped_.push_back(o);
  const size_t padded = (n + w - 1) / w * w;
  lane_vco_.resize(padded, reinterpret_cast<uintptr_t>(&lane_pad_));
  lane_note_.resize(padded, reinterpret_cast<uintptr_t>(&lane_pad_note_));
  lane_offset_.resize(padded, 0);
  fall_lane_.resize(n);
  fall_arg_.resize(n);
  fall_amount_.resize(n);
  auto at = [this](const float& field) {
    return reinterpret_cast<const char*>(&field) - reinterpret_cast<const char*>(&lane_pad_);
  };
  SineLanes& g = sine_lanes_;
  g.vco = lane_vco_.data();
  g.note = lane_note_.data();
  g.offset = lane_offset_.data();
  g.n = n;
  g.padded = padded;
  g.phase = at(lane_pad_.phase);
  g.phase_offset = at(lane_pad_.phase_offset);
  g.amount = at(lane_pad_.amount);
  g.freq = at(lane_pad_.freq);
  g.base_amount = at(lane_pad_.base_amount);
  g.base_phase_offset = at(lane_pad_.base_phase_offset);
  g.base_freq = at(lane_pad_.base_freq);
  g.outl = at(lane_pad_.OUTL);
  g.note_freq = NOTE2FREQ;
  g.note_count = NOTE2FREQ_SIZE;
  g.fall_lane = fall_lane_.data();
  g.fall_arg = fall_arg_.data();
  g.fall_amount = fall_amount_.data();
#endif
}

// ---------------------------------------------------------------- one sample

namespace {
inline void modulate_vco(float& x, float v) { VCO::modulate(x, v); }
inline void modulate_sampler(float& x, float v) { SAMPLER::modulate(x, v); }
}  // namespace

template <class Entry>
void GENERATOR::WaveGroups<Entry>::build(const std::vector<Entry>& list) {
  auto group = [](const Entry& e) {
    switch (e.vco->type) {
      case SINE:
        return kSine;
      case PULSE:
        return kPulse;
      case SAW:
        return kSaw;
      case HALF_SAW:
        return kHalfSaw;
      default:
        return kOther;
    }
  };
  all.clear();
  groups = 0;
  for (int k = 0; k < kGroups; k++) {
    for (const Entry& e : list)
      if (group(e) == k) all.push_back(e);
    if (all.size() != (k ? end[k - 1] : 0)) groups |= 1u << k;
    end[k] = all.size();
    end_bytes[k] = end[k] * sizeof(Entry);
  }
  auto batch = [](size_t n) -> SineTimesShort {
    if (n >= 2 && n <= 4) return sine_times_short(n);
    return sine_times;
  };
  sines = batch(end[kSine]);
  pulses = batch(end[kPulse] - end[kSine]);
}

// Every oscillator as VCO::evolue would step it. The sine's OUTL is float(sin x
// amount), the pulse's tests start from float(sin).
template <class Entry, class After>
__attribute__((always_inline)) inline void GENERATOR::evolve_waves(const WaveGroups<Entry>& g,
                                                                    After after) {
  constexpr size_t kChunk = 64;  // covers the usual patch in one batch; 1.25 KB of stack
  double x[kChunk], a[kChunk];
  float y[kChunk];
  using G = WaveGroups<Entry>;
  // The groups' bits: the walk may end after the sines; past the pulses, one test a
  // group (an early end after each counted more for sines, saws and half-saws).
  const unsigned groups = g.groups;
  const Entry* e = g.all.data();
  // Two to four sines, the usual patch: the loops unrolled for the count.
  auto few = [&e, &g, &after](auto count) {
    constexpr size_t n = decltype(count)::value;
    double xs[4], as[4];
    float ys[4];
#pragma GCC unroll 4
    for (size_t i = 0; i < n; i++) {
      VCO* o = e[i].vco;
      xs[i] = o->VCO::step_phase();
      as[i] = o->amount;
    }
    g.sines(xs, as, ys, n);
#pragma GCC unroll 4
    for (size_t i = 0; i < n; i++) {
      e[i].vco->OUTL = ys[i];
      after(e[i]);
    }
    e += n;
  };
  if (!(groups & (1u << G::kSine))) {
  } else if (g.end[G::kSine] == 4) {
    few(std::integral_constant<size_t, 4>());
  } else if (g.end[G::kSine] == 3) {
    few(std::integral_constant<size_t, 3>());
  } else if (g.end[G::kSine] == 2) {
    few(std::integral_constant<size_t, 2>());
  } else {
    const Entry* end = e + g.end[G::kSine];
    do {
      const size_t m = static_cast<size_t>(end - e) < kChunk ? static_cast<size_t>(end - e) : kChunk;
      for (size_t i = 0; i < m; i++) {
        VCO* o = e[i].vco;
        x[i] = o->VCO::step_phase();
        a[i] = o->amount;
      }
      g.sines(x, a, y, m);
      for (size_t i = 0; i < m; i++, e++) {
        e->vco->OUTL = y[i];
        after(*e);
      }
    } while (e != end);
  }
  if (!(groups >> G::kPulse)) return;
  if (groups & (1u << G::kPulse)) {
    const Entry* end = g.end_of(G::kPulse);
    do {
      const size_t m = static_cast<size_t>(end - e) < kChunk ? static_cast<size_t>(end - e) : kChunk;
      for (size_t i = 0; i < m; i++) {
        x[i] = e[i].vco->VCO::step_phase();
        a[i] = 1.0;
      }
      g.pulses(x, a, y, m);
      for (size_t i = 0; i < m; i++, e++) {
        e->vco->step_pulse(y[i]);
        after(*e);
      }
    } while (e != end);
  }
  // A group's bit is set only when it has an oscillator. The ramps walk a copy and
  // then set e to the end: GCC otherwise forms it anew from the count.
  auto ramps = [&e, &g, groups, &after](int k, auto shape) {
    if (!(groups & (1u << k))) return;
    const Entry* end = g.end_of(k);
    const Entry* p = e;
    do {
      p->vco->VCO::step_phase();
      shape(p->vco);
      after(*p);
    } while (++p != end);
    e = end;
  };
  ramps(G::kSaw, [](VCO* o) { o->step_saw(); });
  ramps(G::kHalfSaw, [](VCO* o) { o->step_half_saw(); });
  if (!(groups & (1u << G::kOther))) return;
  for (const Entry* end = g.end_of(G::kOther); e != end; e++) {
    e->vco->evolue_waveform(e->vco->VCO::step_phase());
    after(*e);
  }
}

// One link of pass 4: the target restored, then modulated by the source's OUTL
// (clamped, and kept so, at every reading).
inline void GENERATOR::apply_mod(const ModOp& op) {
  VCO* t = op.target;
  VCO* o = op.vco;
  t->amount = t->base_amount;
  t->phase_offset = t->base_phase_offset;
  // Kept in a register across the stores below; in memory too, for a source that is
  // its own target (its freq is read by the amplitude's test).
  float freq = t->base_freq;
  t->freq = freq;
  const uint8_t w = op.flags;
  if ((w & kModAmp) && o->amount != 0.0f && o->freq != 0.0f)
    modulate_vco(t->amount, o->OUTPUT::get_OUTL());
  if (w & kModFreq) modulate_vco(freq, o->OUTPUT::get_OUTL());
  if (w & kModPhase) modulate_vco(t->phase_offset, o->OUTPUT::get_OUTL());
  t->set_freq(freq);
}

namespace {
// sum + p[0] + ... + p[n - 1], one float addition at a time, in that order.
inline float add_in_order(float sum, const float* p, size_t n) {
  const float* end = p + n;
  for (; end - p >= 8; p += 8)
    sum = p[7] + (p[6] + (p[5] + (p[4] + (p[3] + (p[2] + (p[1] + (p[0] + sum)))))));
  for (; p < end; p++) sum = *p + sum;
  return sum;
}
}  // namespace

int GENERATOR::evolve_voices() {
  const size_t others = voice_kernel_(voice_lanes_);
  for (size_t j = 0; j < others; j++) step_voice_vca(voice_other_[j]);
  OUTL = add_in_order(0.0f, voice_lanes_.product, voice_lanes_.n);
  return 1;
}

void GENERATOR::evolue_frames(float* out, int frames) {
  // Runs between the samples that must go one at a time (run_length()).
  if (runs_) {
    for (int i = 0; i < frames;) {
      const size_t n = run_length(static_cast<size_t>(frames - i));
      if (n > 0) {
        evolve_run(out + i, n);
        i += static_cast<int>(n);
      } else {
        evolue();
        out[i++] = get_OUTL();
      }
    }
    return;
  }
  // The first sample retunes and steps what is not steady; the others, when nothing
  // is, are one call of the run kernel.
  evolue();
  out[0] = get_OUTL();
  if (frames == 1) return;
  float sum[kVoiceRun];
  const size_t rest = static_cast<size_t>(frames - 1);
  if (voices_only_ && voice_run_ && rest <= kVoiceRun && voice_run_(voice_lanes_, sum, rest)) {
    for (size_t t = 0; t < rest; t++) {
      OUTL = sum[t];
      out[t + 1] = get_OUTL();
    }
    return;
  }
  for (int i = 1; i < frames; i++) {
    evolue();
    out[i] = get_OUTL();
  }
}

int GENERATOR::evolue() {
  if (voices_only_) return evolve_voices();
  // 1. Samplers triggered by sequencers, then the sequencer steps.
  for (const auto& r : seq_samplers_.runs) {
    SEQUENCER* s = r.seq;
    const bool fire = s->step_counter == 0.0f && s->notes[s->step] != 0;
    if (fire)
      for (uint32_t j = r.first; j < r.first + r.count; j++) seq_samplers_.targets[j]->TRIG();
    s->SEQUENCER::evolue();
  }

  // 2. Amplifiers retriggered on the gate their sequencer last produced.
  for (const auto& r : seq_vcas_.runs)
    if (r.seq->gate != 0)
      for (uint32_t j = r.first; j < r.first + r.count; j++) {
        VCA* a = seq_vcas_.targets[j];
        a->UNTRIG();
        a->TRIG();
      }

  // 3. Oscillators driven by sequencers; a rest silences them.
  for (const auto& r : seq_vcos_.runs) {
    SEQUENCER* s = r.seq;
    if (r.count) drive_targets(r);
    s->SEQUENCER::evolue();
  }

  // 4. Oscillators modulating oscillators. The restore runs once per source, so only
  //    the last source walked reaches the target; the others still advance.
  if (!(passes_ & kPassVcoVco)) {
  } else if (vco_vco_batched_) {
    evolve_waves(vco_vco_waves_, [](const ModOp&) {});
    for (const ModOp& op : vco_vco_ops_) apply_mod(op);
  } else {
    for (const auto& mt : vco_vco_.targets)
      for (uint32_t j = mt.first; j < mt.first + mt.count; j++) {
        VCO* o = vco_vco_.sources[j].source;
        o->VCO::evolue();
        apply_mod({o, mt.target, vco_vco_.sources[j].flags});
      }
  }

  // 5. Oscillators modulating samplers: no restore, no condition.
  if (passes_ & kPassSamplerMods)
  for (const auto& mt : vco_sampler_.targets) {
    SAMPLER* t = mt.target;
    for (uint32_t j = mt.first; j < mt.first + mt.count; j++) {
      VCO* o = vco_sampler_.sources[j].source;
      o->VCO::evolue();
      const uint8_t w = vco_sampler_.sources[j].flags;
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
    s->speed = v.speed();
  }

  // 7. Samplers modulating oscillators: no restore, no condition.
  if (passes_ & kPassSamplerMods)
  for (const auto& mt : sampler_vco_.targets) {
    VCO* t = mt.target;
    for (uint32_t j = mt.first; j < mt.first + mt.count; j++) {
      SAMPLER* p = sampler_vco_.sources[j].source;
      p->SAMPLER::evolue();
      const uint8_t w = sampler_vco_.sources[j].flags;
      if (w & kModAmp) modulate_vco(t->amount, p->OUTPUT::get_OUTL());
      if (w & kModFreq) {
        modulate_vco(t->freq, p->OUTPUT::get_OUTL());
        t->freq_set();
      }
      if (w & kModPhase) modulate_vco(t->phase_offset, p->OUTPUT::get_OUTL());
    }
  }

  // 8. Oscillators named V...: evaluated with what passes 3, 4 and 7 left; the
  //    keyboard's note (plus the line's *NOTE offset) takes effect next sample.
  if (!(passes_ & kPassVoiced)) {
  } else if (voiced_distinct_) {
    // The sines and the rest touch disjoint oscillators: either may go first.
    if (passes_ & kPassSineLanes) {
      const size_t falls = sine_kernel_(sine_lanes_);
      for (size_t i = 0; i < falls; i++)
        lane_of_[fall_lane_[i]]->OUTL =
            static_cast<float>(std::sin(fall_arg_[i]) * fall_amount_[i]);
      for (VCO* o : lane_stepped_) o->freq_set();
    }
    evolve_waves(voiced_waves_, [](const VoicedVco& v) {
      const int note = *v.note;
      if (note == v.last) return;  // kLevels and kAll keep no note there: never
      VCO* o = v.vco;
      const long long n = static_cast<long long>(note) + v.offset;
      switch (v.retune) {
        case VoicedVco::kOnNote:
          v.last = note;
          retune(o, n);
          break;
        case VoicedVco::kBaseOnNote:
          v.last = note;
          if (note_in_table(n)) o->base_freq = static_cast<float>(NOTE2FREQ[n]);
          break;
        case VoicedVco::kLevels:
          v.heard = note;
          o->amount = o->base_amount;
          o->phase_offset = o->base_phase_offset;
          break;
        case VoicedVco::kAll:
          retune(o, n);
          break;
      }
    });
  } else {
    const VoicedVco* voiced = voiced_vcos_.data();
    for (size_t i = 0, nvoiced = voiced_vcos_.size(); i < nvoiced; i++) {
      const VoicedVco& v = voiced[i];
      v.vco->VCO::evolue();
      retune(v.vco, v.note ? static_cast<long long>(*v.note) + v.offset : -1);
    }
  }

  // 9. and 10. Sources into their mixer inputs, then the mixer sums (and, for the
  //     chains side by side, 12 too: nothing else touches their mixers and amplifiers).
  if (passes_ & kPassChainLanes) chain_kernel_(chain_lanes_);
  // Each source's clamp kept, as get_OUTL keeps it; the sums are MIXER::evolue's,
  // the result clamped as pass 12 reads it. Nothing reads these mixers' own fields
  // (inputs, OUTL): sync_lanes() writes them, from the sources and the amplifier.
  for (const Mix1& x : mix1_) {
    const float v = OUTPUT::clamped(x.source->OUTL);
    x.source->OUTL = v;
    *x.vca_input = OUTPUT::clamped(10000.0f * v + 0.0f);
  }
  for (const Mix2& x : mix2_) {
    const float a = OUTPUT::clamped(x.source[0]->OUTL);
    x.source[0]->OUTL = a;
    const float b = OUTPUT::clamped(x.source[1]->OUTL);
    x.source[1]->OUTL = b;
    const float first = 5000.0f * a + 0.0f;
    *x.vca_input = OUTPUT::clamped(static_cast<float>(5000.0 * b + first));
  }
  if (passes_ & kPassFeeds) {
    for (const FeedOp& f : feed_ops_) {
      if (f.source) *f.input = f.source->clamp_OUTL();
      if (f.mixer) f.mixer->MIXER::evolue();
    }

    // 12. Mixers into amplifiers. It runs before the envelopes, which neither read the
    //     mixers nor an amplifier's input, so the two passes commute.
    for (const MixerToVca& l : mixer_to_vca_) l.vca->input = l.mixer->clamp_OUTL();
  }

  // 11. and 13. Envelopes, and the patch's signal: the sum of every amplifier, level x
  //     input. Both the product and the sum of two floats round in float as they
  //     would in double.
  //     The whole voices side by side do passes 8 to 12 for theirs here too: nothing
  //     else reads or writes their modules.
  float sum = 0.0f;
  auto rest_products = [this] {
    if (vca_kernel_) {
      const size_t others = vca_kernel_(vca_lanes_);
      for (size_t j = 0; j < others; j++) {
        VCA* a = vca_rest_[vca_other_[j]];
        a->VCA::evolue();
        vca_product_[vca_other_[j]] = a->OUTL * a->input;
      }
    } else {
      int32_t* steady = vca_steady_.data();
      for (size_t j = 0, n = vca_rest_.size(); j < n; j++) {
        VCA* a = vca_rest_[j];
        if (!steady[j]) {
          a->VCA::evolue();
          steady[j] = a->VCA::holds();
        }
        vca_product_[j] = a->OUTL * a->input;
      }
    }
  };
  if (sum_distinct_) {
    // vcas_ is vca_rest_ here (no voices), and not empty.
    int32_t* steady = vca_steady_.data();
    VCA* const* vcas = vcas_.data();
    size_t j = 0;
    const size_t n = vcas_.size();
    do {
      VCA* a = vcas[j];
      if (!steady[j]) {
        a->VCA::evolue();
        steady[j] = a->VCA::holds();
      }
      sum = a->OUTL * a->input + sum;
    } while (++j != n);
  } else if (voice_kernel_) {
    const size_t others = voice_kernel_(voice_lanes_);
    for (size_t j = 0; j < others; j++) step_voice_vca(voice_other_[j]);
    if (!vca_rest_.empty()) rest_products();
    for (const SumRun& r : sum_runs_) sum = add_in_order(sum, r.at, r.n);
  } else if (vca_kernel_) {
    rest_products();
    for (size_t i = 0, n = vcas_.size(); i < n; i++) sum = vca_product_[i] + sum;
  } else {
    for (VCA* a : vcas_) a->VCA::evolue();
    for (VCA* a : vcas_) sum = a->OUTL * a->input + sum;
  }
  OUTL = sum;
  stepped_ = true;
  return 1;
}
