// The patch graph: owns every module and link of a patch and computes one output
// sample of the whole patch per evaluation.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/fast_sine.h"
#include "engine/keyboard.h"
#include "engine/lanes.h"
#include "engine/mixer.h"
#include "engine/output.h"
#include "engine/sampler.h"
#include "engine/sequencer.h"
#include "engine/vca.h"
#include "engine/vco.h"

// Link records. Every list in a record is parallel to its partner and newest first:
// index 0 is the last link field of that kind on the owner's patch line. Records
// point to modules and words without owning them.
struct LINK_VCO_VCO {
  std::vector<VCO*> fils_out;
  std::vector<char*> param_out;
  VCO* pere_in = nullptr;
};
struct LINK_SAMPLER_VCO {
  std::vector<SAMPLER*> fils_out;
  std::vector<char*> param_out;
  VCO* pere_in = nullptr;
};
struct LINK_VCO_MIXER {
  std::vector<VCO*> fils_out;
  std::vector<char*> param_out;
  MIXER* pere_in = nullptr;
};
struct LINK_SAMPLER_MIXER {
  std::vector<SAMPLER*> fils_out;
  std::vector<char*> param_out;
  MIXER* pere_in = nullptr;
};
struct LINK_VCO_SAMPLER {
  std::vector<VCO*> fils_out;
  std::vector<char*> param_out;
  SAMPLER* pere_in = nullptr;
};
struct LINK_MIXER_VCA {
  MIXER* source = nullptr;
  std::vector<char*> param_out;
  VCA* pere_in = nullptr;
};
struct LINK_KEYBOARD_VCA {
  KEYBOARD* source = nullptr;
  VCA* pere_in = nullptr;
};
struct LINK_KEYBOARD_VCO {
  KEYBOARD* source = nullptr;
  VCO* pere_in = nullptr;
};
struct LINK_KEYBOARD_SAMPLER {
  KEYBOARD* source = nullptr;
  SAMPLER* pere_in = nullptr;
};
struct LINK_VCO_SEQUENCER {
  std::vector<VCO*> fils_out;
  SEQUENCER* pere_in = nullptr;
};
struct LINK_VCA_SEQUENCER {
  std::vector<VCA*> fils_out;
  SEQUENCER* pere_in = nullptr;
};
struct LINK_SAMPLER_SEQUENCER {
  std::vector<SAMPLER*> fils_out;
  SEQUENCER* pere_in = nullptr;
};

class PatchLog;
struct LoadOptions;

// A list is walked up to its counter, and never past its end.
template <class List>
int list_count(int counter, const List& list) {
  return counter < static_cast<int>(list.size()) ? counter : static_cast<int>(list.size());
}

// Owns every module, link word and sample of its lists: they are freed with it.
class GENERATOR final : public OUTPUT {
 public:
  // Loads the patch at `path` ("SYNTH_2.TSY" when null), prints the trace and the
  // graph report on standard output; an empty field ends the process (status 255).
  // Defined with the loader (patch layer).
  explicit GENERATOR(const char* path);
  // The same through `log` (patch/patch_log.h), which decides what an empty field does.
  GENERATOR(const char* path, PatchLog& log);

  // An empty graph with no patch read and nothing printed; for building graphs by
  // hand (call prepare() once the lists are filled; the graph then owns the modules).
  struct Empty {};
  explicit GENERATOR(Empty);

  ~GENERATOR();
  GENERATOR(const GENERATOR&) = delete;
  GENERATOR& operator=(const GENERATOR&) = delete;

  // One sample of the whole patch: the thirteen passes. Returns 1.
  int evolue() override;
  // How many samples one evolue_frames call may compute: more than one for a graph
  // of whole voices alone (the voices' run kernel) and for one whose passes can go
  // through a run of samples one after another (runs_).
  int frames_at_once() const {
    return (voices_only_ && voice_run_) || runs_ ? static_cast<int>(kVoiceRun) : 1;
  }
  // `frames` samples, as that many evolue() calls with nothing applied in between;
  // out[i] is get_OUTL() after the i-th. Where frames_at_once() allows it, all but
  // the first are one call of the voices' run kernel, or runs of samples computed
  // pass by pass between the sequencers' step changes.
  void evolue_frames(float* out, int frames);

