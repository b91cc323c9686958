// mycrc32: the pack checksum myCRC32 (not zlib's CRC-32). Used for the
// header block, the index and every stored file.
//
// myCRC32(init, data, n): c = ~init; for each byte b:
// c = (c >> 8) ^ T[(c ^ b) & 0xFF]; result ~c. T is built from the
// polynomial 0x01C26A37 (see mycrc32.cc). Checksums chain:
// myCRC32(myCRC32(0, A), B) == myCRC32(0, A followed by B), and over no
// bytes the result is init. Thread-safe; the tables are constants.
#pragma once

#include <cstddef>
#include <cstdint>

// The checksum, computed with the fastest form available.
// Requires: data points to length readable bytes (may be null when 0).
uint32_t myCRC32(uint32_t init, const void* data, size_t length);

// The plain one-table form, one byte per step. Same results as myCRC32.
uint32_t myCRC32Bytewise(uint32_t init, const void* data, size_t length);

// Slicing form: sixteen bytes per step through sixteen tables derived
// from the byte table (the update is linear). Same results as myCRC32.
uint32_t myCRC32Slicing16(uint32_t init, const void* data, size_t length);

// Entry i of the byte table, for tests of the table itself.
uint32_t myCRC32TableEntry(unsigned index);
