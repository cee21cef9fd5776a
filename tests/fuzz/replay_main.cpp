// Runs a fuzz target once on every file in the folders named on the command line,
// without libFuzzer: ctest replays the corpus and past failures this way.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

int main(int argc, char** argv) {
  std::vector<std::pair<std::string, std::string>> inputs;  // all read first: a target may change directory
  std::error_code ec;                                       // a missing folder: skipped
  for (int i = 1; i < argc; i++)
    for (const auto& e : std::filesystem::directory_iterator(argv[i], ec))
      if (e.path().filename().string()[0] != '.') {
        std::ifstream in(e.path(), std::ios::binary);
        inputs.emplace_back(e.path(), std::string(std::istreambuf_iterator<char>(in), {}));
      }
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  for (const auto& in : inputs) {
    std::fprintf(stderr, "replay %s (%zu bytes)\n", in.first.c_str(), in.second.size());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(in.second.data()), in.second.size());
  }
  std::fprintf(stderr, "%zu inputs replayed\n", inputs.size());
}
