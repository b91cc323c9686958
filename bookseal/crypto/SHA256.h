// SHA256: the digest the sealing tool makes its per-file key text from.
// Backed by libcrypto.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace bookseal {

using SHA256Digest = std::array<uint8_t, 32>;

// The SHA-256 digest of bytes. Cannot fail.
SHA256Digest sha256(std::span<const uint8_t> bytes);

}  // namespace bookseal