  // Reads a patch file into the lists (one pass, top to bottom). Returns 1 when the
  // file was read, 0 when it could not be opened. Writes the trace to `log`.
  int load_TSY(const char* path);
  // The same from patch text in memory; `name` stands for the path in messages.
  int load_TSY_text(const char* name, const std::string& text);

  // Writes the graph report to `log`.
  void affiche_tree();

  // Where load_TSY and affiche_tree write; null: standard output. Set by the loading
  // calls for their duration only (the graph does not keep a log).
  PatchLog* log = nullptr;
  // The caption and sequencer seed of the load under way; null: none, seed 0.
  const LoadOptions* options = nullptr;

  // Resolves, once, everything the per-sample passes would otherwise search for:
  // the keyboard of each oscillator and sampler, the words of every link, the mixer
  // input of every source. Called by the constructor after loading; the lists must
  // not change afterwards without calling it again.
  void prepare();

  // Writes the state the graph keeps side by side for whole voices (engine/lanes.h
  // VoiceLanes: their oscillators, mixers and amplifiers) back into those modules'
  // objects, for a caller that reads them between samples; until then the objects
  // hold what they had at prepare(). Not needed by the passes themselves.
  void sync_lanes();

  VCO* get_VCO_by_name(const char* name);
  VCA* get_VCA_by_name(const char* name);
  MIXER* get_MIXER_by_name(const char* name);
  SAMPLER* get_SAMPLER_by_name(const char* name);
  // With exactly one keyboard, returns it whatever the name.
  KEYBOARD* get_KEYBOARD_by_name(const char* name);
  KEYBOARD* get_KEYBOARD_by_VCO(VCO* vco);
  KEYBOARD* get_KEYBOARD_by_SAMPLER(SAMPLER* sampler);

  std::vector<LINK_VCO_MIXER> liens_vco_mixer;
  std::vector<LINK_SAMPLER_MIXER> liens_sampler_mixer;
  std::vector<LINK_MIXER_VCA> liens_mixer_vca;
  std::vector<LINK_KEYBOARD_VCA> liens_key_vca;
  std::vector<LINK_KEYBOARD_VCO> liens_key_vco;
  std::vector<LINK_KEYBOARD_SAMPLER> liens_key_sampler;
  std::vector<LINK_SAMPLER_VCO> liens_sampler_vco;
  std::vector<LINK_VCO_SAMPLER> liens_vco_sampler;
  std::vector<LINK_VCO_VCO> liens_vco_vco;
  std::vector<LINK_VCO_SEQUENCER> liens_vco_sequencer;
  std::vector<LINK_VCA_SEQUENCER> liens_vca_sequencer;
  std::vector<LINK_SAMPLER_SEQUENCER> liens_sampler_sequencer;

  std::vector<VCO*> liste_vco;
  std::vector<int> notes_vco;
  std::vector<VCA*> liste_vca;
  std::vector<MIXER*> liste_mixer;
  std::vector<KEYBOARD*> liste_keyboard;
  std::vector<SAMPLER*> liste_sampler;
  std::vector<SEQUENCER*> liste_sequencer;

  int nbr_liens_vco_mixer = 0;
  int nbr_liens_sampler_mixer = 0;
  int nbr_liens_mixer_vca = 0;
  int nbr_liens_key_vca = 0;
  int nbr_liens_key_vco = 0;
  int nbr_liens_sampler_vco = 0;
  int nbr_liens_vco_vco = 0;
  int nbr_liens_vco_sequencer = 0;
  int nbr_liens_vca_sequencer = 0;
  int nbr_vco = 0;
  int nbr_notes_vco = 0;
  int nbr_vca = 0;
  int nbr_mixer = 0;
  int nbr_keyboard = 0;
  int nbr_sampler = 0;
  int nbr_sequencer = 0;
  int nbr_liens_sampler_sequencer = 0;

  // Load outcome, for callers that decide what a failed load means.
  bool load_opened = false;   // the patch file could be opened
  int load_problems = 0;      // malformed fields and dangling links reported by the loader

