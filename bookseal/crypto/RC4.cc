#include "bookseal/crypto/RC4.h"

#include <algorithm>
#include <utility>

// The low-level RC4 entry points are marked deprecated in OpenSSL 3 but
// stay available without loading the legacy provider, and they run the
// library's assembly code.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/rc4.h>

namespace bookseal {

std::optional<ByteBuffer> RC4EncryptedDataUsingKey(ByteBuffer data,
                                                   std::span<const uint8_t> key,
                                                   CryptoError* error) {
  if (key.empty()) {
    if (error != nullptr) error->message = "RC4 needs a key of 1 byte or more";
    return std::nullopt;
  }
  const size_t keySize = std::min(key.size(), kMaxRC4KeySize);
  RC4_KEY state;
  RC4_set_key(&state, static_cast<int>(keySize), key.data());
  if (!data.empty()) RC4(&state, data.size(), data.data(), data.data());
  return std::optional<ByteBuffer>(std::move(data));
}

}  // namespace bookseal
