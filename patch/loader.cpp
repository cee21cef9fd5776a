// Reads a patch file into the graph: one pass, top to bottom, one token per line.
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/generator.h"
#include "patch/params.h"
#include "patch/patch_log.h"
#include "patch/wav_reader.h"
#include "engine/note_table.h"
#include "patch/tstr_parser.h"

namespace {

constexpr int kTokenMax = 799;  // characters in one token (one patch line)

// Samplers in one patch. Each holds a 16 MB buffer that its file fills: without a
// bound, a few kilobytes of patch naming a large file on every line commit
// gigabytes. 64 samplers are 1 GB at most, far beyond any playable patch.
constexpr int kMaxSamplers = 64;

// Where the reading stands in the file, as an editor counts: line ends read so
// far and characters read since the last one.
struct TextPos {
  int newlines = 0;
  int column = 0;
};

// Reads the next blank-delimited token, then skips the blanks after it. A token
// longer than kTokenMax is consumed whole and flagged. `line` and `column` get the
// place of the token's first character (1-based). Returns false at end of file.
bool read_token(FILE* f, char* token, bool* overlong, TextPos* pos, int* line, int* column) {
  auto next = [&] {
    const int c = std::fgetc(f);
    ++pos->column;
    if (c == '\n') {
      ++pos->newlines;
      pos->column = 0;
    }
    return c;
  };
  int c;
  do c = next();
  while (c != EOF && std::isspace(c));
  if (c == EOF) return false;
  *line = pos->newlines + 1;
  *column = pos->column;
  int n = 0;
  *overlong = false;
  while (c != EOF && !std::isspace(c)) {
    if (n < kTokenMax)
      token[n++] = static_cast<char>(c);
    else
      *overlong = true;
    c = next();
  }
  token[n] = '\0';
  while (c != EOF && std::isspace(c)) c = next();
  // Never a line end: only a token's first character goes back.
  if (c != EOF) {
    std::ungetc(c, f);
    --pos->column;
  }
  return true;
}

// Owned copy of a field, released at the end of its scope unless kept.
struct Field {
  char* p = nullptr;
  Field() = default;
  explicit Field(char* q) : p(q) {}
  Field(const Field&) = delete;
  Field& operator=(const Field&) = delete;
  ~Field() { delete[] p; }
  char* keep() {
    char* q = p;
    p = nullptr;
    return q;
  }
  explicit operator bool() const { return p != nullptr; }
  const char* get() const { return p; }
};

bool has(const char* s, const char* word) { return s && std::strstr(s, word) != nullptr; }

// The keys of `kind` that a parameter field holds, in the order the loader acts.
std::vector<ParamDef> params(ModuleKind kind, const char* field) {
  std::vector<ParamDef> found;
  for (size_t i = 0; i < kParamCount; i++)
    if (kParams[i].kind == kind && has(field, kParams[i].key)) found.push_back(kParams[i]);
  return found;
}

template <class T>
void push_front(std::vector<T>& v, const T& x) {
  v.insert(v.begin(), x);
}

// Words already kept for a line's records that an empty field leaves unstored (the
// line is abandoned when the exit hook returns): nothing else would release them.
void release_words(std::vector<char*>& words) {
  for (char* w : words) delete[] w;
  words.clear();
}

}  // namespace

// State for the file in hand. Every message the loader writes about a bad patch
// goes through problem(), which names the file and the line.
struct PatchReader {
  GENERATOR& g;
  PatchLog& log;
  const char* path;
  int numero_ligne = 0;  // tokens read: how the loader's own texts number lines
  int ligne_texte = 0;   // the token's line in the file: every file:line location
  int token_column = 0;  // the token's first character in its line, 1-based
  const char* token = nullptr;
  int column = 0;     // where the field in hand begins: the column of every problem
  bool stop = false;  // an empty field ended the load