  // Modulation words of links into oscillators and samplers, found anywhere in the
  // word (bit i of word_flags is kModWords[i]); a word with none modulates nothing.
  static constexpr const char* kModWords[3] = {"MOD_AMP", "MOD_FREQ", "MOD_PHASE"};
  enum : uint8_t { kModAmp = 1, kModFreq = 2, kModPhase = 4 };
  static uint8_t word_flags(const char* word);

 private:

  // Passes 9 and 10 as one flat list: each source into its mixer input, and after a
  // record's last source its mixer sums. A source whose word names no input is left
  // out (and so not read, as the walk would skip it); a record left with no source
  // is a lone mixer evaluation.
  struct FeedOp {
    OUTPUT* source;  // VCO or SAMPLER, clamped as get_OUTL does; null: none
    float* input;    // into the mixer's inputs
    MIXER* mixer;    // non-null on a record's last entry: evaluate it then
  };
  // Modulation records (passes 4, 5 and 7) as flat arrays: each record is a target
  // and a run of its sources, each source with its word's flags.
  template <class Source, class Target>
  struct ModLinks {
    struct ModSource {
      Source* source;
      uint8_t flags;  // 0 for a source without a word: evaluated, modulates nothing
    };
    struct ModTarget {
      Target* target;
      uint32_t first, count;
    };
    std::vector<ModTarget> targets;
    std::vector<ModSource> sources;

    // The first `n` records, in list order.
    template <class Records>
    void build(const Records& records, size_t n) {
      targets.clear();
      sources.clear();
      for (size_t i = 0; i < n && i < records.size(); i++) {
        const auto& r = records[i];
        ModTarget t{r.pere_in, static_cast<uint32_t>(sources.size()), 0};
        for (size_t j = 0; j < r.fils_out.size(); j++, t.count++)
          sources.push_back({r.fils_out[j], j < r.param_out.size() ? word_flags(r.param_out[j])
                                                                   : uint8_t{0}});
        targets.push_back(t);
      }
    }
  };
  struct VoicedVco {
    VCO* vco;
    const int* note;  // the keyboard's note; null: the frequency is not set from a keyboard
    int offset;       // the line's *NOTE transposition
    // What pass 8's retune must write, by which other passes write the oscillator's
    // amount, frequency or phase offset (3, 4 and 7):
    //   kOnNote: none: nothing new while the note stays; `last` is the note it was
    //     last retuned from (none yet: below any int, so the first sample after
    //     prepare() retunes);
    //   kBaseOnNote: pass 4 alone, batched: its restore rewrites amount, phase offset
    //     and frequency from the bases before anything reads them, so only base_freq,
    //     when the note changes;
    //   kLevels: pass 3 alone: it rewrites base_freq and the frequency first, so amount
    //     and phase offset every sample (`heard`: the note of the last sample);
    //   kAll: any other mix, every field every sample.
    // sync_lanes() writes what the retune left out, for readers between samples.
    // Audio thread only, after prepare().
    enum Retune : uint8_t { kOnNote, kBaseOnNote, kLevels, kAll };
    mutable int64_t last = INT64_MIN;
    mutable int heard = 0;
    Retune retune = kAll;
  };
  // Pass 8's retune in full: the note's frequency (a note outside the table keeps
  // the base), and amount, phase offset and frequency from their bases.
  static void retune(VCO* o, long long note) {
    float base = o->base_freq;
    if (note_in_table(note)) base = static_cast<float>(NOTE2FREQ[note]);
    o->base_freq = base;
    o->amount = o->base_amount;
    o->phase_offset = o->base_phase_offset;
    o->freq = base;
    o->freq_set();
  }
  // One liens_mixer_vca record.
  struct MixerToVca {
    MIXER* mixer;
    VCA* vca;
  };
  struct VoicedSampler {
    SAMPLER* sampler;
    KEYBOARD* kbd;  // null: plays at base_speed
    // Pass 6's speed after a sample: the keyboard's distance in semitones from note
    // 58 times the base speed (57..59 all play at base speed).
    float speed() const {
      const long long note = kbd ? kbd->note : 58;
      if (note == 58) return sampler->base_speed;
      const long long dist = note > 58 ? note - 58 : 58 - note;
      return static_cast<float>(static_cast<double>(dist) * sampler->base_speed);
    }
  };

