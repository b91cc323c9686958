// RC4: the stream cipher of a sealed book's body. RC4 is symmetric, so the
// same transform seals and unseals. Backed by libcrypto's RC4, which
// measured faster than Nettle's arcfour on this machine class
// (bench/bookseal).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "bookseal/ByteBuffer.h"

namespace bookseal {

struct CryptoError {
  std::string message;
};

// RC4 keys longer than this are cut to it. The cipher's key schedule reads
// only the first 256 bytes anyway, so the cut never changes a result.
inline constexpr size_t kMaxRC4KeySize = 512;

// Transforms data with a fresh RC4 keystream under key, starting at the
// data's first byte, and returns the same buffer, now transformed in place
// (no second copy of a book is ever made). The result is exactly as long as
// the input.
//
// Returns nullopt when the cipher cannot be set up (an empty key); the
// buffer is then discarded and, when error is not null, *error says why.
std::optional<ByteBuffer> RC4EncryptedDataUsingKey(ByteBuffer data,
                                                   std::span<const uint8_t> key,
                                                   CryptoError* error);

}  // namespace bookseal
