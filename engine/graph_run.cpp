// Runs of samples computed pass by pass: a small patch's passes each go through a
// run of up to kVoiceRun samples before the next pass starts, with each module's
// state in registers and its values in short arrays, instead of every pass walked
// once per sample. Every value is the one the per-sample passes form, by the same
// operations in the same order; generator.h says when that holds.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>

#include "engine/generator.h"
#include "engine/run_ops.h"

namespace {
bool steps_in_runs(const VCO* o) {
  return o->type == SINE || o->type == PULSE || o->type == SAW || o->type == HALF_SAW;
}
bool same_bits(float a, float b) {
  uint32_t x, y;
  std::memcpy(&x, &a, sizeof x);
  std::memcpy(&y, &b, sizeof y);
  return x == y;
}
// a[0..kVoiceRun) = v, unless `bits` says they hold it already.
template <class T, class Bits>
void fill_if_changed(T* a, T v, Bits& bits) {
  Bits b;
  static_assert(sizeof b == sizeof v, "the bits of one value");
  std::memcpy(&b, &v, sizeof b);
  if (b == bits) return;
  bits = b;
  for (size_t t = 0; t < kVoiceRun; t++) a[t] = v;
}
template <class M>
bool all_different(const std::vector<M*>& list) {
  return std::unordered_set<const M*>(list.begin(), list.end()).size() == list.size();
}

using namespace run4;

// n rounded up to whole blocks of four samples.
inline size_t lanes_of(size_t n) { return (n + 3) & ~size_t{3}; }
}  // namespace

