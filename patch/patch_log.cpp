#include "patch/patch_log.h"

#include <cstdarg>
#include <cstdio>

void PatchLog::emit(const std::string& s) {
  if (out_ == kPrint)
    std::fwrite(s.data(), 1, s.size(), stdout);
  else if (out_ == kKeep)
    text_ += s;
}

void PatchLog::trace(const char* fmt, ...) {
  if (out_ == kDrop) return;
  char small[512];
  va_list ap;
  va_start(ap, fmt);
  const int n = std::vsnprintf(small, sizeof small, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  if (static_cast<size_t>(n) < sizeof small) {
    emit(std::string(small, static_cast<size_t>(n)));
    return;
  }
  std::string big(static_cast<size_t>(n) + 1, '\0');
  va_start(ap, fmt);
  std::vsnprintf(&big[0], big.size(), fmt, ap);
  va_end(ap);
  big.resize(static_cast<size_t>(n));
  emit(big);
}

void PatchLog::problem(const std::string& file, int line, const std::string& message, int column,
                       PatchProblem::Kind kind) {
  problems_.push_back(
      {file, line, message, file + ":" + std::to_string(line) + ": " + message, column, kind});
  emit(problems_.back().text + "\n");
}

void PatchLog::problem_text(const std::string& file, int line, const std::string& text,
                            int column, PatchProblem::Kind kind) {
  problems_.push_back({file, line, text, text, column, kind});
  emit(text + "\n");
}

int PatchLog::line_of(const void* module) const {
  const auto it = lines_.find(module);
  return it == lines_.end() ? 0 : it->second.line;
}

int PatchLog::column_of(const void* module) const {
  const auto it = lines_.find(module);
  return it == lines_.end() ? 0 : it->second.column;
}

std::string PatchLog::text_of(const void* module) const {
  const auto it = lines_.find(module);
  return it == lines_.end() ? std::string() : it->second.text;
}
