#include "patch/check.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

#include "engine/generator.h"
#include "engine/note_table.h"
#include "patch/params.h"
#include "patch/patch_log.h"
#include "patch/sample_check.h"

namespace {

constexpr int kTokenMax = 799;  // as the loader: longer tokens are refused whole

struct Token {
  int line, column;
  std::string text;
  bool overlong;
};

// The tokens the loader reads, each at the line and column an editor shows.
std::vector<Token> tokens_of(const std::string& text) {
  std::vector<Token> out;
  int line = 1, column = 0;
  size_t i = 0;
  while (i < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (std::isspace(c)) {
      ++column;
      if (c == '\n') ++line, column = 0;
      ++i;
      continue;
    }
    const size_t start = i;
    while (i < text.size() && !std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    out.push_back({line, column + 1, text.substr(start, i - start), i - start > kTokenMax});
    column += static_cast<int>(i - start);
  }
  return out;
}

int edit_distance(const std::string& a, const std::string& b) {
  std::vector<int> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); j++) row[j] = static_cast<int>(j);
  for (size_t i = 1; i <= a.size(); i++) {
    int diag = row[0];
    row[0] = static_cast<int>(i);
    for (size_t j = 1; j <= b.size(); j++) {
      const int up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diag = up;
    }
  }
  return row[b.size()];
}

// The candidate nearest to `word`, when it is near enough to be a typing slip:
// at most a third of the word's letters off (and at least one).
std::string nearest(const std::string& word, const std::vector<std::string>& candidates) {
  std::string best;
  int best_d = std::max<int>(1, static_cast<int>(word.size()) / 3) + 1;
  for (const std::string& c : candidates) {
    const int d = edit_distance(word, c);
    if (d < best_d) best_d = d, best = c;
  }
  return best;
}

std::string join(const std::vector<std::string>& words, const char* last) {
  std::string s;
  for (size_t i = 0; i < words.size(); i++)
    s += (i == 0 ? "" : i + 1 == words.size() ? last : ", ") + words[i];
  return s;
}

std::string number(double v) {
  char b[32];
  std::snprintf(b, sizeof b, "%g", v);
  return b;
}

const char* article(ModuleKind k) {
  return k == ModuleKind::Oscillator || k == ModuleKind::Amplifier ? "an" : "a";
}

std::string keys_of(ModuleKind k) {
  std::vector<std::string> keys;
  for (size_t i = 0; i < kParamCount; i++)
    if (kParams[i].kind == k)
      keys.push_back(std::string("*") + kParams[i].key +
                     (kParams[i].param == Param::StepNote ? "_<step>" : ""));
  return join(keys, " and ");
}

// What the loader does to one patch text, said the way it matters to its writer.
class TextCheck {
 public:
  TextCheck(const std::vector<Token>& tokens, std::vector<Finding>& out) : out_(out) {
    // Every module line of the file, to tell a link to a later line from a typo.
    for (const Token& t : tokens) {
      const size_t semi = t.text.find(';');
      if (t.text[0] == '#' || t.overlong || semi == std::string::npos || semi == 0) continue;
      const std::string name = t.text.substr(0, semi);
      for (int k = 0; k < kModuleKinds; k++)
        if (kinds_of_name(name.c_str()) & (1u << k)) all_.push_back({k, name, t.line});
    }
  }

  void token(const Token& t, const Token* before);

  // The first *NOTE offset each oscillator line adds, by the line's place.
  std::map<std::pair<int, int>, int> offsets;

 private:
  struct Declared {
    int kind;
    std::string name;
    int line;
  };
  void add(Severity s, int line, int column, const std::string& m) {
    out_.push_back({line, column, s, m, nullptr, token_column_});
  }
  void parameter(unsigned kinds, const std::string& f, int line, int column);
  void link(ModuleKind kind, const std::string& name, const std::string& f, int line, int column);
  bool declared(ModuleKind k, const std::string& name) const {
    for (const Declared& d : above_)
      if (d.kind == static_cast<int>(k) && d.name == name) return true;
    return false;
  }