void GENERATOR::prepare_runs() {
  runs_ = false;
  run_oscs_.clear();
  run_outs_.clear();
  run_sources_.clear();
  run_voiced_.clear();
  run_mods_.clear();
  run_levels_.clear();
  run_retunes_.clear();
  run_samplers_.clear();
  run_sampler_sources_.clear();
  run_sampler_mods_.clear();
  run_fixed_.clear();
  run_mixes_.clear();
  run_feeds_.clear();
  run_mixers_.clear();
  run_links_.clear();
  run_vca_in_.clear();
  run_seqs_.clear();
  run_gates_.clear();
  if (voices_only_ || voice_kernel_ || !sum_distinct_ || vca_steady_.size() != vcas_.size())
    return;
  if ((passes_ & (kPassChainLanes | kPassSineLanes)) || !sampler_vco_.sources.empty()) return;
  // A mixer evaluated twice a sample reads, the first time, inputs the second record
  // wrote in the sample before.
  std::unordered_map<const MIXER*, int> evaluated;
  for (const FeedOp& f : feed_ops_)
    if (f.mixer && ++evaluated[f.mixer] > 1) return;
  if (((passes_ & kPassVcoVco) && !vco_vco_batched_) || !voiced_distinct_) return;

  for (const auto& r : seq_samplers_.runs) run_seqs_.push_back(r.seq);
  for (const auto& r : seq_vcos_.runs) run_seqs_.push_back(r.seq);
  if (!all_different(run_seqs_)) return;
  for (const auto& r : seq_vcas_.runs)
    if (r.count) run_gates_.push_back(r.seq);
  std::vector<SAMPLER*> samplers;
  for (const VoicedSampler& v : voiced_samplers_) samplers.push_back(v.sampler);
  if (!all_different(samplers)) return;
  // Pass 5 modulates only samplers that pass 6 restores every sample.
  for (const auto& t : vco_sampler_.targets)
    if (t.count && std::find(samplers.begin(), samplers.end(), t.target) == samplers.end()) return;

  // What each oscillator is to the passes: a pass-3 target, a pass-4 source or target,
  // pass 8's, a pass-5 source. A source is nothing else: it steps once a sample, and
  // its step reads only its own fields.
  enum : unsigned { kSeqTarget = 1, kSource = 2, kTarget = 4, kVoiced = 8, kSamplerSource = 16 };
  std::unordered_map<const VCO*, unsigned> role;
  std::vector<VCO*> sampler_sources;
  for (const auto& src : vco_sampler_.sources) {
    role[src.source] |= kSamplerSource;
    sampler_sources.push_back(src.source);
  }
  if (!all_different(sampler_sources)) return;
  for (const VCO* o : seq_vcos_.targets) role[o] |= kSeqTarget;
  for (const ModOp& op : vco_vco_ops_) {
    role[op.vco] |= kSource;
    role[op.target] |= kTarget;
  }
  for (const VoicedVco& v : voiced_waves_.all) role[v.vco] |= kVoiced;
  for (const auto& r : role) {
    if ((r.second & kSource) && r.second != kSource) return;
    if ((r.second & kSamplerSource) && r.second != kSamplerSource) return;
    if ((r.second & (kSource | kSamplerSource | kVoiced)) && !steps_in_runs(r.first)) return;
  }
  // A full retune is pass 8's only for a target of both pass 3 and a batched pass 4:
  // pass 3 rewrites its base frequency and pass 4 restores the rest before either is
  // read, so within a run it plays as a modulated target, and the run ends with the
  // retune of its last sample.
  for (const VoicedVco& v : voiced_waves_.all)
    if (v.retune == VoicedVco::kAll && role[v.vco] != (kSeqTarget | kTarget | kVoiced)) return;

  std::unordered_map<const OUTPUT*, uint32_t> out_of;
  auto out_entry = [this, &out_of](OUTPUT* m) {
    const auto it = out_of.find(m);
    if (it != out_of.end()) return it->second;
    const auto i = static_cast<uint32_t>(run_outs_.size());
    run_outs_.push_back(RunOut{m, {}});
    out_of[m] = i;
    return i;
  };
  std::unordered_map<const VCO*, uint32_t> osc_of;
  auto osc_entry = [&](VCO* o) {
    const auto it = osc_of.find(o);
    if (it != osc_of.end()) return it->second;
    const auto i = static_cast<uint32_t>(run_oscs_.size());
    run_oscs_.emplace_back();
    run_oscs_.back().vco = o;
    run_oscs_.back().out = out_entry(o);
    run_oscs_.back().modulated = (role[o] & kTarget) != 0;
    osc_of[o] = i;
    return i;
  };
  std::unordered_set<const OUTPUT*> stepped;
  for (const ModOp& op : vco_vco_ops_) {
    run_sources_.push_back(osc_entry(op.vco));
    stepped.insert(op.vco);
  }
  for (const ModOp& op : vco_vco_ops_)
    run_mods_.push_back({osc_of[op.vco], osc_entry(op.target), op.flags});
  for (const VoicedVco& v : voiced_waves_.all) {
    run_voiced_.push_back(osc_entry(v.vco));
    stepped.insert(v.vco);
    if (v.retune == VoicedVco::kLevels) run_levels_.push_back(v.vco);
    if (v.retune == VoicedVco::kAll) run_retunes_.push_back(&v);
  }
  for (SAMPLER* s : samplers) {
    run_samplers_.emplace_back();
    run_samplers_.back().sampler = s;
    run_samplers_.back().out = out_entry(s);
    stepped.insert(s);
  }
  for (const auto& t : vco_sampler_.targets) {
    const auto at = static_cast<uint32_t>(std::find(samplers.begin(), samplers.end(), t.target) -
                                          samplers.begin());
    for (uint32_t j = t.first; j < t.first + t.count; j++) {
      const auto& src = vco_sampler_.sources[j];
      run_sampler_sources_.push_back(osc_entry(src.source));
      run_sampler_mods_.push_back({run_sampler_sources_.back(), at, src.flags});
      run_samplers_[at].modulated = true;
      stepped.insert(src.source);
    }
  }
  for (const Mix1& x : mix1_) run_mixes_.push_back({{out_entry(x.source), 0}, false, x.vca_input, {}});
  for (const Mix2& x : mix2_)
    run_mixes_.push_back({{out_entry(x.source[0]), out_entry(x.source[1])}, true, x.vca_input, {}});
  for (size_t i = 0, first = 0; i < feed_ops_.size(); i++) {
    const FeedOp& f = feed_ops_[i];
    run_feeds_.push_back({f.source ? out_entry(f.source) : kNoSource, f.input});
    if (!f.mixer) continue;
    run_mixers_.push_back({f.mixer, out_entry(f.mixer), static_cast<uint32_t>(first),
                           static_cast<uint32_t>(i + 1 - first)});
    stepped.insert(f.mixer);
    first = i + 1;
  }
  for (const MixerToVca& l : mixer_to_vca_) {
    run_links_.emplace_back();
    run_links_.back().mixer = out_entry(l.mixer);
    run_links_.back().vca_input = &l.vca->input;
  }
  for (uint32_t i = 0; i < run_outs_.size(); i++)
    if (!stepped.count(run_outs_[i].module)) run_fixed_.push_back(i);
  // What each amplifier's input holds: the last writer's.
  for (VCA* a : vcas_) {
    const float* in = nullptr;
    for (const RunMix& x : run_mixes_)
      if (x.vca_input == &a->input) in = x.in;
    for (const RunLink& l : run_links_)
      if (l.vca_input == &a->input) in = l.in;
    run_vca_in_.push_back(in);
  }
  runs_ = true;
}

