// The graph report printed once after loading: modules by kind, then links as trees.
#include <cstdio>
#include <string>

#include "engine/generator.h"
#include "patch/patch_log.h"

namespace {

// The log the report goes to while affiche_tree runs (main thread only).
PatchLog* out = nullptr;

std::string repeat(char c, int n) { return std::string(static_cast<size_t>(n), c); }

void star_line() { out->trace("\r\n%s", repeat('*', 79).c_str()); }

void banner(const char* title, int right) {
  star_line();
  out->trace("\r\n%s%s%s", repeat('*', 17).c_str(), title, repeat('*', right).c_str());
  star_line();
  out->trace("\r\n");
}

void heading(const char* title, bool newline_opening, int hyphens) {
  out->trace("%s%s\r\n%s\r\n", newline_opening ? "\r\n" : "\r", title,
              repeat('-', hyphens).c_str());
}

// First branch of a record continues the record's line; later ones stand alone.
void branch(size_t k, const char* word, const char* name) {
  out->trace("%s---%14s <-- [%s]\n", k == 0 ? "\t |" : "\t\t |", word, name);
}
void mixer_branch(size_t k, const char* word, const char* name) {
  out->trace("%s ---%14s <-- VCO [%s]\n", k == 0 ? "\t |" : "\t\t |", word, name);
}

template <class M>
void modules(const char* format, const std::vector<M*>& list, int count) {
  for (int i = 0, n = list_count(count, list); i < n; i++)
    out->trace(format, i, static_cast<void*>(list[i]), list[i]->name);
}

}  // namespace

void GENERATOR::affiche_tree() {
  PatchLog print;
  out = log ? log : &print;
  banner("[ OBJECTS ]", 51);
  heading("VCO", true, 80);
  modules("\tVCO [%2d][%p][%s]\n", liste_vco, nbr_vco);
  heading("VCA", true, 80);
  modules("\tVCA [%2d][%p][%s]\n", liste_vca, nbr_vca);
  heading("KEYBOARD", true, 80);
  modules("\tKEYBOARD [%2d][%p][%s]\n", liste_keyboard, nbr_keyboard);
  heading("MIXER", true, 80);
  modules("\tMIXER [%2d][%p][%s]\n", liste_mixer, nbr_mixer);
  heading("SAMPLER", false, 80);
  modules("SAMPLER [%2d][%p][%s]\n", liste_sampler, nbr_sampler);

  banner("[ LINKS ]", 53);
  heading("LINK_VCO_VCO", true, 72);
  for (int i = 0; i < list_count(nbr_liens_vco_vco, liens_vco_vco); i++) {
    const auto& r = liens_vco_vco[i];
    out->trace("\t[%s]", r.pere_in->name);
    for (size_t k = 0; k < r.fils_out.size(); k++) branch(k, r.param_out[k], r.fils_out[k]->name);
  }
  heading("LINK_KEYBOARD_VCA", true, 72);
  for (int i = 0; i < list_count(nbr_liens_key_vca, liens_key_vca); i++)
    out->trace("\t [%s] <- [%s] \n", liens_key_vca[i].pere_in->name, liens_key_vca[i].source->name);
  heading("LINK_KEYBOARD_VCO", true, 72);
  for (int i = 0; i < list_count(nbr_liens_key_vco, liens_key_vco); i++)
    out->trace("\t [%s] <- [%s] \n", liens_key_vco[i].pere_in->name, liens_key_vco[i].source->name);
  heading("LINK_VCO_MIXER", true, 61);
  for (int i = 0; i < list_count(nbr_liens_vco_mixer, liens_vco_mixer); i++) {
    const auto& r = liens_vco_mixer[i];
    out->trace("\t [%s]", r.pere_in->name);
    for (size_t k = 0; k < r.fils_out.size(); k++) branch(k, r.param_out[k], r.fils_out[k]->name);
  }
  heading("LINK_SAMPLER_MIXER", false, 61);
  for (int i = 0; i < list_count(nbr_liens_sampler_mixer, liens_sampler_mixer); i++) {
    const auto& r = liens_sampler_mixer[i];
    out->trace("\t [%s]", r.pere_in->name);
    for (size_t k = 0; k < r.fils_out.size(); k++) branch(k, r.param_out[k], r.fils_out[k]->name);
  }
  heading("LINK_MIXER_VCA", false, 61);
  for (int i = 0; i < list_count(nbr_liens_mixer_vca, liens_mixer_vca); i++) {
    const auto& r = liens_mixer_vca[i];
    out->trace("\t [%s]", r.pere_in->name);
    for (size_t k = 0; k < r.param_out.size(); k++) mixer_branch(k, r.param_out[k], r.source->name);
  }
  out = nullptr;
}
