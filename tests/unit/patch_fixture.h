// Shared helpers for the patch-file tests: a private temporary folder, patch files
// written into it, and a graph loaded from one with the loader's output captured.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "engine/generator.h"
#include "patch/patch_log.h"
#include "engine/hooks.h"
#include "engine/note_table.h"

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/tev-patch-XXXXXX";
    const char* d = mkdtemp(tmpl);
    if (d) path_ = d;
  }
  ~TempDir() {
    if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
  }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

  std::string write(const std::string& name, const std::string& text) const {
    const std::string p = file(name);
    std::ofstream(p, std::ios::binary) << text;
    return p;
  }
  std::string write_bytes(const std::string& name, const std::vector<unsigned char>& bytes) const {
    const std::string p = file(name);
    std::ofstream(p, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return p;
  }

 private:
  std::string path_;
};

// A graph loaded from a patch text, with everything the loader printed.
struct Loaded {
  std::unique_ptr<GENERATOR> g;
  std::string out;
  std::string path;
};

// Splits printed text into lines (the trailing newline of each line dropped).
inline std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::string cur;
  for (char c : text) {
    if (c == '\n') {
      lines.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) lines.push_back(cur);
  return lines;
}

// Whether the last load_text stopped on an empty field, where the synth's start-up
// exits with status -1.
struct ExitRecorder {
  static int& status() {
    static int s = 0;
    return s;
  }
  static int& calls() {
    static int c = 0;
    return c;
  }
  ExitRecorder() {
    status() = 0;
    calls() = 0;
  }
};

inline Loaded load_text(const TempDir& dir, const std::string& text,
                        const std::string& name = "patch.TSY") {
  Loaded r;
  r.path = dir.write(name, text);
  r.g = std::make_unique<GENERATOR>(GENERATOR::Empty{});
  PatchLog log(PatchLog::kKeep);
  r.g->log = &log;
  r.g->load_TSY(r.path.c_str());
  r.g->log = nullptr;
  r.out = log.text();
  if (log.stopped()) {
    ExitRecorder::calls()++;
    ExitRecorder::status() = -1;
  }
  return r;
}

template <class M>
std::vector<std::string> names_of(const std::vector<M*>& list) {
  std::vector<std::string> v;
  for (const M* m : list) v.push_back(m->name);
  return v;
}

inline std::vector<std::string> words_of(const std::vector<char*>& list) {
  std::vector<std::string> v;
  for (const char* w : list) v.push_back(w);
  return v;
}
