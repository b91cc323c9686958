#include "bookseal/encrypt/qmdecrpt.h"

#include <cstring>

#include "bookseal/encrypt/SealedFormat.h"
#include "bookseal/encrypt/qmcrptutil.h"

using bookseal::kHeaderSize;

int32_t qmdecrpt_bookbin_header(const uint8_t* header, int32_t headerLength,
                                char* keyOut, int32_t keyCapacity) {
  if (header == nullptr || keyOut == nullptr || keyCapacity <= 0) return -1;
  if (headerLength < static_cast<int32_t>(kHeaderSize)) return -1;
  if (std::memcmp(header, bookseal::kMagic, bookseal::kMagicSize) != 0) {
    return -1;
  }

  const char* field =
      reinterpret_cast<const char*>(header + bookseal::kKeyFieldOffset);
  const size_t textLength = strnlen(field, bookseal::kKeyFieldSize);
  // XXTEA works on two words or more; a shorter field cannot have been
  // written by the sealer and would otherwise be decrypted as garbage.
  if (textLength < 2 * bookseal::kMinKeyTextLength) return -1;

  const auto byteCount = static_cast<int32_t>(textLength / 2);
  uint8_t decoded[bookseal::kKeyFieldSize / 2];
  qmcrptutil::ConvertASCIItoBin(field, decoded, byteCount);

  // Only whole words are decrypted; the one to three bytes a field whose
  // length is not a multiple of 8 leaves over stay as decoded.
  const auto wordCount = static_cast<int32_t>(textLength / 8);
  uint32_t words[bookseal::kKeyFieldSize / 8];
  for (int32_t i = 0; i < wordCount; ++i) {
    words[i] = qmcrptutil::ReadInt32(decoded + 4 * i);
  }
  uint32_t key[4];
  qmcrptutil::SealingKeyWords(key);
  qmcrptutil::XXTEADecrypt(words, wordCount, key);
  for (int32_t i = 0; i < wordCount; ++i) {
    qmcrptutil::WriteInt32(decoded + 4 * i, words[i]);
  }

  if (byteCount >= keyCapacity) return 0;
  std::memcpy(keyOut, decoded, static_cast<size_t>(byteCount));
  return static_cast<int32_t>(kHeaderSize);
}
