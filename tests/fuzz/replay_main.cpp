// Runs a fuzz target once on every file named on the command line (directories one
// level deep), without libFuzzer: ctest replays the corpus and past failures this way.
#include <dirent.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

int main(int argc, char** argv) {
  std::vector<std::string> files;
  for (int i = 1; i < argc; i++) {
    DIR* d = opendir(argv[i]);
    if (!d && access(argv[i], R_OK) == 0) files.push_back(argv[i]);  // missing: skipped
    while (dirent* e = d ? readdir(d) : nullptr)
      if (e->d_name[0] != '.') files.push_back(std::string(argv[i]) + "/" + e->d_name);
    if (d) closedir(d);
  }
  std::vector<std::vector<uint8_t>> inputs;  // all read first: a target may change directory
  for (const std::string& f : files) {
    std::ifstream in(f, std::ios::binary);
    inputs.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  for (size_t i = 0; i < files.size(); i++) {
    std::fprintf(stderr, "replay %s (%zu bytes)\n", files[i].c_str(), inputs[i].size());
    LLVMFuzzerTestOneInput(inputs[i].data(), inputs[i].size());
  }
  std::fprintf(stderr, "%zu inputs replayed\n", files.size());
}
