// SealedFormat: the constants of the sealed book file, shared by the header
// writer (qmcrpt), the header reader (qmdecrpt) and the sealing tool.
//
// Layout of a sealed file (offsets from its first byte):
//
//   offset  size  field
//   0       12    magic "9PAGEVUBINMC" (ASCII, no terminator)
//   12      4     format version, unsigned 32-bit little-endian, 1 when
//                 written; readers do not look at it
//   16      128   sealed key field: the per-file key text encrypted with
//                 XXTEA under kSealingKey, as hexadecimal text (uppercase
//                 when written, two characters per byte, high nibble
//                 first), then zero bytes up to the end of the field
//   144     rest  body: the plain book RC4-encrypted under the key text,
//                 exactly as long as the plain book
#pragma once

#include <cstddef>
#include <cstdint>

namespace bookseal {

inline constexpr char kMagic[] = "9PAGEVUBINMC";
inline constexpr size_t kMagicSize = sizeof(kMagic) - 1;  // 12, no NUL.
inline constexpr size_t kVersionOffset = 12;
inline constexpr uint32_t kFormatVersion = 1;
inline constexpr size_t kKeyFieldOffset = 16;
inline constexpr size_t kKeyFieldSize = 128;
inline constexpr size_t kHeaderSize = kKeyFieldOffset + kKeyFieldSize;  // 144

// A key text is sealed whole words at a time and its hexadecimal form must
// fit the field, so its length is a multiple of 8 between 8 and 64 bytes.
// XXTEA needs at least two 32-bit words, hence the lower bound.
inline constexpr size_t kKeyTextGranule = 8;
inline constexpr size_t kMinKeyTextLength = 8;
inline constexpr size_t kMaxKeyTextLength = kKeyFieldSize / 2;  // 64

// The key built into the tool that seals every per-file key, as bytes in
// storage order; XXTEA reads it as four little-endian words.
inline constexpr uint8_t kSealingKey[16] = {0x5A, 0x17, 0xC3, 0x08, 0xE1, 0x94,
                                            0x2B, 0x7D, 0x66, 0xF0, 0x3C, 0xA9,
                                            0x41, 0xD2, 0x8E, 0x0B};

// The tool's key texts: 32 lowercase hexadecimal characters.
inline constexpr size_t kToolKeyTextLength = 32;

// Unsealing counts a file's length as a signed 32-bit value; files of this
// size or more are refused.
inline constexpr uint64_t kMaxSealedFileSize = 0x80000000u;  // 2 GiB

}  // namespace bookseal
