// Shared by the pack fuzz targets: a sandbox folder below $TMPDIR made for
// one input and removed with everything in it afterwards (the fuzzer may end
// the process without running exit handlers, so nothing is left for exit).
// A run may write only the pack file and files below sandbox/out; anything
// else that appears in the sandbox is an escape and stops the fuzzer.
#pragma once

#include <dirent.h>
#include <ftw.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace packfuzz {

inline void removeTree(const std::string& path) {
  nftw(
      path.c_str(),
      [](const char* p, const struct stat*, int, struct FTW*) {
        return ::remove(p);
      },
      16, FTW_DEPTH | FTW_PHYS);
}

class Sandbox {
 public:
  Sandbox() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base && *base ? base : "/tmp") + "/packfuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    root_ = pattern;
  }
  ~Sandbox() { removeTree(root_); }
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  std::string pack() const { return root_ + "/pack.bin"; }
  std::string out() const { return root_ + "/out"; }

  // Writes the pack file for one input.
  void writePack(const void* data, size_t size) const {
    std::FILE* f = std::fopen(pack().c_str(), "wb");
    if (f == nullptr) std::abort();
    if (size > 0) std::fwrite(data, 1, size, f);
    std::fclose(f);
  }

  // Checks that nothing escaped.
  void finish() const {
    DIR* dir = opendir(root_.c_str());
    if (dir == nullptr) std::abort();
    while (const dirent* e = readdir(dir)) {
      const std::string name = e->d_name;
      if (name == "." || name == ".." || name == "pack.bin" || name == "out") {
        continue;
      }
      std::fprintf(stderr, "escaped the destination: %s\n", name.c_str());
      __builtin_trap();
    }
    closedir(dir);
  }

 private:
  std::string root_;
};

}  // namespace packfuzz
