#include "pagehost/Socket/QueueSocketPreBuffer.h"

#include <cassert>
#include <cstring>

QueueSocketPreBuffer::QueueSocketPreBuffer(size_t capacity)
    : block_(new uint8_t[capacity]), capacity_(capacity) {}

void QueueSocketPreBuffer::didRead(size_t n) {
  assert(n <= availableBytes());
  readOffset_ += n;
  if (readOffset_ == writeOffset_) reset();
}

void QueueSocketPreBuffer::ensureCapacityForWrite(size_t n) {
  if (availableSpace() >= n) return;
  size_t grown = capacity_ + (n - availableSpace());
  std::unique_ptr<uint8_t[]> block(new uint8_t[grown]);
  std::memcpy(block.get(), block_.get(), writeOffset_);
  block_ = std::move(block);
  capacity_ = grown;
}

void QueueSocketPreBuffer::didWrite(size_t n) {
  assert(n <= availableSpace());
  writeOffset_ += n;
}