  std::vector<Finding>& out_;
  std::vector<Declared> all_, above_;
  int keyboards_ = 0;
  int comment_line_ = 0;  // the line of the last comment token
  int comment_said_ = 0;  // the last line whose comment words were warned of
  int token_column_ = 0;  // of the token in hand
};

void TextCheck::token(const Token& t, const Token* before) {
  const std::string& s = t.text;
  token_column_ = t.column;
  if (s[0] == '#') {
    comment_line_ = t.line;
    return;
  }
  if (t.overlong) return;
  // The token before ends its line's text without ";" and this one goes on after a
  // blank: one line meant, two read.
  const bool split = before && before->line == t.line && before->text[0] != '#' &&
                     !before->overlong && before->text.back() != ';' &&
                     before->text.find(';') != std::string::npos;
  const size_t semi = s.find(';');
  if (split) {
    add(Severity::Warning, t.line, t.column,
        "[" + s + "] follows a blank inside [" + before->text +
            "]: a blank ends a patch line, so this is read as a line of its own" +
            (semi == std::string::npos ? "; the synth skips it" : ""));
  } else if (comment_line_ == t.line) {
    // One warning for all the words of a comment's line.
    if (comment_said_ != t.line)
      add(Severity::Warning, t.line, t.column,
          "[" + s +
              "] follows a comment on its line: a comment ends at its first blank, so "
              "each word after it is read as a patch line, and one without \";\" is skipped "
              "(join a comment's words with _)");
    comment_said_ = t.line;
  } else if (semi == std::string::npos) {
    add(Severity::Warning, t.line, t.column,
        "[" + s +
            "] has no \";\": a patch line is NAME;FIELD;...; with every field closed by "
            "\";\"; the synth skips it");
  }
  if (semi == std::string::npos || semi == 0) return;

  std::string name = s.substr(0, semi);
  const unsigned kinds = kinds_of_name(name.c_str());
  if (kinds == 0) {
    if (split) return;
    std::string upper = name, guess;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (kinds_of_name(upper.c_str())) guess = upper;
    // One letter off a kind's word: VC0_BASS.
    for (const char* w : kKindWords) {
      const size_t n = std::strlen(w);
      for (size_t i = 0; guess.empty() && i + n <= upper.size(); i++)
        if (edit_distance(upper.substr(i, n), w) == 1)
          guess = name.substr(0, i) + w + name.substr(i + n);
    }
    add(Severity::Warning, t.line, t.column,
        "[" + name +
            "] names no module kind (SEQUENCER, KEY, SAMPLER, VCO, LFO, VCA or MIXER, "
            "in capitals)" +
            (guess.empty() ? "" : "; did you mean [" + guess + "]?") +
            " the synth creates nothing for this line and reads none of its fields");
    return;
  }
  for (int k = 0; k < kModuleKinds; k++)
    if (kinds & (1u << k)) {
      // The name as the module stores it.
      const size_t room = k == static_cast<int>(ModuleKind::Oscillator) ||
                                  k == static_cast<int>(ModuleKind::Amplifier)
                              ? 79
                              : 799;
      above_.push_back({k, name.substr(0, room), t.line});
    }
  if (kinds & bit(ModuleKind::Keyboard)) keyboards_++;
  // A keyboard reads none of its fields.
  const unsigned reading = kinds & ~bit(ModuleKind::Keyboard);
  if (!reading) {
    if (semi + 1 < s.size())
      add(Severity::Warning, t.line, t.column + static_cast<int>(semi) + 1,
          "a keyboard reads none of its fields: [" + s.substr(semi + 1) + "] changes nothing");
    return;
  }
  const size_t last = s.rfind(';');
  if (last + 1 < s.size())
    add(Severity::Error, t.line, t.column + static_cast<int>(last) + 1,
        "field [" + s.substr(last + 1) +
            "] has no closing \";\": the synth never reads what follows a line's last \";\"");

  const bool offsets =
      (kinds & bit(ModuleKind::Oscillator)) && name.find("VCO") != std::string::npos;
  bool offset_seen = false;
  for (size_t a = semi + 1; a <= last;) {
    const size_t b = s.find(';', a);
    const std::string f = s.substr(a, b - a);
    const int column = t.column + static_cast<int>(a);
    a = b + 1;
    if (f.empty()) return;  // the loader stops here: what follows is never read
    if (f[0] == '*' && !(reading & bit(ModuleKind::Mixer))) {
      parameter(reading, f, t.line, column);
      const size_t eq = f.find('=');
      if (offsets && !offset_seen && f.find("NOTE") != std::string::npos &&
          eq != std::string::npos && eq + 1 < f.size()) {
        const int v = std::atoi(f.c_str() + eq + 1);
        if (v != -1) offset_seen = true, this->offsets[{t.line, t.column}] = v;
      }
      continue;
    }
    for (int k = 0; k < kModuleKinds; k++)
      if (reading & (1u << k)) link(static_cast<ModuleKind>(k), name, f, t.line, column);
  }
}

