#include "bookseal/fileio/AtomicWrite.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <optional>
#include <utility>
#include <vector>

#include "bookseal/fileio/Paths.h"
#include "base/UniqueFd.h"

namespace bookseal {
namespace {

constexpr int kNameAttempts = 100;

// A name nobody else is likely to pick; O_EXCL settles any clash.
std::string randomSuffix() {
  uint64_t bits = 0;
  if (::getrandom(&bits, sizeof bits, GRND_NONBLOCK) != sizeof bits) {
    timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    bits = static_cast<uint64_t>(now.tv_nsec) * 0x9E3779B97F4A7C15u ^
           static_cast<uint64_t>(now.tv_sec) ^
           static_cast<uint64_t>(::getpid()) << 40;
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016llx",
                static_cast<unsigned long long>(bits));
  return text;
}

// The temporary file of one write: removed again unless committed.
class TempFile {
 public:
  static std::optional<TempFile> createBeside(const std::string& target,
                                              FileError* error) {
    const std::string folder = folderOf(target);
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
      std::string path = folder + "/.bookseal-" + randomSuffix() + ".tmp";
      int fd;
      do {
        fd =
            ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      } while (fd < 0 && errno == EINTR);
      if (fd >= 0) return TempFile(std::move(path), base::UniqueFd(fd));
      if (errno != EEXIST) {
        setErrnoError(error, "create", path);
        return std::nullopt;
      }
    }
    setError(error, "no free temporary name in " + folder);
    return std::nullopt;
  }

  TempFile(TempFile&& other) noexcept
      : path_(std::move(other.path_)),
        fd_(std::move(other.fd_)),
        committed_(std::exchange(other.committed_, true)) {}
  TempFile& operator=(TempFile&&) = delete;
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() {
    fd_.reset();
    if (!committed_) ::unlink(path_.c_str());
  }

  const std::string& path() const { return path_; }
  int fd() const { return fd_.get(); }

  // Renames the flushed file over target; from then on it is no longer
  // ours to remove.
  bool commitAs(const std::string& target, FileError* error) {
    // A failed close can be the first report of a failed write (quota,
    // network file systems), so it counts.
    if (::close(fd_.release()) != 0) {
      setErrnoError(error, "close", path_);
      return false;
    }
    if (::rename(path_.c_str(), target.c_str()) != 0) {
      setErrnoError(error, "rename to " + target + " from", path_);
      return false;
    }
    committed_ = true;
    return true;
  }

 private:
  TempFile(std::string path, base::UniqueFd fd)
      : path_(std::move(path)), fd_(std::move(fd)) {}

  std::string path_;
  base::UniqueFd fd_;
  bool committed_ = false;
};

bool writeAll(int fd, std::span<const std::span<const uint8_t>> pieces,
              const std::string& path, FileError* error) {
  std::vector<iovec> vectors;
  for (const auto& piece : pieces) {
    if (piece.empty()) continue;
    vectors.push_back({const_cast<uint8_t*>(piece.data()), piece.size()});
  }
  size_t next = 0;
  while (next < vectors.size()) {
    const int count =
        static_cast<int>(std::min<size_t>(vectors.size() - next, IOV_MAX));
    ssize_t written = ::writev(fd, &vectors[next], count);
    if (written < 0) {
      if (errno == EINTR) continue;
      setErrnoError(error, "write", path);
      return false;
    }
    if (written == 0) {
      setError(error, "write " + path + ": no progress");
      return false;
    }
    // Step past what was written; a short write resumes mid-piece.
    while (written > 0) {
      iovec& current = vectors[next];
      const size_t step =
          std::min(current.iov_len, static_cast<size_t>(written));
      current.iov_base = static_cast<uint8_t*>(current.iov_base) + step;
      current.iov_len -= step;
      written -= static_cast<ssize_t>(step);
      if (current.iov_len == 0) ++next;
    }
  }
  return true;
}

bool syncToDisk(int fd, const std::string& path, FileError* error) {
  while (::fsync(fd) != 0) {
    if (errno == EINTR) continue;
    setErrnoError(error, "fsync", path);
    return false;
  }
  return true;
}

// Makes the rename itself durable. The new content is complete and in
// place by now, so a folder that cannot be flushed does not undo the
// write.
void syncFolderOf(const std::string& path) {
  int fd;
  do {
    fd = ::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return;
  base::UniqueFd folder(fd);
  while (::fsync(folder.get()) != 0 && errno == EINTR) {
  }
}

}  // namespace

bool writeFileAtomically(const std::string& path,
                         std::span<const std::span<const uint8_t>> pieces,
                         FileError* error) {
  std::optional<TempFile> temp = TempFile::createBeside(path, error);
  if (!temp) return false;
  if (!writeAll(temp->fd(), pieces, temp->path(), error)) return false;
  if (!syncToDisk(temp->fd(), temp->path(), error)) return false;
  if (!temp->commitAs(path, error)) return false;
  syncFolderOf(path);
  return true;
}

}  // namespace bookseal