  // Passes 1 to 3: each record a sequencer and a run of its targets.
  template <class Target>
  struct SeqLinks {
    struct Run {
      SEQUENCER* seq;
      uint32_t first, count;
    };
    std::vector<Run> runs;
    std::vector<Target*> targets;
    template <class Records>
    void build(const Records& records, size_t n) {
      runs.clear();
      targets.clear();
      for (size_t i = 0; i < n && i < records.size(); i++) {
        const auto& r = records[i];
        runs.push_back({r.pere_in, static_cast<uint32_t>(targets.size()),
                        static_cast<uint32_t>(r.fils_out.size())});
        targets.insert(targets.end(), r.fils_out.begin(), r.fils_out.end());
      }
    }
  };
  // Pass 3's writes into one sequencer's targets (r.count > 0), a rest silencing
  // them. The same for every target (oscillators write nothing of the sequencer),
  // and the clamp keeps its value: read once.
  void drive_targets(const SeqLinks<VCO>::Run& r) {
    const SEQUENCER* s = r.seq;
    const bool rest = s->notes[s->step] == 0;
    const float f = r.seq->OUTPUT::get_OUTL();
    auto drive = [rest, f](VCO* o) {
      if (rest) o->amount = 0.0f;
      o->base_freq = f;
      o->set_freq(f);
    };
    // One target is the usual run: no loop set up for it.
    VCO* const* t = seq_vcos_.targets.data() + r.first;
    drive(t[0]);
    for (uint32_t j = 1; j < r.count; j++) drive(t[j]);
  }
  SeqLinks<SAMPLER> seq_samplers_;  // pass 1
  SeqLinks<VCA> seq_vcas_;          // pass 2
  SeqLinks<VCO> seq_vcos_;          // pass 3

  // Flat arrays, walked in order every sample: no list of lists to chase.
  ModLinks<VCO, VCO> vco_vco_;          // pass 4
  ModLinks<VCO, SAMPLER> vco_sampler_;  // pass 5
  ModLinks<SAMPLER, VCO> sampler_vco_;  // pass 7
  std::vector<FeedOp> feed_ops_;
  std::vector<VoicedSampler> voiced_samplers_;
  std::vector<VoicedVco> voiced_vcos_;
  std::vector<MixerToVca> mixer_to_vca_;
  std::vector<VCA*> vcas_;  // liste_vca up to nbr_vca
  // Every amplifier of vcas_ is a different one, so each can be summed right after
  // its own envelope step.
  bool vcas_distinct_ = true;
  // Neither lane kernel, vcas_distinct_ and an amplifier: the amplifier pass tested
  // once, first (set by prepare()).
  bool sum_distinct_ = false;
  // Every oscillator of voiced_vcos_ is a different one, so all their phase steps
  // can run before their waveforms, and the sines in batches.
  bool voiced_distinct_ = true;
  // Pass 8's sine oscillators side by side (engine/lanes.h), when voiced_distinct_ and
  // the CPU runs a lane kernel; voiced_rest_ holds the other voiced oscillators, in
  // order. Null kernel: every voiced oscillator goes through voiced_waves_.
  size_t (*sine_kernel_)(const SineLanes&) = nullptr;
  SineLanes sine_lanes_;
  std::vector<uintptr_t> lane_vco_, lane_note_;
  std::vector<int64_t> lane_offset_;
  std::vector<VCO*> lane_of_;  // the oscillator of each lane
  // Lanes that pass 4 or 5 also steps one at a time: the kernel's retune writes freq
  // without VCO::freq_set, so their step is formed again after it.
  std::vector<VCO*> lane_stepped_;
  std::vector<uint32_t> fall_lane_;
  std::vector<double> fall_arg_, fall_amount_;
  std::vector<VoicedVco> voiced_rest_;
  // What the padding lanes point at: silent (amount and freq 0), read by nobody.
  VCO lane_pad_{0.0f, 0.0f, SINE};
  int lane_pad_note_ = -2147483647 - 1;  // plus any offset, below the table
  void prepare_lanes();
  // Passes 9, 10 and 12 for the chains source -> one-input mixer -> amplifier whose
  // mixer has no other feed or amplifier and whose amplifier no other mixer: side by
  // side, taken out of feed_ops_ and mixer_to_vca_ (with the same kernels' CPUs).
  void (*chain_kernel_)(const ChainLanes&) = nullptr;
  ChainLanes chain_lanes_;
  std::vector<uintptr_t> chain_source_, chain_mixer_, chain_vca_input_;
  MIXER chain_pad_mixer_;
  float chain_pad_[2] = {};  // padding's source OUTL and amplifier input
  void prepare_chains();
  // Passes 11 and 13 with the held amplifiers side by side when vcas_distinct_ (same
  // kernels' CPUs); the sum still adds the products one by one, in list order.
  size_t (*vca_kernel_)(const VcaLanes&) = nullptr;
  VcaLanes vca_lanes_;
  std::vector<uintptr_t> vca_at_;
  std::vector<float> vca_product_;
  std::vector<uint32_t> vca_other_;
  VCA vca_pad_;  // idle: level 0
  // Without vca_kernel_, when vcas_distinct_: per amplifier of vca_rest_, nonzero while
  // it holds() (each one's lane.steady points here; TRIG and UNTRIG clear it). A held
  // amplifier is not stepped, only its product formed. Empty otherwise.
  std::vector<int32_t> vca_steady_;
  void prepare_vcas();

