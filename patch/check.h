// What a patch says that the synth will do otherwise than its writer meant: the
// loader's own problems and the checks made after loading, each at its line and
// column, graded as a compiler grades its diagnostics.
//
//   PatchLog log(PatchLog::kDrop);
//   auto g = load_patch_text("p.tsy", text, log);
//   PatchCheck c = check_patch(text, *g, log);
//   std::fputs(format_check("p.tsy", c).c_str(), stdout);
#pragma once

#include <string>
#include <vector>

class GENERATOR;
class PatchLog;

enum class Severity { Error, Warning, Note };

struct Finding {
  int line = 0;    // the line an editor shows, 1-based
  int column = 0;  // 1-based column of the field (of the line's first character)
  Severity severity = Severity::Error;
  std::string message;
  const void* module = nullptr;  // the module it is about, if known
  int token_column = 0;          // else the column where its module's line begins
};

struct PatchCheck {
  std::vector<Finding> findings;  // by line, then column
  int errors = 0, warnings = 0, notes = 0;
};

// The findings of a patch loaded from `text` into `g`, whose loader wrote to `log`.
PatchCheck check_patch(const std::string& text, GENERATOR& g, const PatchLog& log);

// "FILE:LINE:COLUMN: error: ..." lines, then "FILE: N errors, M warnings".
std::string format_check(const std::string& file, const PatchCheck& c);

// "1 error, 2 warnings".
std::string error_warning_counts(const PatchCheck& c);

// The whole patch file as the loader will read it; false, errno set, when it can't
// be read (a folder included).
bool read_patch_text(const std::string& path, std::string* text);
