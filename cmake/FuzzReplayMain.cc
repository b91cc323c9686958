// Replays a fuzz corpus without libFuzzer: every file below the folders (or
// files) named on the command line is passed once to LLVMFuzzerTestOneInput.
// A crash or a sanitizer report fails the run; otherwise it exits with 0.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void runOne(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                          std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()),
                         bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
  size_t count = 0;
  for (int i = 1; i < argc; ++i) {
    std::filesystem::path root(argv[i]);
    if (std::filesystem::is_regular_file(root)) {
      runOne(root);
      ++count;
      continue;
    }
    for (const auto& entry :
         std::filesystem::recursive_directory_iterator(root)) {
      if (!entry.is_regular_file()) continue;
      runOne(entry.path());
      ++count;
    }
  }
  std::printf("replayed %zu inputs\n", count);
  return 0;
}