void TextCheck::parameter(unsigned kinds, const std::string& f, int line, int column) {
  const size_t eq = f.find('=');
  if (eq == std::string::npos || eq + 1 >= f.size()) return;  // the loader says so
  // As the splitter gives them: the value ends at a second '='.
  const std::string key = f.substr(0, eq), value = f.substr(eq + 1, f.find('=', eq + 1) - eq - 1);
  ModuleKind kind = ModuleKind::Keyboard;
  for (int k = 0; k < kModuleKinds; k++)
    if (kinds & (1u << k)) kind = static_cast<ModuleKind>(k);
  std::vector<const ParamDef*> found;
  for (size_t i = 0; i < kParamCount; i++)
    if ((kinds & bit(kParams[i].kind)) && f.find(kParams[i].key) != std::string::npos)
      found.push_back(&kParams[i]);
  if (found.empty()) {
    for (size_t i = 0; i < kParamCount; i++)
      if (key == std::string("*") + kParams[i].key) {
        add(Severity::Warning, line, column,
            "[" + key + "] is " + article(kParams[i].kind) + " " + kind_noun(kParams[i].kind) +
                " key, not " + article(kind) + " " + kind_noun(kind) + " key (" + keys_of(kind) +
                "): the field changes nothing");
        return;
      }
    std::vector<std::string> keys;
    std::vector<const ParamDef*> defs;
    for (size_t i = 0; i < kParamCount; i++)
      if (kinds & bit(kParams[i].kind)) keys.push_back(kParams[i].key), defs.push_back(&kParams[i]);
    const std::string guess = nearest(key.substr(1), keys);
    if (guess.empty()) {
      add(Severity::Warning, line, column,
          "unknown key [" + key + "] for " + article(kind) + " " + kind_noun(kind) + " (" +
              keys_of(kind) + "): the field changes nothing");
      return;
    }
    const ParamDef* d = defs[std::find(keys.begin(), keys.end(), guess) - keys.begin()];
    add(Severity::Warning, line, column,
        "unknown key [" + key + "] for " + article(kind) + " " + kind_noun(kind) +
            "; did you mean *" + guess + "? the " + kind_noun(kind) + " " + d->unset);
    return;
  }
  // Keys are found anywhere in the field: a key that is none of them exactly sets
  // every one it holds.
  bool exact = false;
  std::vector<std::string> held;
  for (const ParamDef* d : found) {
    held.push_back(std::string("*") + d->key);
    if (key == held.back() || (d->param == Param::StepNote && key.compare(0, 5, "*NOTE") == 0))
      exact = true;
  }
  if (!exact) {
    add(Severity::Warning, line, column,
        "[" + key + "] is no key of its own but holds " + join(held, " and ") +
            ": the field sets " + (found.size() == 1 ? "it" : "each of them") + " to " + value);
  }
  for (const ParamDef* d : found) {
    const char* v = value.c_str();
    char* end = nullptr;
    double read = 0;
    std::string took;
    if (d->reading == Reading::Text) continue;
    if (d->reading == Reading::Waveform) {
      const char c = v[0];
      if (c < '1' || c > '5') {
        add(Severity::Warning, line, column,
            "[" + f + "]: no waveform " + value +
                " (1 sine, 2 saw, 3 half saw, 4 pulse, 5 noise): " + d->outside);
        continue;
      }
      if (value.size() > 1)
        add(Severity::Warning, line, column,
            "value [" + value + "] of *" + d->key +
                " does not read to its end: the oscillator takes its first character, " + c);
      continue;
    }
    errno = 0;
    if (d->reading == Reading::Whole) {
      read = static_cast<double>(std::strtol(v, &end, 10));
      took = std::to_string(std::atoi(v));
    } else {
      read = std::strtod(v, &end);
      took = number(static_cast<float>(std::atof(v)));
    }
    if (*end != '\0' || end == v) {
      add(Severity::Warning, line, column,
          "value [" + value + "] of *" + d->key + " does not read to its end as a " +
              (d->reading == Reading::Whole ? "whole number" : "number") + ": the " +
              kind_noun(d->kind) + " takes " + took);
      continue;
    }
    if (!d->loader_limits && (read < d->lo || read > d->hi || std::isnan(read)))
      add(Severity::Warning, line, column,
          "[" + f + "]: *" + d->key + " means something from " + number(d->lo) + " to " +
              number(d->hi) + ": " + d->outside);
  }
  for (const ParamDef* d : found)
    if (d->param == Param::File)
      for (const SampleFinding& s : check_sample(value))
        add(s.error ? Severity::Error : Severity::Warning, line, column, s.message);
}

