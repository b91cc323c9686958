// pack_driver: runs one pack core job from the command line, for the tests
// that drive the core from Python and for the benchmarks.
//   pack_driver pack DESTINATION FOLDER
//   pack_driver unpack PACKFILE FOLDER
// Exit status 0 when the job returned true, 1 when it returned false, 2 on
// a usage error.
#include <cstdio>
#include <cstring>

#include "resbundle/KXPack/PackFiles.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s pack|unpack FILE FOLDER\n", argv[0]);
    return 2;
  }
  if (std::strcmp(argv[1], "pack") == 0) {
    return startPack(argv[2], argv[3]) ? 0 : 1;
  }
  if (std::strcmp(argv[1], "unpack") == 0) {
    return startUnpack(argv[2], argv[3]) ? 0 : 1;
  }
  std::fprintf(stderr, "unknown job %s\n", argv[1]);
  return 2;
}
