#include "bookseal/crypto/SHA256.h"

#include <openssl/sha.h>

namespace bookseal {

SHA256Digest sha256(std::span<const uint8_t> bytes) {
  SHA256Digest digest;
  SHA256(bytes.data(), bytes.size(), digest.data());
  return digest;
}

}  // namespace bookseal