void TextCheck::link(ModuleKind kind, const std::string& name, const std::string& f, int line,
                     int column) {
  const size_t colon = f.find(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 >= f.size())
    return;  // the loader says so
  const std::string source = f.substr(0, colon);
  std::string word = f.substr(colon + 1);
  word = word.substr(0, word.find(':'));
  const unsigned to = link_lookups(kind, source.c_str());
  if (to == 0) {
    static const char* const takes[kModuleKinds] = {
        "VCO, LFO, VCA or SAMPLER", "", "VCO, LFO or KEY", "", "MIXER or KEY",
        "VCO, LFO or SAMPLER"};
    add(Severity::Warning, line, column,
        "source [" + source + "] is none that " + article(kind) + " " + kind_noun(kind) +
            " line links (names holding " + takes[static_cast<int>(kind)] +
            "): the field is ignored");
    return;
  }
  for (int k = 0; k < kModuleKinds; k++) {
    if (!(to & (1u << k))) continue;
    const ModuleKind from = static_cast<ModuleKind>(k);
    if (declared(from, source)) continue;
    if (from == ModuleKind::Keyboard && keyboards_ == 1) {
      std::string only;
      for (const Declared& d : above_)
        if (d.kind == k) only = d.name;
      add(Severity::Warning, line, column,
          "no keyboard is named [" + source +
              "]; with one keyboard in the patch every keyboard "
              "link reaches it: this link goes to [" +
              only + "]");
      continue;
    }
    // The loader names the missing source; say what was probably meant.
    std::vector<std::string> names;
    for (const Declared& d : above_)
      if (d.kind == k) names.push_back(d.name);
    const std::string guess = nearest(source, names);
    if (!guess.empty()) {
      add(Severity::Note, line, column, "did you mean [" + guess + "]?");
      continue;
    }
    for (const Declared& d : all_)
      if (d.kind == k && d.name == source && d.line >= line) {
        add(Severity::Note, line, column,
            "[" + source + "] is declared below, on line " + std::to_string(d.line) +
                ": a link reaches only the modules declared above it");
        break;
      }
  }
  const bool modulation = (kind == ModuleKind::Oscillator || kind == ModuleKind::Sampler) &&
                          (to & (bit(ModuleKind::Oscillator) | bit(ModuleKind::Sampler)));
  if (modulation && GENERATOR::word_flags(word.c_str()) == 0) {
    const std::vector<std::string> words(std::begin(GENERATOR::kModWords),
                                         std::end(GENERATOR::kModWords));
    const std::string guess = nearest(word, words);
    add(Severity::Warning, line, column,
        "link word [" + word + "] holds none of MOD_AMP, MOD_FREQ, MOD_PHASE" +
            (guess.empty() ? ":" : "; did you mean " + guess + "?") + " [" + source +
            "] runs but changes nothing of [" + name + "]");
  }
  if (kind == ModuleKind::Mixer) {
    const int d = mixer_input_of(word.c_str());
    if (d > 0 && word.size() != 3)
      add(Severity::Warning, line, column,
          "only the third character of a mixer word counts: [" + word + "] feeds input " +
              std::to_string(d));
  }
}

