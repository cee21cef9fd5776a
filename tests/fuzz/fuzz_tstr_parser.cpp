// The field splitter on arbitrary text and separators. Input: byte 0 is the first
// separator, byte 1 the second, the rest is the text (cut at an embedded zero, as a
// C string would be). Every field handed out is compared with an independent split.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "patch/tstr_parser.h"

namespace {

std::vector<std::string> split(const std::string& text, char sep) {
  std::vector<std::string> out(1);
  for (char c : text) {
    if (c == sep)
      out.emplace_back();
    else
      out.back() += c;
  }
  return out;
}

void check(TSTR_PARSER& p, const std::string& text, char sep) {
  const std::vector<std::string> fields = split(text, sep);
  const int n = p.get_nbr_champs();
  if (n != static_cast<int>(fields.size()) - 1) std::abort();
  // -1 and two indices past the last field must all be null.
  for (int k = -1; k <= n + 2; k++) {
    char* f = p.get_champ(k);
    const bool want = k >= 0 && k < static_cast<int>(fields.size()) && !fields[k].empty();
    if ((f != nullptr) != want) std::abort();
    if (f) {
      if (fields[k] != f) std::abort();
      delete[] f;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const char sep1 = static_cast<char>(data[0]);
  const char sep2 = static_cast<char>(data[1]);
  // An exact-size heap copy, so that reading past the terminator is caught.
  const size_t len = strnlen(reinterpret_cast<const char*>(data + 2), size - 2);
  char* text = new char[len + 1];
  std::memcpy(text, data + 2, len);
  text[len] = '\0';
  const std::string copy(text, len);

  TSTR_PARSER p(text, sep1);
  // A zero separator never occurs inside a C string: no separator, one field.
  check(p, copy, sep1);
  p.set_separateur(sep2);
  check(p, copy, sep2);
  if (copy != text) std::abort();  // the splitter never writes the text
  delete[] text;
  return 0;
}