  void problem(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
    char text[2048];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    log.problem(path, numero_ligne ? ligne_texte : 0, text, column, kind);
    kind = PatchProblem::kGeneral;
    g.load_problems++;
  }
  PatchProblem::Kind kind = PatchProblem::kGeneral;  // of the next problem()

  // The column of field k of the token: after its k-th ';'.
  void at_field(int k) {
    int i = 0;
    for (int seen = 0; token[i] && seen < k; i++)
      if (token[i] == ';') seen++;
    column = token_column + i;
  }

  // Field k of the line; an empty one ends the load (and, at the synth's start-up,
  // the process) as the format requires.
  bool field(TSTR_PARSER& line, int k, Field& out) {
    out.p = line.get_champ(k);
    at_field(k);
    if (!out) {
      log.problem_text(path, ligne_texte,
                       "Erreur, au niveau des parametre ligne [" + std::to_string(numero_ligne) +
                           "]",
                       column, PatchProblem::kEmptyField);
      log.set_stopped();
      if (log.exit_on_empty_field) {
        std::fflush(stdout);
        std::exit(-1);
      }
      stop = true;
      return false;
    }
    return true;
  }

  // Splits "*KEY=value". Reports a field with no value.
  bool param(const char* f, Field& key, Field& value) {
    TSTR_PARSER p(f, '=');
    key.p = p.get_champ(0);
    value.p = p.get_champ(1);
    if (!value) {
      problem("parameter field [%s] has no \"=value\"; ignored", f);
      return false;
    }
    return true;
  }

  // Splits "source:word". Reports a field with no source or no word.
  bool link(const char* f, Field& source, Field& word) {
    TSTR_PARSER p(f, ':');
    source.p = p.get_champ(0);
    word.p = p.get_champ(1);
    if (!source || !word) {
      problem("link field [%s] is not \"module:word\"; ignored", f);
      return false;
    }
    return true;
  }

  template <class M>
  M* found(M* m, const char* source, const char* kind) {
    if (!m) {
      this->kind = PatchProblem::kMissingSource;
      problem("link source [%s] names no %s declared above; ignored", source, kind);
    }
    return m;
  }

  void copy_name(char* dst, size_t size, const char* name) {
    if (std::strlen(name) >= size) {
      problem("name [%.20s...] is longer than %zu characters; cut", name, size - 1);
    }
    std::strncpy(dst, name, size - 1);
    dst[size - 1] = '\0';
  }

  // Names a module just built, traces its kind and puts it at
  // the front of its list (newest first), counted.
  template <class M>
  M* add(M* m, std::vector<M*>& list, int& count, const char* name, const char* trace) {
    column = token_column;
    copy_name(m->name, sizeof m->name, name);
    log.declared(m, ligne_texte, token_column, token);
    log.trace("%s\n", trace);
    push_front(list, m);
    count++;
    return m;
  }

  // The wiring of every link field: the record's trace (the insert line its kind
  // prints, if any, then the source and word), the record at the front of its list
  // (newest first), and the list's counter when it keeps one.
  void trace_link(const char* insert, const char* source, const char* word) {
    if (insert) log.trace("%s\n", insert);
    log.trace("paramLNK : [%s][%s]\n", source, word);
  }
  template <class R>
  void store(std::vector<R>& list, int* counter, const R& rec) {
    push_front(list, rec);
    if (counter) ++*counter;
  }
  // A source joins a record of several, newest first; with its word in records
  // that keep words.
  template <class R, class M>
  void join(R& rec, bool& used, M* m, const char* insert, const Field& source,
            const Field& word) {
    push_front(rec.fils_out, m);
    trace_link(insert, source.get(), word.get());
    used = true;
  }
  template <class R, class M>
  void join_word(R& rec, bool& used, M* m, const char* insert, const Field& source, Field& word) {
    join(rec, used, m, insert, source, word);
    log.linked(m, rec.pere_in, word.get());
    push_front(rec.param_out, word.keep());
  }
  // A keyboard link: one record per field.
  template <class R, class T>
  void keyboard_link(std::vector<R>& list, int* counter, T* target, const Field& source,
                     const Field& word, const char* insert) {
    KEYBOARD* kb = found(g.get_KEYBOARD_by_name(source.get()), source.get(), "keyboard");
    if (!kb) return;
    R rec;
    rec.source = kb;
    rec.pere_in = target;
    trace_link(insert, source.get(), word.get());
    log.linked(kb, target, word.get());
    store(list, counter, rec);
  }

