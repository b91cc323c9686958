// qmcrpt: writes the 144-byte header of a sealed book file, which carries
// the per-file key text sealed with XXTEA under the built-in sealing key.
// The layout is in SealedFormat.h; qmdecrpt reads it back.
#pragma once

#include <cstdint>

// Seals keyText into header and returns 144, the number of header bytes
// written (magic, version 1, the sealed key as uppercase hexadecimal text
// padded with zero bytes). The same key text always gives the same header.
//
// keyText is zero-terminated; its length must be a multiple of 8 between 8
// and 64 bytes. Returns -1 and writes nothing when keyText or header is
// null, the key text's length is not acceptable, or headerCapacity is less
// than 144. Keeps no state; safe to call from any thread.
int32_t qmcrpt_bookbin_header(const char* keyText, uint8_t* header,
                              int32_t headerCapacity);
