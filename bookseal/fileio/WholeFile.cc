#include "bookseal/fileio/WholeFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace bookseal {
namespace {

// Linux moves at most this much per read call anyway.
constexpr size_t kMaxReadChunk = 0x7ffff000;

}  // namespace

std::optional<OpenedFile> openForReading(const std::string& path,
                                         FileError* error) {
  int fd;
  do {
    // O_NONBLOCK only matters for FIFOs and devices, which the tool does
    // not read; it keeps a FIFO without a writer from hanging the open.
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    setErrnoError(error, "open", path);
    return std::nullopt;
  }
  OpenedFile file{base::UniqueFd(fd)};
  struct stat info;
  if (::fstat(fd, &info) != 0) {
    setErrnoError(error, "fstat", path);
    return std::nullopt;
  }
  file.isRegular = S_ISREG(info.st_mode);
  file.size = file.isRegular ? static_cast<uint64_t>(info.st_size) : 0;
  return file;
}

std::optional<size_t> readAt(int fd, uint64_t offset, std::span<uint8_t> out,
                             const std::string& path, FileError* error) {
  size_t done = 0;
  while (done < out.size()) {
    const size_t chunk = std::min(out.size() - done, kMaxReadChunk);
    const ssize_t got = ::pread(fd, out.data() + done, chunk,
                                static_cast<off_t>(offset + done));
    if (got < 0) {
      if (errno == EINTR) continue;
      setErrnoError(error, "read", path);
      return std::nullopt;
    }
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  return done;
}

std::optional<ByteBuffer> readExactly(int fd, uint64_t offset, size_t size,
                                      const std::string& path,
                                      FileError* error) {
  std::optional<ByteBuffer> buffer = ByteBuffer::allocate(size);
  if (!buffer) {
    setError(error,
             "no memory for " + std::to_string(size) + " bytes of " + path);
    return std::nullopt;
  }
  const std::optional<size_t> got =
      readAt(fd, offset, buffer->bytes(), path, error);
  if (!got) return std::nullopt;
  if (*got != size) {
    setError(error, path + " ended early while being read");
    return std::nullopt;
  }
  return buffer;
}

}  // namespace bookseal
