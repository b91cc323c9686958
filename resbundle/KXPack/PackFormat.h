// PackFormat: the byte layout of a pack, shared by the pack writer and the
// unpack reader. Nothing here has state; it only names the numbers.
//
// A pack is appended to a host file at position H (the host's length, no
// alignment). Every position stored inside the pack counts from H.
//
//   H + 0            header block (kHeaderSize bytes, layout below)
//   H + 460          stored bytes of each non-empty file, back to back
//   ...              stored XML index document (the newest copy is the one
//                    the header points at; a merge leaves old copies behind)
//
// Header block, every integer unsigned little-endian:
//
//   offset width field
//        0    36 signature 1 text          36  1 separator (0)
//       37    36 signature 2 text          73  1 separator (0)
//       74    36 signature 3 text         110  1 separator (0)
//      111    36 signature 4 text         147  1 separator (0)
//      148     4 header size (460)
//      152     4 majorVersion (1)         156  4 minorVersion (1)
//      160     4 packGroupCount
//      164     8 filesXMLOffset           172  8 filesXMLLength
//      180     8 filesXMLCompressLength
//      188     4 filesXMLCrc32            192  4 filesXMLCompressCrc32
//      196     4 filesXMLIsCompressed (0 or 1)
//      200   256 reserved (0)
//      456     4 myCRC32 of bytes 0..455
//
// A block is valid when the four 36-byte signature fields hold their texts
// (separators not compared) and the checksum at 456 matches.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace packformat {

inline constexpr size_t kHeaderSize = 460;
inline constexpr size_t kSignatureLength = 36;
inline constexpr size_t kChecksummedLength = 456;

struct Signature {
  size_t offset;
  std::string_view text;
};
inline constexpr Signature kSignatures[] = {
    {0, "0e2a744e-4d15-4fb5-8816-3107437abc31"},
    {37, "c2ab6dfe-fdcc-4682-962a-8478f8229fdd"},
    {74, "f0801963-6278-4619-ac5a-ba5865c6d2c3"},
    {111, "8f8ed818-04eb-4639-a012-cd259d7b631b"},
};

// Field offsets inside the header block.
inline constexpr size_t kOffHeaderSize = 148;
inline constexpr size_t kOffMajorVersion = 152;
inline constexpr size_t kOffMinorVersion = 156;
inline constexpr size_t kOffGroupCount = 160;
inline constexpr size_t kOffXMLOffset = 164;
inline constexpr size_t kOffXMLLength = 172;
inline constexpr size_t kOffXMLCompressLength = 180;
inline constexpr size_t kOffXMLCrc32 = 188;
inline constexpr size_t kOffXMLCompressCrc32 = 192;
inline constexpr size_t kOffXMLIsCompressed = 196;
inline constexpr size_t kOffChecksum = 456;

// The product is addressed with signed 32-bit sizes by the writer's buffer
// and the reader's mapping, so it stays below 2 GiB.
inline constexpr int64_t kMaxProductSize = 2147483647;

// Longest sub-path an index entry may carry.
inline constexpr size_t kMaxSubPathLength = 259;

// Deflate parameters of every stored stream: raw deflate, 32 KiB window.
inline constexpr int kDeflateLevel = 9;
inline constexpr int kDeflateWindowBits = -15;
inline constexpr int kDeflateMemLevel = 9;
inline constexpr int kDictionarySize = 8388608;

// Files are read, compressed and written in pieces of this size.
inline constexpr size_t kPieceSize = 65536;

inline constexpr uint32_t kVersionMajor = 1;
inline constexpr uint32_t kVersionMinor = 1;

// Little-endian field access on a byte block.
inline uint32_t loadLE32(const unsigned char* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 |
         uint32_t{p[3]} << 24;
}
inline uint64_t loadLE64(const unsigned char* p) {
  return uint64_t{loadLE32(p)} | uint64_t{loadLE32(p + 4)} << 32;
}
inline void storeLE32(unsigned char* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
inline void storeLE64(unsigned char* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

}  // namespace packformat
