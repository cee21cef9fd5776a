// Golden cases: each tests/cases/<group>/<name>.keys is one run of the real
// tev-render. The file holds its arguments (the key script: --seed, --frames,
// --event ...; "#" starts a comment line), the patch last, relative to the .keys
// file; the run happens in the patch's folder so that sample paths resolve there.
// Beside it: <name>.ref (exit status, one hash of all samples and one per 64
// frames), <name>.out and <name>.err (standard output and error, byte-exact,
// present when not empty). TEV_UPDATE_GOLDEN=1 rewrites them from the current build.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "support/render.h"

namespace {

using tevtest::fnv1a;  // over the samples' bytes: little-endian, as this machine
using tevtest::slurp;
const std::string kCases = TEV_CASES_DIR;
constexpr size_t kChunk = 64;  // frames per hash: a change is located to 1.5 ms

void store(const std::string& path, const std::string& text) {
  if (text.empty()) {
    unlink(path.c_str());
    return;
  }
  std::ofstream(path, std::ios::binary) << text;
}

// "group/name" of every case.
std::vector<std::string> all_cases() {
  std::vector<std::string> v;
  for (const auto& e : std::filesystem::recursive_directory_iterator(kCases))
    if (e.path().extension() == ".keys")
      v.push_back(e.path().parent_path().filename().string() + "/" + e.path().stem().string());
  std::sort(v.begin(), v.end());
  return v;
}

struct Outcome {
  int status = -1;
  std::string out, err;
};

// A render that hangs ends after 60 s with timeout's status 124, which no reference has.
Outcome run(const std::vector<std::string>& args, const std::string& cwd, const std::string& tmp) {
  std::string command = "cd '" + cwd + "' && exec timeout 60 '" TEV_RENDER_BIN "'";
  for (const std::string& a : args) command += " '" + a + "'";
  const int st = std::system((command + " >" + tmp + "/stdout 2>" + tmp + "/stderr").c_str());
  // What changes from run to run: module addresses in the report, the scratch folder.
  const std::regex varies("0x[0-9a-f]{6,}|" + tmp);
  return {WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st),
          std::regex_replace(slurp(tmp + "/stdout"), varies, "<varies>"),
          std::regex_replace(slurp(tmp + "/stderr"), varies, "<varies>")};
}

// The reference text: command, exit status and, when a WAV was written, its hashes.
std::string reference(const std::string& command, int status, const std::string& wav) {
  std::string s = "# regenerate with TEV_UPDATE_GOLDEN=1 (tests/cases/run_cases.cpp)\ncommand" +
                  command + "\nstatus " + std::to_string(status) + "\n";
  SF_INFO info{};
  SNDFILE* sf = sf_open(wav.c_str(), SFM_READ, &info);
  if (!sf) return s;
  std::vector<int16_t> v(static_cast<size_t>(info.frames) * info.channels);
  sf_readf_short(sf, v.data(), info.frames);
  sf_close(sf);
  char buf[64];
  std::snprintf(buf, sizeof buf, "frames %" PRId64 "\ntotal %016" PRIx64 "\nchunk %zu\n",
                static_cast<int64_t>(info.frames), fnv1a(v.data(), 2 * v.size()), kChunk);
  s += buf;
  const size_t frames = static_cast<size_t>(info.frames), ch = info.channels;
  for (size_t f = 0, i = 0; f < frames; f += kChunk, i++) {
    const size_t n = std::min(kChunk, frames - f);
    std::snprintf(buf, sizeof buf, "%08" PRIx32 "%c",
                  static_cast<uint32_t>(fnv1a(v.data() + ch * f, 2 * ch * n)),
                  (i % 8 == 7 || f + kChunk >= frames) ? '\n' : ' ');
    s += buf;
  }
  return s;
}

class Case : public testing::TestWithParam<std::string> {};

TEST_P(Case, MatchesReference) {
  const std::string base = kCases + "/" + GetParam();
  std::vector<std::string> args;
  std::istringstream keys(slurp(base + ".keys"));
  for (std::string line; std::getline(keys, line);) {
    std::istringstream words(line);
    for (std::string w; line[0] != '#' && words >> w;) args.push_back(w);
  }
  ASSERT_FALSE(args.empty());
  // The patch: its folder is the working directory, its base name the argument.
  std::string patch = base.substr(0, base.rfind('/')) + "/" + args.back();
  const size_t slash = patch.rfind('/');
  args.back() = patch.substr(slash + 1);
  std::string command;
  for (const std::string& a : args) command += " " + a;
  char tmpl[] = "/tmp/tev-case.XXXXXX";
  const std::string tmp = mkdtemp(tmpl);
  const bool check = std::find(args.begin(), args.end(), "--check") != args.end() ||
                     std::find(args.begin(), args.end(), "--graph") != args.end();
  if (!check) args.push_back(tmp + "/out.wav");
  const Outcome r = run(args, patch.substr(0, slash), tmp);
  const std::string ref = reference(command, r.status, tmp + "/out.wav");
  for (const char* f : {"/stdout", "/stderr", "/out.wav", ""}) unlink((tmp + f).c_str());
  rmdir(tmp.c_str());
  const char* update = std::getenv("TEV_UPDATE_GOLDEN");
  if (update && std::string(update) == "1") {
    store(base + ".ref", ref);
    store(base + ".out", r.out);
    store(base + ".err", r.err);
    return;
  }
  EXPECT_EQ(slurp(base + ".out"), r.out) << "standard output of " << GetParam();
  EXPECT_EQ(slurp(base + ".err"), r.err) << "standard error of " << GetParam();
  const std::string want = slurp(base + ".ref");
  if (want == ref) return;
  // Locate the first differing line: a chunk line is 8 x 64 frames.
  std::istringstream a(want), b(ref);
  std::string la, lb;
  int line = 0;
  while (std::getline(a, la) && std::getline(b, lb) && la == lb) line++;
  ADD_FAILURE() << GetParam() << ".ref differs from line " << line + 1 << ": stored [" << la
                << "] now [" << lb << "] (chunk lines start at line 7, 512 frames each)";
}

INSTANTIATE_TEST_SUITE_P(, Case, testing::ValuesIn(all_cases()),
                         [](const testing::TestParamInfo<std::string>& i) {
                           std::string n = i.param;
                           std::replace_if(n.begin(), n.end(), [](char c) { return !isalnum(c); }, '_');
                           return n;
                         });

}  // namespace
