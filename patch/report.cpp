// The graph report printed once after loading: modules by kind, then links as trees.
#include <cstdio>
#include <string>

#include "engine/generator.h"

namespace {

std::string repeat(char c, int n) { return std::string(static_cast<size_t>(n), c); }

void star_line() { std::printf("\r\n%s", repeat('*', 79).c_str()); }

void banner(const char* title, int right) {
  star_line();
  std::printf("\r\n%s%s%s", repeat('*', 17).c_str(), title, repeat('*', right).c_str());
  star_line();
  std::printf("\r\n");
}

void heading(const char* title, bool newline_opening, int hyphens) {
  std::printf("%s%s\r\n%s\r\n", newline_opening ? "\r\n" : "\r", title,
              repeat('-', hyphens).c_str());
}

// First branch of a record continues the record's line; later ones stand alone.
void branch(size_t k, const char* word, const char* name) {
  std::printf("%s---%14s <-- [%s]\n", k == 0 ? "\t |" : "\t\t |", word, name);
}
void mixer_branch(size_t k, const char* word, const char* name) {
  std::printf("%s ---%14s <-- VCO [%s]\n", k == 0 ? "\t |" : "\t\t |", word, name);
}

template <class M>
void modules(const char* format, const std::vector<M*>& list, int count) {
  for (int i = 0; i < count && i < static_cast<int>(list.size()); i++)
    std::printf(format, i, static_cast<void*>(list[i]), list[i]->name);
}

int bound(int counter, size_t size) {
  return counter < static_cast<int>(size) ? counter : static_cast<int>(size);
}

}  // namespace

void GENERATOR::affiche_tree() {
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
  for (int i = 0; i < bound(nbr_liens_vco_vco, liens_vco_vco.size()); i++) {
    const auto& r = liens_vco_vco[i];
    std::printf("\t[%s]", r.pere_in->name);
    for (size_t k = 0; k < r.fils_out.size(); k++) branch(k, r.param_out[k], r.fils_out[k]->name);
  }
  heading("LINK_KEYBOARD_VCA", true, 72);
  for (int i = 0; i < bound(nbr_liens_key_vca, liens_key_vca.size()); i++)
    std::printf("\t [%s] <- [%s] \n", liens_key_vca[i].pere_in->name, liens_key_vca[i].source->name);
  heading("LINK_KEYBOARD_VCO", true, 72);
  for (int i = 0; i < bound(nbr_liens_key_vco, liens_key_vco.size()); i++)
    std::printf("\t [%s] <- [%s] \n", liens_key_vco[i].pere_in->name, liens_key_vco[i].source->name);
  heading("LINK_VCO_MIXER", true, 61);
  for (int i = 0; i < bound(nbr_liens_vco_mixer, liens_vco_mixer.size()); i++) {
    const auto& r = liens_vco_mixer[i];
    std::printf("\t [%s]", r.pere_in->name);
    for (size_t k = 0; k < r.fils_out.size(); k++) branch(k, r.param_out[k], r.fils_out[k]->name);
  }
  heading("LINK_SAMPLER_MIXER", false, 61);
  for (int i = 0; i < bound(nbr_liens_sampler_mixer, liens_sampler_mixer.size()); i++) {
    const auto& r = liens_sampler_mixer[i];
    std::printf("\t [%s]", r.pere_in->name);
    for (size_t k = 0; k < r.fils_out.size(); k++) branch(k, r.param_out[k], r.fils_out[k]->name);
  }
  heading("LINK_MIXER_VCA", false, 61);
  for (int i = 0; i < bound(nbr_liens_mixer_vca, liens_mixer_vca.size()); i++) {
    const auto& r = liens_mixer_vca[i];
    std::printf("\t [%s]", r.pere_in->name);
    for (size_t k = 0; k < r.param_out.size(); k++) mixer_branch(k, r.param_out[k], r.source->name);
  }
}
