// qmcrptutil: the byte, text and block-cipher helpers shared by the sealed
// header's writer (qmcrpt) and reader (qmdecrpt): little-endian words,
// hexadecimal text and XXTEA (the corrected Block TEA) over 32-bit words.
//
// All routines work on caller-owned buffers, allocate nothing and keep no
// state. None of them checks its pointers: the header routines validate
// their arguments before calling in.
#pragma once

#include <cstdint>

namespace qmcrptutil {

// Turns the first 2 * count characters of text into count bytes, each pair
// read high nibble first. '0'-'9' give 0-9, 'A'-'F' and 'a'-'f' give 10-15,
// and any other character gives the low four bits of its code, so no text
// is ever rejected (a damaged field only yields a wrong key).
// Requires: text holds 2 * count characters, out holds count bytes.
void ConvertASCIItoBin(const char* text, uint8_t* out, int32_t count);

// Writes count bytes as 2 * count uppercase hexadecimal characters, high
// nibble first, with no terminator.
// Requires: text has room for 2 * count characters.
void ConvertBinToASCII(const uint8_t* bytes, int32_t count, char* text);

// Stores value as four bytes at out, least significant first.
void WriteInt32(uint8_t* out, uint32_t value);

// Reads four bytes at in, least significant first.
uint32_t ReadInt32(const uint8_t* in);

// XXTEA over n words in place under the four key words (delta 0x9E3779B9,
// 6 + 52 / n cycles). XXTEADecrypt undoes XXTEAEncrypt exactly.
// Requires: n >= 2.
void XXTEAEncrypt(uint32_t* v, int32_t n, const uint32_t key[4]);
void XXTEADecrypt(uint32_t* v, int32_t n, const uint32_t key[4]);

// The built-in sealing key as the four words XXTEA uses.
void SealingKeyWords(uint32_t key[4]);

}  // namespace qmcrptutil
