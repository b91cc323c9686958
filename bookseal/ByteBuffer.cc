#include "bookseal/ByteBuffer.h"

#include <cassert>
#include <new>
#include <utility>

namespace bookseal {

std::optional<ByteBuffer> ByteBuffer::allocate(size_t size) {
  if (size == 0) return ByteBuffer();
  // Default-initialised, not value-initialised: no pass over the memory.
  auto* bytes = new (std::nothrow) uint8_t[size];
  if (bytes == nullptr) return std::nullopt;
  return ByteBuffer(std::unique_ptr<uint8_t[], Release>(bytes), size);
}

ByteBuffer::ByteBuffer(std::unique_ptr<uint8_t[], Release> storage, size_t size)
    : storage_(std::move(storage)), size_(size) {}

ByteBuffer::ByteBuffer(ByteBuffer&& other) noexcept
    : storage_(std::move(other.storage_)),
      offset_(std::exchange(other.offset_, 0)),
      size_(std::exchange(other.size_, 0)) {}

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& other) noexcept {
  storage_ = std::move(other.storage_);
  offset_ = std::exchange(other.offset_, 0);
  size_ = std::exchange(other.size_, 0);
  return *this;
}

void ByteBuffer::removePrefix(size_t count) {
  assert(count <= size_);
  offset_ += count;
  size_ -= count;
}

void ByteBuffer::Release::operator()(uint8_t* bytes) const { delete[] bytes; }

}  // namespace bookseal