  // Whole voices side by side (engine/lanes.h VoiceLanes) when the CPU runs the
  // kernels, vcas_distinct_ and voiced_distinct_ hold, and at least kMinLanes chains
  // V sine oscillator -> one-input mixer -> amplifier qualify: nothing but the chain
  // feeds, reads, modulates, steps or drives any of the three (passes 3, 4, 5, 7 and
  // the other feeds leave them alone). Their oscillators, feeds and amplifiers are
  // taken out of every other pass; the arrays below are their state while the graph
  // plays, and each such amplifier's `lane` points into them.
  struct Voice {
    VCO* vco;
    MIXER* mixer;
    VCA* vca;
  };
  size_t (*voice_kernel_)(const VoiceLanes&) = nullptr;
  VoiceLanes voice_lanes_;
  std::vector<Voice> voices_;
  std::vector<unsigned char> voice_blocks_;  // voice_lanes_.blocks, 64-byte aligned inside
  std::vector<float> voice_product_;
  std::vector<uint32_t> voice_other_;
  int32_t voice_retune_all_ = 1;  // until the first sample: every voice's note is new
  std::vector<VCA*> vca_rest_;          // vcas_ without the voices' amplifiers, in order
  // With voices: vcas_'s products in list order, as runs of consecutive floats.
  struct SumRun {
    const float* at;
    size_t n;
  };
  std::vector<SumRun> sum_runs_;
  // Nothing but whole voices, whose products are vcas_'s in list order: a sample is
  // the voice kernel and the sum, no other pass looked at (set by prepare()).
  bool voices_only_ = false;
  int evolve_voices();
  // The voices' next samples while all are steady (engine/lanes.h).
  bool (*voice_run_)(const VoiceLanes&, float*, size_t) = nullptr;
  void prepare_voices();
  // One amplifier of voice l through VCA::evolue, its object standing in for the arrays.
  void step_voice_vca(size_t l);

  // Pass 4 has no chain: every source is walked once and none is a target, so the
  // sources can all be evaluated (sines in batches) before any target is modulated.
  bool vco_vco_batched_ = false;

