#include "patch/tstr_parser.h"

#include <cstring>

TSTR_PARSER::TSTR_PARSER(const char* texte_, char separateur_) : texte(texte_), separateur(0) {
  set_separateur(separateur_);
}

int TSTR_PARSER::get_nbr_champs() {
  int n = 0;
  for (const char* p = texte; *p; p++)
    if (*p == separateur) n++;
  return n;
}

char* TSTR_PARSER::get_champ(int n) {
  if (n < 0) return nullptr;
  const int len = static_cast<int>(std::strlen(texte));
  int i = 0;
  for (int seen = 0; seen < n && i < len; i++)
    if (texte[i] == separateur) seen++;
  // Fewer than n separators: i reached the end.
  if (i == len) return nullptr;
  int j = i;
  while (j < len && texte[j] != separateur) j++;
  if (j == i) return nullptr;
  char* copy = new char[j - i + 1];
  std::memcpy(copy, texte + i, j - i);
  copy[j - i] = '\0';
  return copy;
}
