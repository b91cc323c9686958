// QueueSocketWritePacket: one queued write of a QueueSocket.
// Used only by QueueSocket, on its socket queue (no locking).
// The packet shares the caller's bytes instead of copying them; the caller
// must leave them unchanged until the write's completion notice has arrived
// or the socket has closed.
#pragma once

#include <chrono>
#include <cstdint>
#include <utility>

#include "pagehost/Socket/Bytes.h"

struct QueueSocketWritePacket {
  QueueSocketWritePacket(SharedBytes bytes, double timeLimit, int64_t writeTag)
      : buffer(std::move(bytes)), timeout(timeLimit), tag(writeTag) {}

  const uint8_t* remainingBytes() const { return buffer->data() + bytesDone; }
  size_t remainingLength() const { return buffer->size() - bytesDone; }

  SharedBytes buffer;
  uint64_t bytesDone = 0;
  double timeout;  // Seconds; negative = none. Grows with granted time.
  // When the write became current; its time limit counts from here.
  std::chrono::steady_clock::time_point startTime;
  int64_t tag;
};
