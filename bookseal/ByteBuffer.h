// ByteBuffer: one owned, contiguous run of bytes with its length; the
// sealing tool holds a whole book in exactly one of these.
//
// Move-only. The bytes of a fresh buffer are uninitialised (the tool fills
// them from a file at once, so zeroing them first would only cost time).
// removePrefix lets a buffer that was read whole hand on its tail without
// copying: the storage stays one allocation, freed when the owner dies.
//
// Large buffers are mapped on their own, aligned to 2 MiB and marked for
// transparent huge pages: filling 512 MiB of 4 KiB pages costs 131072
// page faults, which took longer than reading the bytes themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

namespace bookseal {

class ByteBuffer {
 public:
  // An empty buffer.
  ByteBuffer() = default;

  // A buffer of size uninitialised bytes, or nullopt when the memory cannot
  // be had.
  static std::optional<ByteBuffer> allocate(size_t size);

  ByteBuffer(ByteBuffer&& other) noexcept;
  ByteBuffer& operator=(ByteBuffer&& other) noexcept;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ~ByteBuffer() = default;

  uint8_t* data() { return storage_.get() + offset_; }
  const uint8_t* data() const { return storage_.get() + offset_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::span<uint8_t> bytes() { return {data(), size_}; }
  std::span<const uint8_t> bytes() const { return {data(), size_}; }

  // Drops the first count bytes from view.
  // Requires: count <= size().
  void removePrefix(size_t count);

 private:
  struct Release {
    Release() : mappedLength(0) {}
    explicit Release(size_t length) : mappedLength(length) {}
    void operator()(uint8_t* bytes) const;
    size_t mappedLength;  // 0: allocated with new[].
  };
  ByteBuffer(std::unique_ptr<uint8_t[], Release> storage, size_t size);

  std::unique_ptr<uint8_t[], Release> storage_;
  size_t offset_ = 0;
  size_t size_ = 0;
};

}  // namespace bookseal