  void sequencer(TSTR_PARSER& line, int n, const char* name);
  void keyboard(const char* name);
  void sampler(TSTR_PARSER& line, int n, const char* name);
  void oscillator(TSTR_PARSER& line, int n, const char* name);
  void amplifier(TSTR_PARSER& line, int n, const char* name);
  void mixer(TSTR_PARSER& line, int n, const char* name);
};

void PatchReader::sequencer(TSTR_PARSER& line, int n, const char* name) {
  const uint32_t seed = g.options && g.options->seed ? g.options->seed() : 0;
  SEQUENCER* s = add(new SEQUENCER(seed), g.liste_sequencer, g.nbr_sequencer, name, "SEQUENCER");

  LINK_VCO_SEQUENCER to_vco;
  LINK_VCA_SEQUENCER to_vca;
  LINK_SAMPLER_SEQUENCER to_sampler;
  to_vco.pere_in = s;
  to_vca.pere_in = s;
  to_sampler.pere_in = s;
  bool vco_used = false, vca_used = false, sampler_used = false;

  for (int k = 1; k < n; k++) {
    Field f;
    if (!field(line, k, f)) return;
    if (f.get()[0] == '*') {
      Field key, value;
      if (!param(f.get(), key, value)) continue;
      for (const ParamDef& d : params(ModuleKind::Sequencer, f.get())) {
        if (d.param == Param::Divider) {
          s->divider = static_cast<float>(std::atof(value.get()));
          s->divider_set();
        }
        if (d.param == Param::NbrStep) {
          int steps = std::atoi(value.get());
          if (steps < 1 || steps > SEQUENCER::kMaxSteps) {
            problem("[%s]: a sequencer has 1 to %d steps; %d used", f.get(),
                    SEQUENCER::kMaxSteps, steps < 1 ? 1 : SEQUENCER::kMaxSteps);
            steps = steps < 1 ? 1 : SEQUENCER::kMaxSteps;
          }
          s->nbr_step = steps;
        }
        if (d.param == Param::StepNote) {
          // *NOTE_3=60: the step index starts at the key's seventh character.
          if (std::strlen(key.get()) < 7) {
            problem("[%s]: a step note is written *NOTE_<step>=<note>; ignored", f.get());
            continue;
          }
          const int idx = std::atoi(key.get() + 6);
          const int note = std::atoi(value.get());
          if (idx < 0 || idx >= SEQUENCER::kMaxSteps)
            problem("[%s]: step %d is outside 0 to %d; ignored", f.get(), idx,
                    SEQUENCER::kMaxSteps - 1);
          else if (!note_in_table(note))
            problem("[%s]: note %d is outside 0 to %d; ignored", f.get(), note,
                    NOTE2FREQ_SIZE - 1);
          else
            s->notes[idx] = note;
        }
      }
    } else {
      Field source, word;
      if (!link(f.get(), source, word)) continue;
      // Oscillators declared on LFO lines are oscillators too.
      const unsigned to = link_lookups(ModuleKind::Sequencer, source.get());
      if (to & bit(ModuleKind::Oscillator)) {
        if (VCO* o = found(g.get_VCO_by_name(source.get()), source.get(), "oscillator"))
          join(to_vco, vco_used, o, nullptr, source, word), log.linked(s, o, word.get());
      } else if (to & bit(ModuleKind::Amplifier)) {
        if (VCA* a = found(g.get_VCA_by_name(source.get()), source.get(), "amplifier"))
          join(to_vca, vca_used, a, nullptr, source, word), log.linked(s, a, word.get());
      } else if (to & bit(ModuleKind::Sampler)) {
        if (SAMPLER* p = found(g.get_SAMPLER_by_name(source.get()), source.get(), "sampler"))
          join(to_sampler, sampler_used, p, nullptr, source, word), log.linked(s, p, word.get());
      }
    }
  }
  if (vco_used) store(g.liens_vco_sequencer, &g.nbr_liens_vco_sequencer, to_vco);
  if (vca_used) store(g.liens_vca_sequencer, &g.nbr_liens_vca_sequencer, to_vca);
  if (sampler_used) store(g.liens_sampler_sequencer, &g.nbr_liens_sampler_sequencer, to_sampler);
}

