// Fuzz target: the sealed header reader and the in-memory unsealing path
// on arbitrary bytes, plus a writer/reader round trip with the input as a
// key text. Touches no files.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

#include "bookseal/ByteBuffer.h"
#include "bookseal/KXWORK.h"
#include "bookseal/encrypt/qmcrpt.h"
#include "bookseal/encrypt/qmdecrpt.h"

namespace {

void readHeader(const uint8_t* data, size_t size) {
  const auto length = static_cast<int32_t>(
      std::min<size_t>(size, std::numeric_limits<int32_t>::max()));
  for (int32_t capacity : {-1, 0, 1, 8, 32, 33, 64, 65, 128}) {
    // Exactly capacity bytes, so that any write past it is caught.
    const size_t bufferSize = capacity > 0 ? static_cast<size_t>(capacity) : 1;
    char* key = static_cast<char*>(std::calloc(bufferSize, 1));
    const int32_t result = qmdecrpt_bookbin_header(data, length, key, capacity);
    if (result != -1 && result != 0 && result != 144) std::abort();
    if (result != 144 && key[0] != 0) std::abort();  // Wrote on refusal.
    std::free(key);
  }
}

void unsealInMemory(const uint8_t* data, size_t size) {
  std::optional<bookseal::ByteBuffer> file =
      bookseal::ByteBuffer::allocate(size);
  if (!file) return;
  if (size > 0) std::memcpy(file->data(), data, size);
  const std::optional<bookseal::ByteBuffer> body =
      KXWORK::unsealedBody(std::move(*file));
  if (body && body->size() + 144 != size) std::abort();
}

void sealAndReadBack(const uint8_t* data, size_t size) {
  const std::string keyText(reinterpret_cast<const char*>(data),
                            std::min<size_t>(size, 72));
  uint8_t header[144];
  if (qmcrpt_bookbin_header(keyText.c_str(), header, 144) != 144) return;
  char key[128] = {};
  if (qmdecrpt_bookbin_header(header, 144, key, 128) != 144) std::abort();
  if (std::strcmp(key, keyText.c_str()) != 0) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  readHeader(data, size);
  unsealInMemory(data, size);
  sealAndReadBack(data, size);
  return 0;
}
