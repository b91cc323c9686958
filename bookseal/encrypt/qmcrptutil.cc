#include "bookseal/encrypt/qmcrptutil.h"

#include <cassert>

#include "bookseal/encrypt/SealedFormat.h"

namespace qmcrptutil {
namespace {

constexpr uint32_t kDelta = 0x9E3779B9u;
constexpr char kHexDigits[] = "0123456789ABCDEF";

uint8_t nibbleOf(char c) {
  if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
  if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
  if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
  // Not a hexadecimal digit: the field is damaged, and the reader decodes
  // it anyway; the wrong key shows only in the body.
  return static_cast<uint8_t>(static_cast<unsigned char>(c) & 0x0F);
}

uint32_t cyclesFor(int32_t n) { return 6 + 52 / static_cast<uint32_t>(n); }

uint32_t mix(uint32_t y, uint32_t z, uint32_t sum, int32_t p, uint32_t e,
             const uint32_t key[4]) {
  return (((z >> 5) ^ (y << 2)) + ((y >> 3) ^ (z << 4))) ^
         ((sum ^ y) + (key[(static_cast<uint32_t>(p) & 3) ^ e] ^ z));
}

}  // namespace

void ConvertASCIItoBin(const char* text, uint8_t* out, int32_t count) {
  for (int32_t i = 0; i < count; ++i) {
    out[i] = static_cast<uint8_t>(nibbleOf(text[2 * i]) << 4 |
                                  nibbleOf(text[2 * i + 1]));
  }
}

void ConvertBinToASCII(const uint8_t* bytes, int32_t count, char* text) {
  for (int32_t i = 0; i < count; ++i) {
    text[2 * i] = kHexDigits[bytes[i] >> 4];
    text[2 * i + 1] = kHexDigits[bytes[i] & 0x0F];
  }
}

void WriteInt32(uint8_t* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t ReadInt32(const uint8_t* in) {
  return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
         static_cast<uint32_t>(in[2]) << 16 |
         static_cast<uint32_t>(in[3]) << 24;
}

void XXTEAEncrypt(uint32_t* v, int32_t n, const uint32_t key[4]) {
  assert(n >= 2);
  uint32_t sum = 0;
  uint32_t z = v[n - 1];
  for (uint32_t cycles = cyclesFor(n); cycles > 0; --cycles) {
    sum += kDelta;
    const uint32_t e = (sum >> 2) & 3;
    for (int32_t p = 0; p < n; ++p) {
      const uint32_t y = v[p == n - 1 ? 0 : p + 1];
      v[p] += mix(y, z, sum, p, e, key);
      z = v[p];
    }
  }
}

void XXTEADecrypt(uint32_t* v, int32_t n, const uint32_t key[4]) {
  assert(n >= 2);
  const uint32_t cycles = cyclesFor(n);
  uint32_t sum = cycles * kDelta;
  uint32_t y = v[0];
  for (uint32_t left = cycles; left > 0; --left) {
    const uint32_t e = (sum >> 2) & 3;
    for (int32_t p = n - 1; p >= 0; --p) {
      const uint32_t z = v[p == 0 ? n - 1 : p - 1];
      v[p] -= mix(y, z, sum, p, e, key);
      y = v[p];
    }
    sum -= kDelta;
  }
}

void SealingKeyWords(uint32_t key[4]) {
  for (int i = 0; i < 4; ++i) key[i] = ReadInt32(bookseal::kSealingKey + 4 * i);
}

}  // namespace qmcrptutil