void PatchReader::keyboard(const char* name) {
  add(new KEYBOARD(), g.liste_keyboard, g.nbr_keyboard, name, "KEYBOARD");
}

void PatchReader::sampler(TSTR_PARSER& line, int n, const char* name) {
  if (g.nbr_sampler >= kMaxSamplers) {
    problem("a patch holds at most %d samplers; sampler [%s] ignored", kMaxSamplers, name);
    return;
  }
  SAMPLER* fresh = new SAMPLER();
  // A new sampler's length, before any file is read.
  log.trace("[%d ]\n", fresh->length);
  SAMPLER* s = add(fresh, g.liste_sampler, g.nbr_sampler, name, "SAMPLER");

  for (int k = 1; k < n; k++) {
    Field f;
    if (!field(line, k, f)) return;
    if (f.get()[0] == '*') {
      log.trace("paramSET : [%s]\n", f.get());
      Field key, value;
      if (!param(f.get(), key, value)) continue;
      if (!params(ModuleKind::Sampler, f.get()).empty()) {
        std::string error;
        s->load_SAMPLE(value.p, &error);
        if (!error.empty())
          log.problem_text(path, ligne_texte, error, column, PatchProblem::kSampleFile);
      }
    } else {
      Field source, word;
      if (!link(f.get(), source, word)) continue;
      const unsigned to = link_lookups(ModuleKind::Sampler, source.get());
      if (to & bit(ModuleKind::Oscillator)) {
        VCO* o = found(g.get_VCO_by_name(source.get()), source.get(), "oscillator");
        if (!o) continue;
        // One record per oscillator field.
        LINK_VCO_SAMPLER rec;
        rec.pere_in = s;
        bool used;
        join_word(rec, used, o, "liens_vco_vco.fils_out.insert()", source, word);
        store(g.liens_vco_sampler, nullptr, rec);
      } else if (to & bit(ModuleKind::Keyboard)) {
        keyboard_link(g.liens_key_sampler, nullptr, s, source, word, nullptr);
      }
    }
  }
}