template <class Links, class M>
bool driven_by_sequencer(const Links& links, const M* m) {
  for (const auto& l : links)
    for (const M* x : l.fils_out)
      if (x == m) return true;
  return false;
}

// Keyboards and sequencers drive modules; they have no sound of their own.
bool is_driver(const GENERATOR& g, const void* m) {
  return std::find(g.liste_keyboard.begin(), g.liste_keyboard.end(), m) != g.liste_keyboard.end() ||
         std::find(g.liste_sequencer.begin(), g.liste_sequencer.end(), m) !=
             g.liste_sequencer.end();
}

std::string count_of(long n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// The loader's own problem, worded for the check.
Finding from_loader(const PatchProblem& p) {
  Finding f{
      p.line > 0 ? p.line : 1, p.column > 0 ? p.column : 1, Severity::Error, p.message, nullptr, 0};
  if (p.kind == PatchProblem::kEmptyField)
    f.message =
        "empty field: the synth stops reading the patch here (the live synth exits at "
        "start-up)";
  if (p.kind == PatchProblem::kNoFields) {
    // Said by the text check, with what the word most likely is.
    f.severity = Severity::Note;
    f.message.clear();
  }
  return f;
}

// What the evaluation will do with the loaded graph that its writer may not expect.
// `own_offsets`: the *NOTE offset each oscillator line gave, by its place.
std::vector<Finding> graph_findings(GENERATOR& g, const PatchLog& log,
                                    const std::map<std::pair<int, int>, int>& own_offsets) {
  std::vector<Finding> out;
  auto add = [&](Severity s, const void* module, const std::string& m) {
    Finding f;
    f.line = module ? log.line_of(module) : std::max(log.lines, 1);
    f.column = module ? std::max(log.column_of(module), 1) : 1;
    f.severity = s;
    f.message = m;
    f.module = module;
    out.push_back(f);
  };
  const int nvco = list_count(g.nbr_vco, g.liste_vco);
  // Oscillators named V..., in list order (newest first): the k-th takes offset k.
  std::vector<VCO*> voiced;
  for (int i = 0; i < nvco; i++)
    if (g.liste_vco[i]->name[0] == 'V') voiced.push_back(g.liste_vco[i]);
  const size_t offsets = g.notes_vco.size();
  // Reported in file order.
  for (size_t i = voiced.size(); i-- > 0;) {
    VCO* o = voiced[i];
    const std::string name = o->name;
    // The key table plays notes 53 to 66; the offset must keep them in the note table.
    if (i < offsets &&
        (!note_in_table(53LL + g.notes_vco[i]) || !note_in_table(66LL + g.notes_vco[i])))
      add(Severity::Warning, o,
          "*NOTE offset " + std::to_string(g.notes_vco[i]) +
              " puts the key notes outside the note table; those notes are not played");
    // A sequencer sets the frequency of the oscillators it drives every sample,
    // so those need no keyboard.
    if (driven_by_sequencer(g.liens_vco_sequencer, o)) continue;
    if (!g.get_KEYBOARD_by_VCO(o)) {
      add(Severity::Note, o,
          "oscillator [" + name +
              "] begins with V but has no keyboard link; its frequency is "
              "never set from a key");
      continue;
    }
    const auto own = own_offsets.find({log.line_of(o), log.column_of(o)});
    if (i >= offsets) {
      add(Severity::Warning, o,
          "V oscillator [" + name + "] takes no *NOTE offset (" +
              (own == own_offsets.end() ? "its line gives none"
                                        : "the offsets pair with the V oscillators by position "
                                          "and run out before it") +
              "): its frequency is never set from its keyboard, so every key plays its base "
              "frequency of " +
              number(o->base_freq) + " Hz");
      continue;
    }
    const int got = g.notes_vco[i];
    if (own == own_offsets.end() || own->second != got)
      add(Severity::Warning, o,
          "V oscillator [" + name + "] takes the *NOTE offset " + std::to_string(got) +
              (own == own_offsets.end()
                   ? " that another line gave, its own line giving none"
                   : " that another line gave, not its own " + std::to_string(own->second)) +
              " (the offsets pair with the V oscillators by position; give each exactly one "
              "*NOTE, as its line's last parameter field): its keys sound " +
              std::to_string(got) + " semitones from their notes");
  }
  for (int i = list_count(g.nbr_sampler, g.liste_sampler) - 1; i >= 0; i--) {
    SAMPLER* s = g.liste_sampler[i];
    // A sampler a sequencer triggers (a drum) is meant to play at its base speed.
    if (s->name[0] == 'S' && !g.get_KEYBOARD_by_SAMPLER(s) &&
        !driven_by_sequencer(g.liens_sampler_sequencer, s))
      add(Severity::Note, s,
          "sampler [" + std::string(s->name) +
              "] begins with S but has no keyboard link; it plays at its base speed");
  }
  // Outputs that reach no amplifier, through mixers and modulations: never heard.
  std::set<const void*> heard(g.liste_vca.begin(), g.liste_vca.end());
  for (bool more = true; more;) {
    more = false;
    for (const PatchLog::Link& l : log.links())
      if (heard.count(l.to) && !heard.count(l.from) && !is_driver(g, l.from))
        more = heard.insert(l.from).second;
  }
  auto unheard = [&](const auto& list, int count, const char* kind) {
    for (int i = list_count(count, list) - 1; i >= 0; i--)
      if (!heard.count(list[i]))
        add(Severity::Warning, list[i],
            std::string(kind) + " [" + list[i]->name +
                "] reaches no amplifier, through any mixer or modulation: it is never heard");
  };
  unheard(g.liste_vco, g.nbr_vco, "oscillator");
  unheard(g.liste_sampler, g.nbr_sampler, "sampler");
  unheard(g.liste_mixer, g.nbr_mixer, "mixer");
  // The keys and MIDI channels play voices 0 to 2: the keyboard and the amplifier
  // at that place of their lists (the last declared is voice 0).
  const int nvca = list_count(g.nbr_vca, g.liste_vca);
  const int voices = std::min<int>(3, static_cast<int>(g.liste_keyboard.size()));
  for (int i = nvca - 1; i >= voices; i--) {
    VCA* a = g.liste_vca[i];
    if (a->bypass == 0 && !driven_by_sequencer(g.liens_vca_sequencer, a))
      add(Severity::Warning, a,
          "amplifier [" + std::string(a->name) +
              "] is no voice of the keys (each voice is a keyboard and the amplifier at the "
              "same place, counted from the last declared) and no sequencer gates it: its "
              "envelope never opens and it stays silent; *BYPASS=1 keeps it open");
  }
  for (int i = list_count(g.nbr_sequencer, g.liste_sequencer) - 1; i >= 0; i--) {
    SEQUENCER* s = g.liste_sequencer[i];
    bool rests = true;
    for (int k = 0; k < s->nbr_step && k < SEQUENCER::kMaxSteps; k++)
      rests = rests && s->notes[k] == 0;
    if (rests)
      add(Severity::Warning, s,
          "sequencer [" + std::string(s->name) + "]: every one of its " +
              std::to_string(s->nbr_step) + " steps is a rest: it never plays a note");
  }
  // Input words the loader accepted (1 to 24) but that name an input the mixer does
  // not sum: the value is stored and never heard.
  auto check_words = [&](MIXER* m, const std::vector<char*>& words) {
    for (const char* w : words) {
      const int d = mixer_input_of(w);
      if (d > m->nbr_inputs)
        add(Severity::Warning, m,
            "mixer [" + std::string(m->name) + "]: word [" + w + "] feeds input " +
                std::to_string(d) + " but the mixer sums only inputs 1 to " +
                std::to_string(m->nbr_inputs) + "; that source is not heard");
    }
  };
  for (int i = list_count(g.nbr_liens_vco_mixer, g.liens_vco_mixer) - 1; i >= 0; i--)
    check_words(g.liens_vco_mixer[i].pere_in, g.liens_vco_mixer[i].param_out);
  for (int i = static_cast<int>(g.liens_sampler_mixer.size()) - 1; i >= 0; i--)
    check_words(g.liens_sampler_mixer[i].pere_in, g.liens_sampler_mixer[i].param_out);
  // Named at the patch's last line, where the missing voices would be added.
  if (g.liste_keyboard.size() < 3 || g.liste_vca.size() < 3)
    add(Severity::Note, nullptr,
        "the keys play three voices but the patch declares " +
            count_of(static_cast<long>(g.liste_keyboard.size()), "keyboard", "keyboards") +
            " and " + count_of(static_cast<long>(g.liste_vca.size()), "amplifier", "amplifiers") +
            "; keys of the missing voices do nothing");
  return out;
}

}  // namespace

