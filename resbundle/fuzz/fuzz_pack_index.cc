// Fuzz target: the input is an index document. Whatever parses must write
// back out as an index that parses to the same groups and records.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "resbundle/KXPack/KXPackFiles.h"

namespace {

std::unique_ptr<KXPackFiles> parse(std::FILE* f) {
  auto pack = std::make_unique<KXPackFiles>();
  if (!KXPackFiles::buildPackHeaderDetail(f, pack.get())) return nullptr;
  return pack;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::FILE* f = std::tmpfile();
  if (f == nullptr) return 0;
  std::fwrite(data, 1, size, f);
  std::rewind(f);
  auto pack = parse(f);
  std::fclose(f);
  if (!pack) return 0;

  // An index with a sub-path that cannot be stored is refused, not written.
  const std::string path =
      KXPackFiles::startPack_outXMLConfigureFile(pack.get());
  if (path.empty()) return 0;
  std::FILE* again = std::fopen(path.c_str(), "rb");
  auto back = again ? parse(again) : nullptr;
  if (again) std::fclose(again);
  std::remove(path.c_str());
  if (!back || back->packGroupCount() != pack->packGroupCount()) {
    __builtin_trap();
  }
  for (size_t g = 0; g < pack->packGroupCount(); ++g) {
    const KXPackGroup* a = pack->packGroupAtIndex(g);
    const KXPackGroup* b = back->packGroupAtIndex(g);
    if (a->fileRecordCount() != b->fileRecordCount()) __builtin_trap();
    for (size_t r = 0; r < a->fileRecordCount(); ++r) {
      const KXPackSingleFile* x = a->fileRecordAtIndex(r);
      const KXPackSingleFile* y = b->fileRecordAtIndex(r);
      if (x->fileLength() != y->fileLength() ||
          x->fileOffset() != y->fileOffset() ||
          x->compressedLength() != y->compressedLength() ||
          x->isCompressed() != y->isCompressed()) {
        __builtin_trap();
      }
    }
  }
  return 0;
}
