// QueueSocketPreBuffer: the socket's overflow buffer. Bytes read from the
// descriptor beyond what the current read needs wait here, in order, for
// the next read, so reads never lose or reorder data.
// Used only by QueueSocket, on its socket queue (no locking).
//
// Layout: one block of capacity() bytes; the stored bytes run from the read
// position to the write position. Consuming everything puts both positions
// back at the start of the block, so an empty buffer always has all of its
// capacity in front of it. The capacity only ever grows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

class QueueSocketPreBuffer {
 public:
  // Allocates a block of capacity bytes.
  explicit QueueSocketPreBuffer(size_t capacity);

  QueueSocketPreBuffer(QueueSocketPreBuffer&&) noexcept = default;
  QueueSocketPreBuffer& operator=(QueueSocketPreBuffer&&) noexcept = default;
  QueueSocketPreBuffer(const QueueSocketPreBuffer&) = delete;
  QueueSocketPreBuffer& operator=(const QueueSocketPreBuffer&) = delete;

  size_t capacity() const { return capacity_; }

  // Stored bytes not yet consumed, and where they begin.
  size_t availableBytes() const { return writeOffset_ - readOffset_; }
  const uint8_t* readBuffer() const { return block_.get() + readOffset_; }
  // Consumes n stored bytes. Requires: n <= availableBytes().
  void didRead(size_t n);

  // Room after the stored bytes, and where it begins. The pointer stays
  // valid until the next ensureCapacityForWrite().
  size_t availableSpace() const { return capacity_ - writeOffset_; }
  uint8_t* writeBuffer() { return block_.get() + writeOffset_; }
  // Grows the block, by exactly what is missing, so that availableSpace()
  // is at least n. Stored bytes keep their order.
  void ensureCapacityForWrite(size_t n);
  // Marks n bytes written at writeBuffer() as stored.
  // Requires: n <= availableSpace().
  void didWrite(size_t n);

  // Drops every stored byte; the capacity stays.
  void reset() { readOffset_ = writeOffset_ = 0; }

 private:
  std::unique_ptr<uint8_t[]> block_;
  size_t capacity_;
  size_t readOffset_ = 0;
  size_t writeOffset_ = 0;
};
