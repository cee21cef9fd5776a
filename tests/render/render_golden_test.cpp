// Golden renders: every bundled patch and every test patch, played with one fixed
// key script, must sound exactly as it did when its reference was stored.
//
// A reference (tests/golden/<dir>_<patch>.txt) keeps the command, a hash of all
// samples and one hash per 64-frame chunk, so a change is located to within 64
// frames (1.5 ms) without storing the audio. After an intended change of the sound,
// regenerate the references and commit them:
//
//     TEV_UPDATE_GOLDEN=1 build/tev_render_tests --gtest_filter='RenderGolden.*'
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "render_run.h"

using namespace render_test;

namespace {

constexpr size_t kChunk = 64;  // frames per stored hash
constexpr size_t kPerLine = 8;

// 1.5 s with every kind of event: overlapping voices, two keys on one voice,
// Return, user retriggers (which draw from the random generator), releases.
const std::vector<std::string> kScript = {
    "--seed", "1", "--frames", "66150",
    "--event", "0:down:z", "--event", "4410:down:a", "--event", "8820:down:q",
    "--event", "13230:down:x", "--event", "17640:up:z", "--event", "22050:user:1",
    "--event", "26460:up:a", "--event", "30870:down:return", "--event", "35280:up:return",
    "--event", "39690:up:q", "--event", "44100:down:n", "--event", "44100:user:2",
    "--event", "52920:up:n", "--event", "52920:up:x"};

struct PatchRef {
  std::string dir;   // working directory of the render (sample paths are relative to it)
  std::string file;  // the patch, relative to dir
  std::string golden;
};

std::vector<PatchRef> patches() {
  std::vector<PatchRef> out;
  for (const char* rel : {"patches", "tests/patches"}) {
    const std::string dir = repo_root() + "/" + rel;
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
      while (dirent* e = readdir(d)) {
        const std::string n = e->d_name;
        if (n.size() > 4 && n.compare(n.size() - 4, 4, ".TSY") == 0) names.push_back(n);
      }
      closedir(d);
    }
    std::sort(names.begin(), names.end());
    std::string prefix = rel;
    std::replace(prefix.begin(), prefix.end(), '/', '_');
    for (const std::string& n : names)
      out.push_back({dir, n, repo_root() + "/tests/golden/" + prefix + "_" + n + ".txt"});
  }
  return out;
}

std::string join(const std::vector<std::string>& v) {
  std::string s;
  for (const std::string& a : v) s += (s.empty() ? "" : " ") + a;
  return s;
}

struct Golden {
  std::string command;
  size_t frames = 0;
  uint64_t total = 0;
  std::vector<uint32_t> chunks;
};

Golden summarize(const std::string& command, const Wav& w) {
  Golden g;
  g.command = command;
  g.frames = w.frames();
  g.total = fnv1a(w.samples.data(), w.samples.size());
  for (size_t f = 0; f < g.frames; f += kChunk) {
    const size_t n = std::min(kChunk, g.frames - f);
    g.chunks.push_back(static_cast<uint32_t>(fnv1a(w.samples.data() + 2 * f, 2 * n)));
  }
  return g;
}

std::string format(const Golden& g) {
  char buf[64];
  std::string s = "# Reference render; regenerate with TEV_UPDATE_GOLDEN=1 (tests/render/render_golden_test.cpp)\n";
  s += "command " + g.command + "\n";
  s += "frames " + std::to_string(g.frames) + "\n";
  std::snprintf(buf, sizeof buf, "total %016" PRIx64 "\n", g.total);
  s += buf;
  s += "chunk " + std::to_string(kChunk) + "\n";
  for (size_t i = 0; i < g.chunks.size(); i++) {
    std::snprintf(buf, sizeof buf, "%08" PRIx32, g.chunks[i]);
    s += buf;
    s += (i % kPerLine == kPerLine - 1 || i + 1 == g.chunks.size()) ? "\n" : " ";
  }
  return s;
}

bool parse(const std::string& text, Golden* g) {
  std::istringstream in(text);
  std::string line, word;
  bool chunks = false;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream l(line);
    if (chunks) {
      while (l >> word) g->chunks.push_back(static_cast<uint32_t>(std::stoul(word, nullptr, 16)));
      continue;
    }
    l >> word;
    if (word == "command") {
      g->command = line.substr(8);
    } else if (word == "frames") {
      l >> g->frames;
    } else if (word == "total") {
      l >> word;
      g->total = std::stoull(word, nullptr, 16);
    } else if (word == "chunk") {
      size_t c = 0;
      l >> c;
      if (c != kChunk) return false;
      chunks = true;
    } else {
      return false;
    }
  }
  return chunks;
}

TEST(RenderGolden, EveryPatchSoundsAsItsReference) {
  const std::vector<PatchRef> refs = patches();
  ASSERT_FALSE(refs.empty());
  const bool update = std::getenv("TEV_UPDATE_GOLDEN") && std::string(std::getenv("TEV_UPDATE_GOLDEN")) == "1";
  for (const PatchRef& p : refs) {
    SCOPED_TRACE(p.dir + "/" + p.file);
    Scratch s;
    std::vector<std::string> args = kScript;
    args.push_back("--quiet");
    args.push_back(p.file);
    args.push_back(s.path("out.wav"));
    const Result r = run(args, p.dir);
    ASSERT_EQ(r.status, 0) << r.err;
    const Wav w = read_wav(s.path("out.wav"));
    ASSERT_TRUE(w.ok);
    const Golden now = summarize(join(kScript) + " " + p.file, w);
    if (update) {
      spit(p.golden, format(now));
      std::printf("wrote %s\n", p.golden.c_str());
      continue;
    }
    Golden ref;
    const std::string text = slurp(p.golden);
    ASSERT_FALSE(text.empty()) << "no reference " << p.golden
                               << "; create it with TEV_UPDATE_GOLDEN=1";
    ASSERT_TRUE(parse(text, &ref)) << "unreadable reference " << p.golden;
    ASSERT_EQ(ref.command, now.command) << "the key script changed; regenerate the references";
    ASSERT_EQ(ref.frames, now.frames);
    if (ref.total == now.total && ref.chunks == now.chunks) continue;
    size_t c = 0;
    while (c < ref.chunks.size() && c < now.chunks.size() && ref.chunks[c] == now.chunks[c]) c++;
    const size_t first = c * kChunk;
    std::string samples;
    for (size_t f = first; f < std::min(first + 8, now.frames); f++)
      samples += " " + std::to_string(w.samples[2 * f]);
    ADD_FAILURE() << "the sound changed: the first differing frame is in frames " << first
                  << " to " << first + kChunk - 1 << " (" << static_cast<double>(first) / 44100
                  << " s); it now begins" << samples
                  << ". If the change is intended, regenerate with TEV_UPDATE_GOLDEN=1.";
  }
}

}  // namespace
