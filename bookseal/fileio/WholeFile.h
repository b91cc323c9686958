// WholeFile: reading a file whole, or a piece of it, into memory with
// plain descriptors: every call retries EINTR and loops over short reads.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "bookseal/ByteBuffer.h"
#include "bookseal/fileio/FileError.h"
#include "base/UniqueFd.h"

namespace bookseal {

struct OpenedFile {
  base::UniqueFd fd;
  bool isRegular = false;  // Only regular files have a meaningful size.
  uint64_t size = 0;       // Length in bytes when isRegular.
};

// Opens path read-only (close-on-exec) and tells what it is. The open does
// not block on a FIFO without a writer. Returns nullopt when the path
// cannot be opened.
std::optional<OpenedFile> openForReading(const std::string& path,
                                         FileError* error);

// Reads from offset until out is full or the file ends; returns the number
// of bytes read. path names the file in error messages.
std::optional<size_t> readAt(int fd, uint64_t offset, std::span<uint8_t> out,
                             const std::string& path, FileError* error);

// Reads exactly size bytes from offset into one buffer of that size.
// A file that ends sooner (it shrank while being read) is a failure: the
// caller must never take part of a book for the whole.
std::optional<ByteBuffer> readExactly(int fd, uint64_t offset, size_t size,
                                      const std::string& path,
                                      FileError* error);

}  // namespace bookseal
