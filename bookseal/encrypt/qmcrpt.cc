#include "bookseal/encrypt/qmcrpt.h"

#include <cstring>

#include "bookseal/encrypt/SealedFormat.h"
#include "bookseal/encrypt/qmcrptutil.h"

using bookseal::kHeaderSize;

int32_t qmcrpt_bookbin_header(const char* keyText, uint8_t* header,
                              int32_t headerCapacity) {
  if (keyText == nullptr || header == nullptr) return -1;
  if (headerCapacity < static_cast<int32_t>(kHeaderSize)) return -1;
  // Reading one byte past the longest acceptable key text is enough to
  // tell that a text is too long, without walking an unterminated one.
  const size_t length = strnlen(keyText, bookseal::kMaxKeyTextLength + 1);
  if (length < bookseal::kMinKeyTextLength ||
      length > bookseal::kMaxKeyTextLength ||
      length % bookseal::kKeyTextGranule != 0) {
    return -1;
  }

  const auto wordCount = static_cast<int32_t>(length / 4);
  uint32_t words[bookseal::kMaxKeyTextLength / 4];
  for (int32_t i = 0; i < wordCount; ++i) {
    words[i] = qmcrptutil::ReadInt32(reinterpret_cast<const uint8_t*>(keyText) +
                                     4 * i);
  }
  uint32_t key[4];
  qmcrptutil::SealingKeyWords(key);
  qmcrptutil::XXTEAEncrypt(words, wordCount, key);
  uint8_t sealed[bookseal::kMaxKeyTextLength];
  for (int32_t i = 0; i < wordCount; ++i) {
    qmcrptutil::WriteInt32(sealed + 4 * i, words[i]);
  }

  // The field's unused tail must be zero: readers take the text up to the
  // first zero byte.
  std::memset(header, 0, kHeaderSize);
  std::memcpy(header, bookseal::kMagic, bookseal::kMagicSize);
  qmcrptutil::WriteInt32(header + bookseal::kVersionOffset,
                         bookseal::kFormatVersion);
  qmcrptutil::ConvertBinToASCII(
      sealed, static_cast<int32_t>(length),
      reinterpret_cast<char*>(header + bookseal::kKeyFieldOffset));
  return static_cast<int32_t>(kHeaderSize);
}
