// The field splitter on arbitrary text and separators. Input: byte 0 is the first
// separator, byte 1 the second, the rest is the text (cut at an embedded zero, as a
// C string would be). Every field handed out is compared with an independent split.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "patch/tstr_parser.h"

namespace {
void check(TSTR_PARSER& p, const std::string& text, char sep) {
  std::vector<std::string> fields(1);
  for (char c : text) c == sep ? void(fields.emplace_back()) : fields.back().push_back(c);
  const int n = p.get_nbr_champs();
  if (n != static_cast<int>(fields.size()) - 1) std::abort();
  // -1 and two indices past the last field must all be null.
  for (int k = -1; k <= n + 2; k++) {
    std::unique_ptr<char[]> f(p.get_champ(k));
    const bool want = k >= 0 && k <= n && !fields[k].empty();
    if ((f != nullptr) != want || (f && fields[k] != f.get())) std::abort();
  }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  // An exact-size heap copy, so that reading past the terminator is caught.
  const size_t len = strnlen(reinterpret_cast<const char*>(data + 2), size - 2);
  std::unique_ptr<char[]> text(new char[len + 1]);
  std::memcpy(text.get(), data + 2, len);
  text[len] = '\0';
  const std::string copy(text.get(), len);
  TSTR_PARSER p(text.get(), static_cast<char>(data[0]));
  check(p, copy, static_cast<char>(data[0]));  // a zero separator: one field
  p.set_separateur(static_cast<char>(data[1]));
  check(p, copy, static_cast<char>(data[1]));
  if (copy != text.get()) std::abort();  // the splitter never writes the text
  return 0;
}