void PatchReader::oscillator(TSTR_PARSER& line, int n, const char* name) {
  VCO* o = add(new VCO(1.0f, 440.0f, SINE), g.liste_vco, g.nbr_vco, name, "VCO");

  int note_offset = -1;  // none
  LINK_VCO_VCO from_vco;
  LINK_SAMPLER_VCO from_sampler;
  from_vco.pere_in = o;
  from_sampler.pere_in = o;
  bool vco_used = false, sampler_used = false;
  // Only lines named VCO feed the keyboard-driven oscillators' offsets.
  const bool takes_offset = has(name, "VCO");

  for (int k = 1; k < n; k++) {
    Field f;
    if (!field(line, k, f)) {
      release_words(from_vco.param_out);
      release_words(from_sampler.param_out);
      return;
    }
    if (f.get()[0] == '*') {
      log.trace("paramSET : [%s]\n", f.get());
      Field key, value;
      if (param(f.get(), key, value)) {
        // Keyword tests are not exclusive: *AMOUNT_FREQ=2 sets both.
        for (const ParamDef& d : params(ModuleKind::Oscillator, f.get())) {
          if (d.param == Param::Type) {
            const char c = value.get()[0];
            o->type = (c >= '1' && c <= '5') ? static_cast<type_generateur>(c - '0') : SINE;
          }
          if (d.param == Param::Freq) {
            o->freq = o->base_freq = static_cast<float>(std::atof(value.get()));
            o->freq_set();
          }
          if (d.param == Param::Amount)
            o->amount = o->base_amount = static_cast<float>(std::atof(value.get()));
          if (d.param == Param::Note) note_offset = std::atoi(value.get());
        }
      }
      // Runs after every parameter field: *NOTE followed by k more parameter
      // fields adds k + 1 equal entries.
      if (takes_offset && note_offset != -1) {
        push_front(g.notes_vco, note_offset);
        g.nbr_notes_vco++;
      }
    } else {
      Field source, word;
      if (!link(f.get(), source, word)) continue;
      const unsigned to = link_lookups(ModuleKind::Oscillator, source.get());
      const bool key = to & bit(ModuleKind::Keyboard);
      const bool smp = to & bit(ModuleKind::Sampler);
      if (!key && !smp) {
        if (VCO* src = found(g.get_VCO_by_name(source.get()), source.get(), "oscillator"))
          join_word(from_vco, vco_used, src, "liens_vco_vco.fils_out.insert()", source, word);
      } else if (key) {
        keyboard_link(g.liens_key_vco, &g.nbr_liens_key_vco, o, source, word,
                      "liens_key_vca.fils_out.insert()");
      }
      if (smp) {
        if (SAMPLER* p = found(g.get_SAMPLER_by_name(source.get()), source.get(), "sampler"))
          join_word(from_sampler, sampler_used, p, "LINK_SAMPLER_VCO.fils_out.insert()", source,
                    word);
      }
    }
  }
  if (vco_used) store(g.liens_vco_vco, &g.nbr_liens_vco_vco, from_vco);
  if (sampler_used) store(g.liens_sampler_vco, &g.nbr_liens_sampler_vco, from_sampler);
}

void PatchReader::amplifier(TSTR_PARSER& line, int n, const char* name) {
  VCA* a = add(new VCA(), g.liste_vca, g.nbr_vca, name, "VCA");

  for (int k = 1; k < n; k++) {
    Field f;
    if (!field(line, k, f)) return;
    if (f.get()[0] == '*') {
      log.trace("paramSET : [%s]\n", f.get());
      Field key, value;
      if (!param(f.get(), key, value)) continue;
      // Whole numbers: *ATTACK=2.9 gives 2.
      for (const ParamDef& d : params(ModuleKind::Amplifier, f.get())) {
        const int v = std::atoi(value.get());
        if (d.param == Param::Attack) a->attack_time = static_cast<float>(v);
        if (d.param == Param::Bypass) a->bypass = v;
        if (d.param == Param::Decay) a->decay_time = static_cast<float>(v);
        if (d.param == Param::Sustain) a->sustain_level = static_cast<float>(v);
        if (d.param == Param::Release) a->release_time = static_cast<float>(v);
      }
    } else {
      Field source, word;
      if (!link(f.get(), source, word)) continue;
      const unsigned to = link_lookups(ModuleKind::Amplifier, source.get());
      if (to & bit(ModuleKind::Mixer)) {
        MIXER* m = found(g.get_MIXER_by_name(source.get()), source.get(), "mixer");
        if (!m) continue;
        LINK_MIXER_VCA rec;
        rec.source = m;
        rec.pere_in = a;
        trace_link("liens_mixer_vca.fils_out.insert()", source.get(), word.get());
        log.linked(m, a, word.get());
        rec.param_out.push_back(word.keep());
        store(g.liens_mixer_vca, &g.nbr_liens_mixer_vca, rec);
      } else if (to & bit(ModuleKind::Keyboard)) {
        keyboard_link(g.liens_key_vca, &g.nbr_liens_key_vca, a, source, word,
                      "liens_key_vca.fils_out.insert()");
      }
    }
  }
}

