// Fuzz target: the input is an index document and the pack's data region,
// wrapped in a valid header block with matching index checksums, so that
// every input reaches the index parser and the record restoring (hostile
// sub-paths, offsets and lengths, damaged streams).
//
// Input: 2 bytes little-endian document length n, n bytes of document, the
// rest is the data that follows the header block.
#include <algorithm>

#include <cstddef>
#include <cstdint>
#include <string>

#include "resbundle/KXPack/KXPackFiles.h"
#include "resbundle/KXPack/PackFiles.h"
#include "resbundle/KXPack/PackFormat.h"
#include "resbundle/KXPack/store/mycrc32.h"
#include "resbundle/fuzz/pack_fuzz_support.h"
#include "resbundle/tests/raw_deflate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t n = std::min<size_t>(data[0] | data[1] << 8, size - 2);
  const std::string document(reinterpret_cast<const char*>(data + 2), n);
  const std::string region(reinterpret_cast<const char*>(data + 2 + n),
                           size - 2 - n);
  const std::string stored = rawDeflate(document, 1, 8);

  KXPackFiles pack;
  pack.setFileXMLIsCompressed(true);
  pack.setFilesXMLOffset(packformat::kHeaderSize + region.size());
  pack.setFilesXMLLength(document.size());
  pack.setFilesXMLCompressLength(stored.size());
  pack.setFilesXMLCrc32(myCRC32(0, document.data(), document.size()));
  pack.setFilesXMLCompressCrc32(myCRC32(0, stored.data(), stored.size()));
  auto header = KXPackFiles::packHeader(&pack);
  const std::string product =
      std::string(reinterpret_cast<const char*>(header.get()),
                  packformat::kHeaderSize) +
      region + stored;

  packfuzz::Sandbox sandbox;
  sandbox.writePack(product.data(), product.size());
  startUnpack(sandbox.pack().c_str(), sandbox.out().c_str());
  sandbox.finish();
  return 0;
}