  // The distinct oscillators of one pass by waveform, each group in pass order (the
  // noise's draws keep theirs): no waveform reads another oscillator, so the groups
  // may run one after another, with no type test per sample. Entries: anything with
  // the oscillator in `vco`.
  template <class Entry>
  struct WaveGroups {
    enum { kSine, kPulse, kSaw, kHalfSaw, kOther, kGroups };
    // The groups one after another: group k is [end[k - 1], end[k]) (end[-1] = 0).
    std::vector<Entry> all;
    size_t end[kGroups] = {};
    // end[k] * sizeof(Entry): the walk forms a group's end with one addition (an
    // offset, not a pointer, so that a copy never points into another's vector).
    size_t end_bytes[kGroups] = {};
    const Entry* end_of(int k) const {
      return reinterpret_cast<const Entry*>(reinterpret_cast<const char*>(all.data()) +
                                            end_bytes[k]);
    }
    unsigned groups = 0;  // bit k: group k has an oscillator
    // The sine batch of each group: with four oscillators or fewer, one call of the
    // kernel's block (out: room for 4).
    SineTimesShort sines = nullptr;
    SineTimesShort pulses = nullptr;
    void build(const std::vector<Entry>& list);
  };
  // Steps every oscillator of g, sines in batches; `after(e)` runs once e's OUTL is
  // set, and touches e's oscillator and what no other oscillator of g reads.
  template <class Entry, class After>
  static void evolve_waves(const WaveGroups<Entry>& g, After after);
  // Pass 4 when batched: every source in walk order with its target.
  struct ModOp {
    VCO* vco;  // the source
    VCO* target;
    uint8_t flags;
  };
  WaveGroups<VoicedVco> voiced_waves_;  // pass 8: voiced_rest_
  // Set by every sample since prepare(): the writes left to sync_lanes() (the retune's,
  // the fused mixers' own fields) are then due.
  bool stepped_ = false;
  WaveGroups<ModOp> vco_vco_waves_;     // pass 4's sources, when vco_vco_batched_
  std::vector<ModOp> vco_vco_ops_;      // the same, in record order, applied after them all
  static void apply_mod(const ModOp& op);
  // Passes 9, 10 and 12 for a mixer evaluated by one record, of one source into a
  // one-input mixer or two into a two-input one, and read by the one link into an
  // amplifier that no other mixer drives: taken out of feed_ops_ and mixer_to_vca_
  // (nothing else reads the mixer, its inputs or that amplifier's input in between).
  struct Mix1 {
    OUTPUT* source;
    MIXER* mixer;
    float* vca_input;
  };
  struct Mix2 {
    OUTPUT* source[2];  // into inputs[0] and inputs[1]
    MIXER* mixer;
    float* vca_input;
  };
  std::vector<Mix1> mix1_;
  std::vector<Mix2> mix2_;
  void prepare_mixes();
  // Mixers evaluated by one feed record and read by one mixer-to-amplifier link, whose
  // amplifier no other link drives, each with that amplifier: what passes 9, 10 and 12
  // may do in one step (the chains side by side, the fused mixers).
  std::unordered_map<const MIXER*, VCA*> sole_amplifiers() const;

  // Passes 4 and 8 when this graph has work for them (set by prepare()): an empty
  // one is not entered at all, its groups' walk included. The last two gather lists
  // most patches leave empty (5 and 7; the general feeds and 12), one test for both;
  // the kernels of chains and sines side by side, which small patches never have.
  enum : uint32_t {
    kPassVcoVco = 1u << 0,
    kPassVoiced = 1u << 1,
    kPassSamplerMods = 1u << 2,
    kPassFeeds = 1u << 3,
    kPassChainLanes = 1u << 4,  // chain_kernel_ set
    kPassSineLanes = 1u << 5,   // sine_kernel_ set
  };
  uint32_t passes_ = 0;