void PatchReader::mixer(TSTR_PARSER& line, int n, const char* name) {
  MIXER* m = add(new MIXER(), g.liste_mixer, g.nbr_mixer, name, "MIXER");

  // Two passes over the same fields: oscillators first, then samplers. A leading
  // asterisk means nothing here; every field is a link field, traced in both passes.
  for (int pass = 0; pass < 2; pass++) {
    LINK_VCO_MIXER from_vco;
    LINK_SAMPLER_MIXER from_sampler;
    from_vco.pere_in = m;
    from_sampler.pere_in = m;
    bool used = false;
    for (int k = 1; k < n; k++) {
      Field f;
      if (!field(line, k, f)) {
        release_words(from_vco.param_out);
        release_words(from_sampler.param_out);
        return;
      }
      Field source, word;
      TSTR_PARSER p(f.get(), ':');
      source.p = p.get_champ(0);
      word.p = p.get_champ(1);
      if (!source || !word) {
        if (pass == 0) problem("link field [%s] is not \"module:word\"; ignored", f.get());
        continue;
      }
      // The word stays alive in the record once kept; keep a plain pointer to trace it.
      const char* wtxt = word.get();
      const bool wanted = link_lookups(ModuleKind::Mixer, source.get()) &
                          bit(pass == 0 ? ModuleKind::Oscillator : ModuleKind::Sampler);
      if (wanted) {
        OUTPUT* src = pass == 0 ? static_cast<OUTPUT*>(g.get_VCO_by_name(source.get()))
                                : static_cast<OUTPUT*>(g.get_SAMPLER_by_name(source.get()));
        if (!src) {
          kind = PatchProblem::kMissingSource;
          problem("link source [%s] names no %s declared above; ignored", source.get(),
                  pass == 0 ? "oscillator" : "sampler");
        } else if (m->nbr_inputs >= MIXER::kMaxInputs) {
          problem("[%s]: a mixer takes at most %d inputs; ignored", f.get(), MIXER::kMaxInputs);
        } else {
          if (mixer_input_of(wtxt) == 0)
            problem("[%s]: the word's third character names no input from 1 to %d; this "
                    "source feeds nothing",
                    f.get(), MIXER::kMaxInputs);
          m->nbr_inputs++;
          log.linked(src, m, wtxt);
          if (pass == 0) {
            push_front(from_vco.fils_out, static_cast<VCO*>(src));
            push_front(from_vco.param_out, word.keep());
          } else {
            push_front(from_sampler.fils_out, static_cast<SAMPLER*>(src));
            push_front(from_sampler.param_out, word.keep());
          }
          used = true;
        }
      }
      log.trace("paramLNK : [%s][%s]\n", source.get(), wtxt);
    }
    if (used && pass == 0) store(g.liens_vco_mixer, &g.nbr_liens_vco_mixer, from_vco);
    if (used && pass == 1) store(g.liens_sampler_mixer, &g.nbr_liens_sampler_mixer, from_sampler);
  }
}

