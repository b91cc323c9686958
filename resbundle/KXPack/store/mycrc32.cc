#include "resbundle/KXPack/store/mycrc32.h"

#include <array>
#include <bit>
#include <cstring>

namespace {

constexpr uint32_t kPolynomial = 0x01C26A37;

constexpr uint32_t byteSwap(uint32_t v) {
  return (v >> 24) | ((v >> 8) & 0x0000FF00u) | ((v << 8) & 0x00FF0000u) |
         (v << 24);
}

// Table k gives the effect of a byte followed by k zero bytes, so sixteen
// bytes fold into the checksum with sixteen look-ups and no dependency
// between them. Table 0 is the byte table itself.
using Tables = std::array<std::array<uint32_t, 256>, 16>;

constexpr Tables makeTables() {
  Tables t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t v = i << 24;
    for (int bit = 0; bit < 8; ++bit) {
      const bool out = (v & 0x80000000u) != 0;
      v <<= 1;
      if (out) v ^= kPolynomial;
    }
    t[0][i] = byteSwap(v);
  }
  for (size_t k = 1; k < t.size(); ++k) {
    for (uint32_t i = 0; i < 256; ++i) {
      const uint32_t prev = t[k - 1][i];
      t[k][i] = (prev >> 8) ^ t[0][prev & 0xFF];
    }
  }
  return t;
}

constexpr Tables kTables = makeTables();
static_assert(kTables[0][1] == 0x376AC201);
static_assert(kTables[0][2] == 0x6ED48403);
static_assert(kTables[0][3] == 0x59BE4602);

inline uint32_t loadLE(const unsigned char* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = byteSwap(v);
  return v;
}

inline uint32_t stepBytes(uint32_t c, const unsigned char* p, size_t n) {
  const auto& t = kTables[0];
  for (size_t i = 0; i < n; ++i) c = (c >> 8) ^ t[(c ^ p[i]) & 0xFF];
  return c;
}

}  // namespace

uint32_t myCRC32Bytewise(uint32_t init, const void* data, size_t length) {
  if (length == 0) return init;
  return ~stepBytes(~init, static_cast<const unsigned char*>(data), length);
}

uint32_t myCRC32Slicing16(uint32_t init, const void* data, size_t length) {
  if (length == 0) return init;
  const auto* p = static_cast<const unsigned char*>(data);
  uint32_t c = ~init;
  const auto& t = kTables;
  while (length >= 16) {
    // Twelve of the sixteen look-ups do not depend on the running value;
    // folding them first leaves only four look-ups and two XORs on the
    // chain from one block to the next.
    const uint32_t b = loadLE(p + 4);
    const uint32_t d = loadLE(p + 8);
    const uint32_t e = loadLE(p + 12);
    const uint32_t independent = (t[11][b & 0xFF] ^ t[10][(b >> 8) & 0xFF] ^
                                  t[9][(b >> 16) & 0xFF] ^ t[8][b >> 24]) ^
                                 (t[7][d & 0xFF] ^ t[6][(d >> 8) & 0xFF] ^
                                  t[5][(d >> 16) & 0xFF] ^ t[4][d >> 24]) ^
                                 (t[3][e & 0xFF] ^ t[2][(e >> 8) & 0xFF] ^
                                  t[1][(e >> 16) & 0xFF] ^ t[0][e >> 24]);
    const uint32_t a = loadLE(p) ^ c;
    c = independent ^ (t[15][a & 0xFF] ^ t[14][(a >> 8) & 0xFF]) ^
        (t[13][(a >> 16) & 0xFF] ^ t[12][a >> 24]);
    p += 16;
    length -= 16;
  }
  return ~stepBytes(c, p, length);
}

uint32_t myCRC32(uint32_t init, const void* data, size_t length) {
  return myCRC32Slicing16(init, data, length);
}

uint32_t myCRC32TableEntry(unsigned index) { return kTables[0][index & 0xFF]; }
