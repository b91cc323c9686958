// Fuzz target: the input is a whole pack file. Finds the header, checks and
// parses the index and restores every record into a sandbox folder.
#include <cstddef>
#include <cstdint>

#include "resbundle/KXPack/PackFiles.h"
#include "resbundle/fuzz/pack_fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  packfuzz::Sandbox sandbox;
  sandbox.writePack(data, size);
  startUnpack(sandbox.pack().c_str(), sandbox.out().c_str());
  sandbox.finish();
  return 0;
}
