// Test helper: seals a file under a given key text, so that an independent
// implementation (oracle.py) can compare sealed files byte for byte.
//
//   bookseal_seal_with_key KEYTEXT SOURCE DESTINATION
//
// Exits with KXWORK's code, or 1 on a wrong argument count.
#include "bookseal/KXWORK.h"

int main(int argc, char** argv) {
  if (argc != 4) return 1;
  return KXWORK::encryptFileWithKeyText(argv[2], argv[3], argv[1]);
}
