// Splits a text into fields at one separator and hands out owned copies of fields.
#pragma once

class TSTR_PARSER {
 public:
  // Keeps the pointer: the text must outlive the splitter and stay unchanged.
  TSTR_PARSER(const char* texte, char separateur);
  ~TSTR_PARSER() {}

  void set_separateur(char c) { separateur = c; }

  // The number of separators in the text (a text of n closed fields gives n).
  int get_nbr_champs();

  // A new[]-allocated copy of field n (0-based), owned by the caller; null for an
  // empty field, an index past the last field, or a negative index.
  char* get_champ(int n);

  const char* texte;
  char separateur;
};