PatchCheck check_patch(const std::string& text, GENERATOR& g, const PatchLog& log) {
  PatchCheck c;
  const std::vector<Token> tokens = tokens_of(text);
  // Where the loader stopped (an empty field): nothing after it was read.
  std::pair<int, int> stop{1 << 30, 0};
  for (const PatchProblem& p : log.problems()) {
    if (p.kind == PatchProblem::kEmptyField) stop = {p.line, p.column};
    if (p.kind == PatchProblem::kSampleFile) continue;  // the text check says more
    Finding f = from_loader(p);
    if (!f.message.empty()) c.findings.push_back(f);
  }
  TextCheck check(tokens, c.findings);
  for (size_t i = 0; i < tokens.size(); i++) {
    if (std::make_pair(tokens[i].line, tokens[i].column) > stop) break;
    check.token(tokens[i], i ? &tokens[i - 1] : nullptr);
  }
  if (log.opened() && !log.stopped())
    for (Finding& f : graph_findings(g, log, check.offsets)) c.findings.push_back(f);
  std::stable_sort(c.findings.begin(), c.findings.end(), [](const Finding& a, const Finding& b) {
    return a.line != b.line ? a.line < b.line : a.column < b.column;
  });
  for (const Finding& f : c.findings) {
    if (f.severity == Severity::Error) c.errors++;
    if (f.severity == Severity::Warning) c.warnings++;
    if (f.severity == Severity::Note) c.notes++;
  }
  return c;
}

std::string error_warning_counts(const PatchCheck& c) {
  return count_of(c.errors, "error", "errors") + ", " + count_of(c.warnings, "warning", "warnings");
}

std::string format_check(const std::string& file, const PatchCheck& c) {
  static const char* const names[] = {"error", "warning", "note"};
  std::string s;
  for (const Finding& f : c.findings)
    s += file + ":" + std::to_string(f.line) + ":" + std::to_string(f.column) + ": " +
         names[static_cast<int>(f.severity)] + ": " + f.message + "\n";
  return s + file + ": " + error_warning_counts(c) + "\n";
}

bool read_patch_text(const std::string& path, std::string* text) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    return false;
  }
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  char buf[65536];
  text->clear();
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text->append(buf, n);
  const bool ok = !std::ferror(f);
  std::fclose(f);
  return ok;
}
