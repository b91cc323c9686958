// qmdecrpt: reads the per-file key text back out of the 144-byte header of
// a sealed book file written by qmcrpt (layout in SealedFormat.h).
#pragma once

#include <cstdint>

// Unseals the key text carried by header and copies its bytes, without a
// terminator, to the start of keyOut. The caller passes a zero-filled
// keyOut, so the copied key ends at the first zero after it.
//
// Returns 144, the offset at which the body starts, on success.
// Returns 0 and writes nothing when the key (half as many bytes as the
// field has hexadecimal characters) does not fit: keyCapacity must exceed
// the key's length by at least one.
// Returns -1 and writes nothing when header or keyOut is null, headerLength
// is less than 144, keyCapacity is not positive, the first 12 bytes are not
// the magic, or the field holds fewer than 16 characters before its first
// zero byte (too short to be a sealed key).
//
// The version field is not examined, and characters that are not
// hexadecimal digits are decoded anyway (they give a wrong key, not an
// error). Keeps no state; safe to call from any thread.
int32_t qmdecrpt_bookbin_header(const uint8_t* header, int32_t headerLength,
                                char* keyOut, int32_t keyCapacity);
