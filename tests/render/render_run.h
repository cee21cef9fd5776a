// Running the real tev-render binary from tests: a process with its status and
// output, scratch directories, and the rendered WAV read back.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace render_test {

// Set by the build: the binary under test and the repository root.
inline std::string binary() { return TEV_RENDER_BINARY; }
inline std::string repo_root() { return TEV_SOURCE_ROOT; }

struct Result {
  int status = -1;  // exit status, or 128 + signal
  std::string out;  // standard output
  std::string err;  // standard error
};

inline std::string slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

inline void spit(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::binary);
  f << text;
}

// A fresh directory under /tmp, removed with its files when the test ends.
class Scratch {
 public:
  Scratch() {
    char tmpl[] = "/tmp/tev-render-test.XXXXXX";
    const char* d = mkdtemp(tmpl);
    dir_ = d ? d : "/tmp";
  }
  ~Scratch() {
    for (const std::string& f : files()) unlink((dir_ + "/" + f).c_str());
    rmdir(dir_.c_str());
  }
  const std::string& dir() const { return dir_; }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  // Every entry but . and .., hidden ones included (a left-over temporary file).
  std::vector<std::string> files() const {
    std::vector<std::string> v;
    if (DIR* d = opendir(dir_.c_str())) {
      while (dirent* e = readdir(d)) {
        const std::string n = e->d_name;
        if (n != "." && n != "..") v.push_back(n);
      }
      closedir(d);
    }
    return v;
  }

 private:
  std::string dir_;
};

// Starts tev-render in `cwd` with `args`; output goes to files in `scratch`.
inline pid_t spawn(const std::vector<std::string>& args, const std::string& cwd,
                   const std::string& out_file, const std::string& err_file) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(cwd.c_str()) != 0) _exit(120);
    const int o = open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int e = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (o < 0 || e < 0) _exit(121);
    dup2(o, 1);
    dup2(e, 2);
    const int in = open("/dev/null", O_RDONLY);
    dup2(in, 0);
    std::vector<char*> argv;
    const std::string bin = binary();
    argv.push_back(const_cast<char*>(bin.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(bin.c_str(), argv.data());
    _exit(122);
  }
  return pid;
}

inline int wait_status(pid_t pid) {
  int st = 0;
  if (waitpid(pid, &st, 0) != pid) return -1;
  if (WIFEXITED(st)) return WEXITSTATUS(st);
  if (WIFSIGNALED(st)) return 128 + WTERMSIG(st);
  return -1;
}

// Runs to completion. The captured output lives outside `cwd` so that it never
// shows up among the files a test inspects.
inline Result run(const std::vector<std::string>& args, const std::string& cwd = repo_root()) {
  char tmpl[] = "/tmp/tev-render-out.XXXXXX";
  const char* d = mkdtemp(tmpl);
  const std::string dir = d ? d : "/tmp";
  const std::string o = dir + "/stdout", e = dir + "/stderr";
  Result r;
  r.status = wait_status(spawn(args, cwd, o, e));
  r.out = slurp(o);
  r.err = slurp(e);
  unlink(o.c_str());
  unlink(e.c_str());
  rmdir(dir.c_str());
  return r;
}

struct Wav {
  bool ok = false;
  int channels = 0;
  int rate = 0;
  int format = 0;
  std::vector<int16_t> samples;  // interleaved left, right
  size_t frames() const { return channels ? samples.size() / channels : 0; }
  // Left channel only (the right one carries the same values).
  std::vector<int16_t> left() const {
    std::vector<int16_t> v;
    for (size_t i = 0; i < samples.size(); i += 2) v.push_back(samples[i]);
    return v;
  }
};

inline Wav read_wav(const std::string& path) {
  Wav w;
  SF_INFO info{};
  SNDFILE* sf = sf_open(path.c_str(), SFM_READ, &info);
  if (!sf) return w;
  w.channels = info.channels;
  w.rate = info.samplerate;
  w.format = info.format;
  w.samples.resize(static_cast<size_t>(info.frames) * info.channels);
  const sf_count_t got = sf_readf_short(sf, w.samples.data(), info.frames);
  sf_close(sf);
  w.ok = got == info.frames;
  return w;
}

// 64-bit FNV-1a over the samples as little-endian bytes: small, and any changed
// sample changes it.
inline uint64_t fnv1a(const int16_t* s, size_t n, uint64_t h = 0xcbf29ce484222325ULL) {
  for (size_t i = 0; i < n; i++) {
    const uint16_t v = static_cast<uint16_t>(s[i]);
    h = (h ^ (v & 0xff)) * 0x100000001b3ULL;
    h = (h ^ (v >> 8)) * 0x100000001b3ULL;
  }
  return h;
}

}  // namespace render_test