namespace {

// One pass over an open patch: the trace, the lists, the problems.
void read_patch(GENERATOR& g, PatchLog& log, FILE* f, const char* path) {
  PatchReader r{g, log, path};
  char token[kTokenMax + 1];
  bool overlong = false;
  TextPos pos;
  while (!r.stop &&
         read_token(f, token, &overlong, &pos, &r.ligne_texte, &r.token_column)) {
    r.numero_ligne++;
    r.token = token;
    r.column = r.token_column;
    if (token[0] == '#') continue;
    if (overlong) {
      r.problem("line longer than %d characters; ignored", kTokenMax);
      continue;
    }
    TSTR_PARSER line(token, ';');
    const int n = line.get_nbr_champs();
    if (n < 1) {
      log.problem_text(path, r.ligne_texte,
                       "Ligne " + std::to_string(r.numero_ligne) +
                           " semble avoir moins de 2 parametres",
                       r.column, PatchProblem::kNoFields);
      continue;
    }
    Field name(line.get_champ(0));
    if (!name) {
      r.problem("line begins with \";\": a module needs a name; ignored");
      continue;
    }
    log.trace("OBJET [%s]\n", name.get());
    const char* nm = name.get();
    const unsigned kinds = kinds_of_name(nm);
    if (kinds & bit(ModuleKind::Sequencer)) r.sequencer(line, n, nm);
    if (!r.stop && (kinds & bit(ModuleKind::Keyboard))) r.keyboard(nm);
    if (!r.stop && (kinds & bit(ModuleKind::Sampler))) r.sampler(line, n, nm);
    if (r.stop) break;
    r.column = r.token_column;
    if (kinds & bit(ModuleKind::Oscillator))
      r.oscillator(line, n, nm);
    else if (kinds & bit(ModuleKind::Amplifier))
      r.amplifier(line, n, nm);
    else if (kinds & bit(ModuleKind::Mixer))
      r.mixer(line, n, nm);
  }
  if (r.numero_ligne == 0) r.problem("the patch holds no line; nothing to play");
  log.lines = r.ligne_texte;
}

void caption(const GENERATOR& g, const char* title) {
  if (g.options && g.options->caption) g.options->caption(title);
}

// Reads through the graph's own log, or straight to standard output without one.
template <class F>
int with_log(GENERATOR& g, F read) {
  if (g.log) return read(*g.log);
  PatchLog out;
  return read(out);
}

}  // namespace

int GENERATOR::load_TSY(const char* path) {
  return with_log(*this, [&](PatchLog& log) {
    caption(*this, path);
    FILE* f = std::fopen(path, "rt");
    if (!f) {
      log.problem_text(path, 0,
                       std::string("Error: cannot open patch file [") + path +
                           "]: " + std::strerror(errno));
      load_opened = false;
      log.set_opened(false);
      return 0;
    }
    load_opened = true;
    log.set_opened(true);
    read_patch(*this, log, f, path);
    std::fclose(f);
    return 1;
  });
}

int GENERATOR::load_TSY_text(const char* name, const std::string& text) {
  return with_log(*this, [&](PatchLog& log) {
    caption(*this, name);
    // An empty buffer is an empty patch; fmemopen needs at least one byte.
    FILE* f = text.empty() ? std::fopen("/dev/null", "r")
                           : fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    load_opened = f != nullptr;
    log.set_opened(load_opened);
    if (!f) {
      log.problem_text(name, 0, std::string("Error: cannot open patch text [") + name + "]");
      return 0;
    }
    read_patch(*this, log, f, name);
    std::fclose(f);
    return 1;
  });
}

// ---------------------------------------------------------------- loading

GENERATOR::GENERATOR(const char* path) {
  PatchLog out;
  out.exit_on_empty_field = true;
  log = &out;
  load_TSY(path ? path : "SYNTH_2.TSY");
  prepare();
  affiche_tree();
  log = nullptr;
}

GENERATOR::GENERATOR(const char* path, PatchLog& l) {
  log = &l;
  load_TSY(path ? path : "SYNTH_2.TSY");
  prepare();
  affiche_tree();
  log = nullptr;
}

std::unique_ptr<GENERATOR> load_patch_file(const char* path, PatchLog& log,
                                           const LoadOptions& options) {
  auto g = std::make_unique<GENERATOR>(GENERATOR::Empty{});
  g->log = &log;
  g->options = &options;
  g->load_TSY(path ? path : "SYNTH_2.TSY");
  g->prepare();
  g->affiche_tree();
  g->log = nullptr;
  g->options = nullptr;
  return g;
}

std::unique_ptr<GENERATOR> load_patch_text(const char* name, const std::string& text,
                                           PatchLog& log, const LoadOptions& options) {
  auto g = std::make_unique<GENERATOR>(GENERATOR::Empty{});
  g->log = &log;
  g->options = &options;
  g->load_TSY_text(name, text);
  g->prepare();
  g->affiche_tree();
  g->log = nullptr;
  g->options = nullptr;
  return g;
}
