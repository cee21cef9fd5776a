// Runs a fuzz target once on every file named on the command line (directories are
// walked one level deep), without libFuzzer: the corpus and every input that once
// failed are replayed by ctest in every build, sanitized or not.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

bool read_file(const std::string& path, std::vector<uint8_t>& out) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  out.clear();
  uint8_t chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) out.insert(out.end(), chunk, chunk + n);
  std::fclose(f);
  return true;
}

void collect(const std::string& path, std::vector<std::string>& files) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return;
  if (!S_ISDIR(st.st_mode)) {
    files.push_back(path);
    return;
  }
  DIR* d = opendir(path.c_str());
  if (!d) return;
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == ".." || name[0] == '.') continue;
    const std::string p = path + "/" + name;
    if (stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode)) files.push_back(p);
  }
  closedir(d);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> files;
  for (int i = 1; i < argc; i++) collect(argv[i], files);
  // Everything is read first: a target may change the working directory.
  std::vector<std::vector<uint8_t>> inputs(files.size());
  for (size_t i = 0; i < files.size(); i++)
    if (!read_file(files[i], inputs[i])) {
      std::fprintf(stderr, "cannot read %s\n", files[i].c_str());
      return 1;
    }
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  int ran = 0;
  for (size_t i = 0; i < files.size(); i++) {
    std::fprintf(stderr, "replay %s (%zu bytes)\n", files[i].c_str(), inputs[i].size());
    LLVMFuzzerTestOneInput(inputs[i].data(), inputs[i].size());
    ran++;
  }
  std::fprintf(stderr, "%d inputs replayed\n", ran);
  return 0;
}
