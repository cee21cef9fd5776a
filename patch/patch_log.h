// Where the patch loader's words go: the trace (one line per object, parameter and
// link, then the graph report) and the problems, each with its file and line.
//
//   PatchLog log(PatchLog::kKeep);               // or kPrint (stdout), kDrop
//   auto g = load_patch_text("test.tsy", "KEY_0;\nVCO_0;KEY_0:k;\n", log);
//   log.opened();                                // false: the file could not be read
//   log.stopped();                               // true: an empty field ended the load
//   for (const PatchProblem& p : log.problems()) ... p.file, p.line, p.message, p.text
//   log.text();                                  // kKeep: the bytes kPrint would print
//
// The default (kPrint) writes exactly what the synth has always printed, in the same
// order. Only the live synth's start-up asks for exit_on_empty_field, which ends the
// process with status 255 as the patch format requires; every other caller (reload,
// tests, fuzzers, the renderer) gets a stopped load and a graph it can still free.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

class GENERATOR;

struct PatchProblem {
  // The cases the patch check words its own way (patch/check.h).
  enum Kind { kGeneral, kNoFields, kEmptyField, kMissingSource, kSampleFile };
  std::string file;     // the patch's path, or the name given with a text
  int line = 0;         // 1-based line of the patch; 0 for the patch as a whole
  std::string message;  // what is wrong, without the location
  std::string text;     // the line the loader prints for it (without the newline)
  int column = 0;       // 1-based column of the field it is about (0: unknown)
  Kind kind = kGeneral;
};

class PatchLog {
 public:
  enum Output { kPrint, kKeep, kDrop };
  explicit PatchLog(Output out = kPrint) : out_(out) {}

  // Ends the process with status 255 on an empty field, as the synth does at start-up.
  bool exit_on_empty_field = false;

  // Trace text, printf-style, written as given (the caller supplies "\n" or "\r\n").
  void trace(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  // A problem printed "<file>:<line>: <message>".
  void problem(const std::string& file, int line, const std::string& message, int column = 0,
               PatchProblem::Kind kind = PatchProblem::kGeneral);
  // A problem whose printed line is `text` as it stands (the older message forms,
  // which carry no location or carry it their own way); `message` is the same text.
  void problem_text(const std::string& file, int line, const std::string& text, int column = 0,
                    PatchProblem::Kind kind = PatchProblem::kGeneral);

  // Where each module was declared (line and column of its line, and the line's
  // text), for checks and pictures made after loading.
  void declared(const void* module, int line, int column, const char* text) {
    lines_[module] = {line, column, text};
  }
  int line_of(const void* module) const;
  int column_of(const void* module) const;
  std::string text_of(const void* module) const;
  // Every link the loader made, in file order: a module into another, with its word.
  struct Link {
    const void* from;
    const void* to;
    std::string word;
  };
  void linked(const void* from, const void* to, const char* word) {
    links_.push_back({from, to, word ? word : ""});
  }
  const std::vector<Link>& links() const { return links_; }

  // The file line of the patch's last token (0 for an empty patch).
  int lines = 0;

  void set_opened(bool v) { opened_ = v; }
  void set_stopped() { stopped_ = true; }
  bool opened() const { return opened_; }
  bool stopped() const { return stopped_; }
  const std::vector<PatchProblem>& problems() const { return problems_; }
  const std::string& text() const { return text_; }

 private:
  void emit(const std::string& s);
  Output out_;
  bool opened_ = false;
  bool stopped_ = false;
  std::vector<PatchProblem> problems_;
  struct Place {
    int line, column;
    std::string text;
  };
  std::map<const void*, Place> lines_;
  std::vector<Link> links_;
  std::string text_;
};

// What the program around the loader supplies: both may be left empty.
struct LoadOptions {
  // Called with the path as the load begins (the live synth titles its window).
  std::function<void(const char*)> caption;
  // Each new sequencer seeds the random generator with this (the live synth's
  // millisecond clock, the renderer's --seed); empty: 0.
  std::function<uint32_t()> seed;
};

// Load, resolve and report, as the loading constructor does, into a new graph that
// the caller owns. A graph comes back even when the patch did not open or stopped.
std::unique_ptr<GENERATOR> load_patch_file(const char* path, PatchLog& log,
                                           const LoadOptions& options = {});
// The same from text in memory; `name` stands for the path in messages and caption.
std::unique_ptr<GENERATOR> load_patch_text(const char* name, const std::string& text,
                                           PatchLog& log, const LoadOptions& options = {});
