// QueueSocketReadPacket: one queued read of a QueueSocket, and the sums
// that decide how many bytes the read takes next.
// Used only by QueueSocket, on its socket queue (no locking).
//
// Three kinds, told apart by their fields:
// - a length read: readLength > 0 and no term; completes with exactly
//   readLength bytes;
// - a terminator read: a term and readLength 0; completes with every byte
//   up to and including the first occurrence of term, and may not grow past
//   maxLength bytes (0 = no maximum);
// - a read of what is available: neither; completes with whatever one pass
//   finds.
// The packet gathers its bytes in buffer, which it owns; a completed read
// hands buffer over without copying it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "pagehost/Socket/Bytes.h"
#include "pagehost/Socket/QueueSocketPreBuffer.h"

class QueueSocketReadPacket {
 public:
  // Requires: lengthToRead == 0 or terminator is empty. A length read
  // allocates its whole buffer (lengthToRead zero bytes) here, once.
  QueueSocketReadPacket(uint64_t lengthToRead, Bytes terminator,
                        uint64_t maximum, double timeLimit, int64_t readTag);

  bool isLengthRead() const { return readLength > 0; }
  bool isTermRead() const { return !term.empty(); }
  bool isAvailableRead() const { return !isLengthRead() && !isTermRead(); }

  // How many of count offered bytes a length read or a read of what is
  // available may take: what it still lacks, or what its maximum allows.
  uint64_t readLengthForNonTermWithHint(uint64_t count) const;

  // Where the terminator search ended: how many of the offered bytes
  // belong to this read, and whether the last of them ends the terminator.
  struct TermSearch {
    size_t length;
    bool found;
  };
  // For a terminator read: looks for the terminator in the last bytes
  // gathered so far followed by the first count offered bytes (never
  // beyond maxLength), so that a terminator split between two arrivals is
  // found. Found: the offered bytes up to and including the terminator.
  // Not found: every offered byte the maximum allows.
  TermSearch readLengthForTermWithBytes(const uint8_t* bytes,
                                        size_t count) const;
  TermSearch readLengthForTermWithPreBuffer(
      const QueueSocketPreBuffer& preBuffer) const {
    return readLengthForTermWithBytes(preBuffer.readBuffer(),
                                      preBuffer.availableBytes());
  }

  // Makes room for n more bytes after the gathered ones and returns where
  // they go. The bytes count once bytesDone has been raised.
  uint8_t* ensureCapacityForAdditionalDataOfLength(size_t n);
  // Appends n gathered bytes.
  void appendBytes(const uint8_t* bytes, size_t n);
  // A terminator read that has gathered its maximum without the terminator.
  bool isMaxedOut() const { return maxLength > 0 && bytesDone >= maxLength; }

  Bytes buffer;
  uint64_t bytesDone = 0;
  uint64_t maxLength;
  double timeout;  // Seconds; negative = none. Grows with granted time.
  // When the read became current; its time limit counts from here.
  std::chrono::steady_clock::time_point startTime;
  // When its time limit runs out: startTime + timeout, or granted time
  // from the moment it was granted.
  std::chrono::steady_clock::time_point deadline;
  uint64_t readLength;
  Bytes term;
  int64_t tag;
};
