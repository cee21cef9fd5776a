#include "patch/check.h"

#include <cstring>

#include "engine/generator.h"
#include "engine/note_table.h"
#include "patch/patch_log.h"

namespace {

template <class Links, class M>
bool driven_by_sequencer(const Links& links, const M* m) {
  for (const auto& l : links)
    for (const M* x : l.fils_out)
      if (x == m) return true;
  return false;
}

std::string count_of(long n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

// What the evaluation would have to skip, found from the loaded lists.
std::vector<Finding> graph_findings(GENERATOR& g, const PatchLog& log) {
  std::vector<Finding> out;
  auto add = [&](const void* module, const std::string& s) {
    Finding f;
    f.line = module ? log.line_of(module) : log.lines;
    f.column = 1;
    f.message = s;
    f.module = module;
    out.push_back(f);
  };
  const int nvco = list_count(g.nbr_vco, g.liste_vco);
  // Oscillators named V..., in list order (newest first): the k-th takes offset k.
  std::vector<VCO*> voiced;
  for (int i = 0; i < nvco; i++)
    if (g.liste_vco[i]->name[0] == 'V') voiced.push_back(g.liste_vco[i]);
  // Reported in file order.
  for (auto it = voiced.rbegin(); it != voiced.rend(); ++it) {
    VCO* o = *it;
    // A sequencer sets the frequency of the oscillators it drives every sample,
    // so those need no keyboard.
    if (!g.get_KEYBOARD_by_VCO(o) && !driven_by_sequencer(g.liens_vco_sequencer, o))
      add(o, "oscillator [" + std::string(o->name) +
                 "] begins with V but has no keyboard link; its frequency is never set from a key");
  }
  const size_t offsets = g.notes_vco.size();
  if (offsets < voiced.size())
    add(voiced[offsets],
        count_of(static_cast<long>(voiced.size()), "oscillator begins", "oscillators begin") +
            " with V but only " + count_of(static_cast<long>(offsets), "*NOTE offset was", "*NOTE offsets were") +
            " given; the oscillators past them keep their frequency");
  for (size_t i = 0; i < voiced.size() && i < offsets; i++) {
    // The key table plays notes 53 to 66; the offset must keep them in the note table.
    const int n = g.notes_vco[i];
    if (!note_in_table(53LL + n) || !note_in_table(66LL + n))
      add(voiced[i], "*NOTE offset " + std::to_string(n) +
                         " puts the key notes outside the note table; those notes are not played");
  }
  for (int i = list_count(g.nbr_sampler, g.liste_sampler) - 1; i >= 0; i--) {
    SAMPLER* s = g.liste_sampler[i];
    // A sampler a sequencer triggers (a drum) is meant to play at its base speed.
    if (s->name[0] == 'S' && !g.get_KEYBOARD_by_SAMPLER(s) &&
        !driven_by_sequencer(g.liens_sampler_sequencer, s))
      add(s, "sampler [" + std::string(s->name) +
                 "] begins with S but has no keyboard link; it plays at its base speed");
  }
  // Input words the loader accepted (1 to 24) but that name an input the mixer does
  // not sum: the value is stored and never heard.
  auto check_words = [&](MIXER* m, const std::vector<char*>& words) {
    for (const char* w : words) {
      const int d = mixer_input_of(w);
      if (d > m->nbr_inputs)
        add(m, "mixer [" + std::string(m->name) + "]: word [" + w + "] feeds input " +
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
    add(nullptr, "the keys play three voices but the patch declares " +
                     count_of(static_cast<long>(g.liste_keyboard.size()), "keyboard", "keyboards") +
                     " and " +
                     count_of(static_cast<long>(g.liste_vca.size()), "amplifier", "amplifiers") +
                     "; keys of the missing voices do nothing");
  return out;
}

