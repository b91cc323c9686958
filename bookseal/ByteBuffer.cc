#include "bookseal/ByteBuffer.h"

#include <sys/mman.h>

#include <cassert>
#include <cstdint>
#include <new>
#include <utility>

namespace bookseal {
namespace {

constexpr size_t kHugePageSize = size_t{2} << 20;
// Below this a buffer is not worth a mapping of its own.
constexpr size_t kMappedThreshold = 2 * kHugePageSize;

size_t roundUp(size_t value, size_t unit) {
  return (value + unit - 1) / unit * unit;
}

// Maps length bytes (a multiple of kHugePageSize) at a 2 MiB boundary, so
// the kernel can back all of it with huge pages. Over-reserves address
// space by one huge page and gives back the unaligned ends.
uint8_t* mapAligned(size_t length) {
  const size_t reserved = length + kHugePageSize;
  void* start = ::mmap(nullptr, reserved, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (start == MAP_FAILED) return nullptr;
  const auto base = reinterpret_cast<uintptr_t>(start);
  const uintptr_t aligned = roundUp(base, kHugePageSize);
  if (aligned > base) ::munmap(start, aligned - base);
  const uintptr_t end = base + reserved;
  if (end > aligned + length) {
    ::munmap(reinterpret_cast<void*>(aligned + length),
             end - (aligned + length));
  }
  // Only a hint: without huge pages the buffer works the same, slower.
  ::madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);
  return reinterpret_cast<uint8_t*>(aligned);
}

}  // namespace

std::optional<ByteBuffer> ByteBuffer::allocate(size_t size) {
  if (size == 0) return ByteBuffer();
  if (size > SIZE_MAX / 2) return std::nullopt;  // No such memory anyway.
  if (size >= kMappedThreshold) {
    const size_t length = roundUp(size, kHugePageSize);
    uint8_t* bytes = mapAligned(length);
    if (bytes == nullptr) return std::nullopt;
    return ByteBuffer(
        std::unique_ptr<uint8_t[], Release>(bytes, Release{length}), size);
  }
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

void ByteBuffer::Release::operator()(uint8_t* bytes) const {
  if (mappedLength == 0) {
    delete[] bytes;
    return;
  }
  ::munmap(bytes, mappedLength);
}

}  // namespace bookseal