size_t GENERATOR::run_length(size_t want) const {
  // After a sample only: the first after prepare() restores what a run keeps.
  if (!runs_ || !stepped_) return 0;
  size_t n = want < kVoiceRun ? want : kVoiceRun;
  for (const SEQUENCER* s : run_gates_)
    if (s->gate != 0) return 0;
  for (const SEQUENCER* s : run_seqs_) {
    // The count goes up by 1.0 from 0, so it is a whole number, exact while below
    // 2^24 with room for a run; it was not 0 (a step's start fires and gates).
    const float c = s->step_counter;
    if (s->step >= s->nbr_step || s->step < 0 || !(c >= 1.0f && c <= 16777184.0f) ||
        c != std::trunc(c))
      return 0;
    // The k-th count of the run moves on when c + k >= the period (a NaN period,
    // which nothing reaches, sends every sample through evolue()).
    const double p = s->period();
    if (!(static_cast<double>(c) + 1.0 < p)) return 0;
    while (!(static_cast<double>(c) + static_cast<double>(n) < p)) n--;
  }
  // Nothing a sample's retunes and restores would change since the last one: no
  // new note, a sampler's speed, gain and offset, a sequencer target's levels.
  for (const VoicedVco& v : voiced_waves_.all)
    if ((v.retune == VoicedVco::kOnNote || v.retune == VoicedVco::kBaseOnNote) && *v.note != v.last)
      return 0;
  for (const VoicedSampler& v : voiced_samplers_) {
    const SAMPLER* s = v.sampler;
    if (!same_bits(s->speed, v.speed()) || !same_bits(s->gain, s->base_gain) ||
        !same_bits(s->offset, s->base_offset))
      return 0;
  }
  for (const VCO* o : run_levels_)
    if (!same_bits(o->amount, o->base_amount) || !same_bits(o->phase_offset, o->base_phase_offset))
      return 0;
  return n;
}