  // Runs of samples, pass by pass (graph_run.cpp): each pass computes a whole run
  // before the next one starts. The result is the samples' own only where no pass
  // reads what a later pass wrote in the sample before, so prepare_runs() allows it
  // for the usual small patch alone (no pass 7, no mixer evaluated twice a sample;
  // passes 4 and 5 with
  // sources stepped nowhere else, pass 4 batched, pass 5 into S samplers; pass 8's oscillators distinct, retuned in full only
  // where passes 3 and 4 both write them;
  // every waveform but noise; each sequencer stepped once a sample) and run_length()
  // ends a run before any sequencer's step change or gate, or a note not yet heard:
  // within a run passes 1 to 3 only count, and every retune leaves what it finds.
  // The modules' objects hold the state between runs, as between samples.
  // Audio thread only, after prepare().
  struct RunOsc {  // an oscillator a run steps (pass 4's sources, pass 8) or modulates
    VCO* vco;
    uint32_t out;    // its entry of run_outs_
    bool modulated;  // a pass-4 target: amount, offset and step sample by sample
    double inc[kVoiceRun];
    float amount[kVoiceRun], phase_offset[kVoiceRun], freq[kVoiceRun];
    float phase[kVoiceRun];
    double arg[kVoiceRun];
    double amount_d[kVoiceRun];  // the amounts as the sine takes them
    // For an oscillator that is no target, inc, amount, phase_offset and amount_d
    // hold one value each, filled again only when it changes: its bits (0 before any
    // run, as the arrays are: a zero needs no filling).
    uint64_t inc_bits, amount_d_bits;
    uint32_t amount_bits, offset_bits;
  };
  struct RunOut {  // an OUTL a run's mixers or modulations read, sample by sample
    OUTPUT* module;
    float v[kVoiceRun];
  };
  struct RunMod {  // a link of pass 4: source and target entries of run_oscs_
    uint32_t source, target;
    uint8_t flags;
  };
  struct RunMix {  // mix1_ or mix2_, its sources' entries of run_outs_
    uint32_t source[2];
    bool two;
    float* vca_input;
    float in[kVoiceRun];  // what the amplifier's input holds, sample by sample
  };
  // Passes 9, 10 and 12 for the other mixers, each evaluated by one record: its
  // sources into its inputs, the sum, and the links into amplifiers.
  struct RunFeed {
    uint32_t source;  // an entry of run_outs_; kNoSource: a record without one
    float* input;     // into the mixer's inputs
  };
  static constexpr uint32_t kNoSource = UINT32_MAX;
  struct RunMixer {
    MIXER* mixer;
    uint32_t out;            // its entry of run_outs_
    uint32_t first, count;   // its record in run_feeds_
  };
  struct RunLink {  // a mixer_to_vca_ link
    uint32_t mixer;  // the mixer's entry of run_outs_
    float* vca_input;
    float in[kVoiceRun];
  };
  std::vector<RunFeed> run_feeds_;
  std::vector<RunMixer> run_mixers_;
  std::vector<RunLink> run_links_;
  bool runs_ = false;
  std::vector<RunOsc> run_oscs_;
  std::vector<RunOut> run_outs_;
  std::vector<uint32_t> run_sources_, run_voiced_;  // run_oscs_ entries, pass 4 and 8
  std::vector<RunMod> run_mods_;
  std::vector<VCO*> run_levels_;  // pass 8's kLevels retunes
  std::vector<const VoicedVco*> run_retunes_;  // and its kAll ones, into voiced_waves_.all
  struct RunSampler {  // pass 6's
    SAMPLER* sampler;
    uint32_t out;    // its entry of run_outs_
    bool modulated;  // a pass-5 target: gain, speed and offset sample by sample
    float gain[kVoiceRun], speed[kVoiceRun], offset[kVoiceRun];
  };
  std::vector<RunSampler> run_samplers_;
  std::vector<uint32_t> run_sampler_sources_;  // run_oscs_ entries, pass 5
  std::vector<RunMod> run_sampler_mods_;       // target: an entry of run_samplers_
  std::vector<uint32_t> run_fixed_;  // run_outs_ of modules no pass of a run steps
  std::vector<RunMix> run_mixes_;
  std::vector<const float*> run_vca_in_;  // per vcas_ entry: its mixer's run, or null
  std::vector<SEQUENCER*> run_seqs_, run_gates_;  // stepped; read by pass 2
  void prepare_runs();
  // How many of the next `want` samples a run may compute now (0: the next one goes
  // through evolue()).
  size_t run_length(size_t want) const;
  // The next n (1 to kVoiceRun) samples, clamped as get_OUTL() gives them, into out.
  void evolve_run(float* out, size_t n);
};
