#include "pagehost/Socket/QueueSocketReadPacket.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <utility>

QueueSocketReadPacket::QueueSocketReadPacket(uint64_t lengthToRead,
                                             Bytes terminator, uint64_t maximum,
                                             double timeLimit, int64_t readTag)
    : buffer(lengthToRead),
      maxLength(maximum),
      timeout(timeLimit),
      readLength(lengthToRead),
      term(std::move(terminator)),
      tag(readTag) {
  assert(readLength == 0 || term.empty());
}

uint64_t QueueSocketReadPacket::readLengthForNonTermWithHint(
    uint64_t count) const {
  if (readLength > 0) return std::min(count, readLength - bytesDone);
  if (maxLength > 0) return std::min(count, maxLength - bytesDone);
  return count;
}

QueueSocketReadPacket::TermSearch
QueueSocketReadPacket::readLengthForTermWithBytes(const uint8_t* bytes,
                                                  size_t count) const {
  const size_t termLength = term.size();
  if (bytesDone + count < termLength) return {count, false};

  size_t window = count;
  if (maxLength > 0) {
    uint64_t room = maxLength > bytesDone ? maxLength - bytesDone : 0;
    window = static_cast<size_t>(std::min<uint64_t>(count, room));
  }

  // A terminator may begin among the last termLength - 1 gathered bytes
  // and end among the offered ones. Try those places first, earliest first.
  const size_t carried =
      static_cast<size_t>(std::min<uint64_t>(bytesDone, termLength - 1));
  const uint8_t* tail = buffer.data() + bytesDone - carried;
  for (size_t start = 0; start < carried; ++start) {
    const size_t fromTail = carried - start;
    const size_t fromNew = termLength - fromTail;
    if (fromNew > window) break;
    if (std::memcmp(tail + start, term.data(), fromTail) == 0 &&
        std::memcmp(bytes, term.data() + fromTail, fromNew) == 0) {
      return {fromNew, true};
    }
  }

  if (window >= termLength) {
    const void* at = memmem(bytes, window, term.data(), termLength);
    if (at != nullptr) {
      return {static_cast<size_t>(static_cast<const uint8_t*>(at) - bytes) +
                  termLength,
              true};
    }
  }
  return {window, false};
}

uint8_t* QueueSocketReadPacket::ensureCapacityForAdditionalDataOfLength(
    size_t n) {
  if (buffer.size() - bytesDone < n) buffer.resize(bytesDone + n);
  return buffer.data() + bytesDone;
}

void QueueSocketReadPacket::appendBytes(const uint8_t* bytes, size_t n) {
  if (n == 0) return;
  std::memcpy(ensureCapacityForAdditionalDataOfLength(n), bytes, n);
  bytesDone += n;
}