void GENERATOR::evolve_run(float* out, size_t n) {
  // Passes 1 and 2: no sequencer starts a step or gates within a run. Pass 3 writes
  // the same values every sample: once here; the sequencers only count.
  for (const auto& r : seq_vcos_.runs)
    if (r.count) drive_targets(r);
  for (SEQUENCER* s : run_seqs_) {
    s->step_counter = static_cast<float>(static_cast<double>(s->step_counter) + static_cast<double>(n));
    s->gate = 0;
  }
  for (uint32_t i : run_fixed_) {
    RunOut& o = run_outs_[i];
    for (size_t t = 0; t < n; t++) o.v[t] = o.module->OUTL;
  }

  // Each oscillator of the list through the run: VCO::evolue's phase steps, four
  // oscillators in one loop (each its own chain of steps, which the CPU overlaps),
  // then each one's waveform, the sines (and the pulses' sines) in one call each.
  auto step = [this, n](const std::vector<uint32_t>& list) {
    for (uint32_t i : list) {
      RunOsc& r = run_oscs_[i];
      if (r.modulated) continue;  // pass 4 wrote its arrays
      const VCO* o = r.vco;
      fill_if_changed(r.inc, o->inc(), r.inc_bits);
      fill_if_changed(r.amount, o->amount, r.amount_bits);
      fill_if_changed(r.phase_offset, o->phase_offset, r.offset_bits);
    }
    auto phases = [this, n, &list](size_t first, auto count) {
      constexpr size_t m = decltype(count)::value;
      RunOsc* g[m];
      float p[m];
      for (size_t k = 0; k < m; k++) {
        g[k] = &run_oscs_[list[first + k]];
        p[k] = g[k]->vco->phase;
      }
      for (size_t t = 0; t < n; t++) {
#pragma GCC unroll 4
        for (size_t k = 0; k < m; k++) {
          p[k] = VCO::next_phase(p[k], g[k]->inc[t]);
          g[k]->phase[t] = p[k];
          g[k]->arg[t] = VCO::argument(p[k], g[k]->phase_offset[t]);
        }
      }
      for (size_t k = 0; k < m; k++) g[k]->vco->phase = p[k];
    };
    size_t first = 0;
    for (; first + 4 <= list.size(); first += 4) phases(first, std::integral_constant<size_t, 4>());
    switch (list.size() - first) {
      case 3:
        phases(first, std::integral_constant<size_t, 3>());
        break;
      case 2:
        phases(first, std::integral_constant<size_t, 2>());
        break;
      case 1:
        phases(first, std::integral_constant<size_t, 1>());
        break;
      default:
        break;
    }
    for (uint32_t i : list) {
      RunOsc& r = run_oscs_[i];
      float* y = run_outs_[r.out].v;
      switch (r.vco->type) {
        case SINE:
          if (r.modulated)
            for (size_t t = 0; t < n; t++) r.amount_d[t] = r.amount[t];
          else
            fill_if_changed(r.amount_d, static_cast<double>(r.vco->amount), r.amount_d_bits);
          sine_times(r.arg, r.amount_d, y, n);
          break;
        case PULSE:
          fill_if_changed(r.amount_d, 1.0, r.amount_d_bits);
          sine_times(r.arg, r.amount_d, y, n);
          for (size_t t = 0; t < n; t++) y[t] = VCO::pulse(y[t], r.amount[t]);
          break;
        case SAW:
          for (size_t t = 0; t < n; t++) y[t] = VCO::saw(r.amount[t], r.phase[t]);
          break;
        default:  // HALF_SAW: prepare_runs() lets no other waveform in
          for (size_t t = 0; t < n; t++) y[t] = VCO::half_saw(r.amount[t], r.phase[t]);
          break;
      }
    }
  };

  // Pass 4: the sources, then each link restores its target and modulates it, the
  // last link of a target deciding, as sample by sample. A source read is clamped.
  step(run_sources_);
  for (const RunMod& m : run_mods_) {
    const VCO* src = run_oscs_[m.source].vco;
    RunOsc& r = run_oscs_[m.target];
    const VCO* o = r.vco;
    float* y = run_outs_[run_oscs_[m.source].out].v;
    const bool amp = (m.flags & kModAmp) && src->amount != 0.0f && src->freq != 0.0f;
    const bool fm = (m.flags & kModFreq) != 0, pm = (m.flags & kModPhase) != 0;
    const F4 amount = set4f(o->base_amount), offset = set4f(o->base_phase_offset),
             freq = set4f(o->base_freq);
    for (size_t t = 0, m = lanes_of(n); t < m; t += 4) {
      F4 v = load4f(y + t);
      if (amp || fm || pm) {
        v = clamp4f(v);
        store4f(y + t, v);
      }
      const F4 f = fm ? modulate4f(freq, v) : freq;
      store4f(r.amount + t, amp ? modulate4f(amount, v) : amount);
      store4f(r.phase_offset + t, pm ? modulate4f(offset, v) : offset);
      store4f(r.freq + t, f);
      step4(r.inc + t, f);
    }
  }

  // Pass 5: its sources, then each link modulates its sampler's gain, speed or offset
  // from what the last sample's pass 6 restored, the links of a sample one after
  // another. A source read is clamped.
  if (!run_sampler_mods_.empty()) {
    step(run_sampler_sources_);
    for (RunSampler& r : run_samplers_)
      if (r.modulated)
        for (size_t t = 0; t < n; t++) {
          r.gain[t] = r.sampler->gain;
          r.speed[t] = r.sampler->speed;
          r.offset[t] = r.sampler->offset;
        }
    for (const RunMod& m : run_sampler_mods_) {
      RunSampler& r = run_samplers_[m.target];
      float* y = run_outs_[run_oscs_[m.source].out].v;
      const bool amp = (m.flags & kModAmp) != 0, fm = (m.flags & kModFreq) != 0,
                 pm = (m.flags & kModPhase) != 0;
      if (!(amp || fm || pm)) continue;
      for (size_t t = 0; t < n; t++) {
        const float v = OUTPUT::clamped(y[t]);
        y[t] = v;
        if (amp) SAMPLER::modulate(r.gain[t], v);
        if (fm) SAMPLER::modulate(r.speed[t], v);
        if (pm) SAMPLER::modulate(r.offset[t], v);
      }
    }
  }

  // Pass 6: a sampler's speed, gain and offset are what the last sample restored (or
  // pass 5 made of them), and are restored after each sample.
  for (RunSampler& r : run_samplers_) {
    SAMPLER* s = r.sampler;
    float* y = run_outs_[r.out].v;
    if (r.modulated) {
      const float gain = s->gain, speed = s->speed, offset = s->offset;
      for (size_t t = 0; t < n; t++) {
        s->gain = r.gain[t];
        s->speed = r.speed[t];
        s->offset = r.offset[t];
        s->SAMPLER::evolue();
        y[t] = s->OUTL;
      }
      s->gain = gain;
      s->speed = speed;
      s->offset = offset;
    } else {
      for (size_t t = 0; t < n; t++) {
        s->SAMPLER::evolue();
        y[t] = s->OUTL;
      }
    }
  }

  // Pass 8; the retunes have nothing new to write but a sequencer target's levels.
  step(run_voiced_);
  for (VCO* o : run_levels_) {
    o->amount = o->base_amount;
    o->phase_offset = o->base_phase_offset;
  }

  // Passes 9, 10 and 12 of the fused mixers, as evolue() has them.
  for (RunMix& x : run_mixes_) {
    float* a = run_outs_[x.source[0]].v;
    const F4 zero = set4f(0.0f);
    if (!x.two) {
      const F4 gain = set4f(10000.0f);
      for (size_t t = 0, m = lanes_of(n); t < m; t += 4) {
        const F4 v = clamp4f(load4f(a + t));
        store4f(a + t, v);
        store4f(x.in + t, clamp4f(add4f(mul4f(gain, v), zero)));
      }
    } else {
      float* b = run_outs_[x.source[1]].v;
      const F4 gain = set4f(5000.0f);
      for (size_t t = 0, m = lanes_of(n); t < m; t += 4) {
        const F4 va = clamp4f(load4f(a + t));
        store4f(a + t, va);
        // Read after the store: b may be a.
        const F4 vb = clamp4f(load4f(b + t));
        store4f(b + t, vb);
        store4f(x.in + t, clamp4f(mix2_sum4f(vb, add4f(mul4f(gain, va), zero))));
      }
    }
    *x.vca_input = x.in[n - 1];
  }

  // The other mixers: their sources clamped (and kept), then each mixer's sum sample
  // by sample with its inputs as its record leaves them; pass 12 reads the sums
  // clamped.
  for (const RunMixer& x : run_mixers_) {
    const RunFeed* f = run_feeds_.data() + x.first;
    for (uint32_t k = 0; k < x.count; k++)
      if (f[k].source != kNoSource) {
        float* y = run_outs_[f[k].source].v;
        for (size_t t = 0, m = lanes_of(n); t < m; t += 4) store4f(y + t, clamp4f(load4f(y + t)));
      }
    float* sum = run_outs_[x.out].v;
    for (size_t t = 0; t < n; t++) {
      for (uint32_t k = 0; k < x.count; k++)
        if (f[k].source != kNoSource) *f[k].input = run_outs_[f[k].source].v[t];
      x.mixer->MIXER::evolue();
      sum[t] = x.mixer->OUTL;
    }
  }
  for (RunLink& l : run_links_) {
    float* y = run_outs_[l.mixer].v;
    for (size_t t = 0, m = lanes_of(n); t < m; t += 4) {
      const F4 v = clamp4f(load4f(y + t));
      store4f(y + t, v);
      store4f(l.in + t, v);
    }
    *l.vca_input = l.in[n - 1];
  }

  // Passes 11 and 13: each amplifier's product added to every sample's sum in list
  // order; a held amplifier's level stays.
  float sum[kVoiceRun];
  const size_t m = lanes_of(n);
  for (size_t t = 0; t < m; t += 4) store4f(sum + t, set4f(0.0f));
  for (size_t j = 0, count = vcas_.size(); j < count; j++) {
    VCA* a = vcas_[j];
    const float* in = run_vca_in_[j];
    int32_t& steady = vca_steady_[j];
    const float fixed = a->input;
    size_t t = 0;
    for (; t < n && !steady; t++) {
      a->VCA::evolue();
      steady = a->VCA::holds();
      sum[t] = a->OUTL * (in ? in[t] : fixed) + sum[t];
    }
    const float level = a->OUTL;
    if (t == 0) {
      // Held through the run: four samples at a time.
      const F4 l = set4f(level);
      if (in) {
        for (; t < m; t += 4) store4f(sum + t, add4f(mul4f(l, load4f(in + t)), load4f(sum + t)));
      } else {
        const F4 product = set4f(level * fixed);
        for (; t < m; t += 4) store4f(sum + t, add4f(product, load4f(sum + t)));
      }
    } else if (in) {
      for (; t < n; t++) sum[t] = level * in[t] + sum[t];
    } else {
      const float product = level * fixed;
      for (; t < n; t++) sum[t] = product + sum[t];
    }
  }
  for (size_t t = 0; t < m; t += 4) store4f(sum + t, clamp4f(load4f(sum + t)));
  std::memcpy(out, sum, n * sizeof sum[0]);
  OUTL = out[n - 1];

  // What the last sample left in the modules.
  for (RunOut& o : run_outs_) o.module->OUTL = o.v[n - 1];
  for (RunOsc& r : run_oscs_)
    if (r.modulated) {
      VCO* o = r.vco;
      o->amount = r.amount[n - 1];
      o->phase_offset = r.phase_offset[n - 1];
      o->set_freq(r.freq[n - 1]);
    }
  for (const VoicedVco* v : run_retunes_) retune(v->vco, static_cast<long long>(*v->note) + v->offset);
  stepped_ = true;
}
