#include "resbundle/KXPack/store/mmap.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>

#include "base/RetryOnEintr.h"
#include "resbundle/KXPack/utils/KXUtility.h"

namespace {

void report(const char* format, long a, long b = 0) {
  std::printf(format, a, b);
  std::fflush(stdout);
}

bool writeAt(int fd, const void* data, int length, int64_t offset) {
  const auto* p = static_cast<const unsigned char*>(data);
  while (length > 0) {
    const ssize_t n =
        base::retryOnEintr([&] { return pwrite(fd, p, length, offset); });
    if (n <= 0) return false;
    p += n;
    offset += n;
    length -= static_cast<int>(n);
  }
  return true;
}

bool writeAll(int fd, const unsigned char* p, int64_t length) {
  while (length > 0) {
    const ssize_t n = base::retryOnEintr([&] {
      return write(fd, p,
                   static_cast<size_t>(std::min<int64_t>(length, 1 << 30)));
    });
    if (n <= 0) return false;
    p += n;
    length -= n;
  }
  return true;
}

// The fallback of writeRangeTo where the kernel cannot copy between the two
// files itself.
bool copyByReading(int in, int64_t from, int out, int64_t length) {
  constexpr size_t kPiece = 1 << 20;
  auto piece = std::make_unique<unsigned char[]>(kPiece);
  while (length > 0) {
    const size_t want = static_cast<size_t>(std::min<int64_t>(length, kPiece));
    const ssize_t n =
        base::retryOnEintr([&] { return pread(in, piece.get(), want, from); });
    if (n <= 0 || !writeAll(out, piece.get(), n)) return false;
    from += n;
    length -= n;
  }
  return true;
}

}  // namespace

MMapFile::MMapFile() { (void)allocationGranularity(); }

int MMapFile::allocationGranularity() {
  static const int granularity = static_cast<int>(sysconf(_SC_PAGESIZE));
  return granularity;
}

bool MMapFile::setfile(std::FILE* stream, int size) {
  clear();
  if (stream == nullptr) return false;
  return setfd(fileno(stream), size);
}

bool MMapFile::setfd(int fd, int size) {
  clear();
  if (fd < 0 || size <= 0) return false;
  fd_ = fd;
  size_ = size;
  readOnly_ = true;
  return true;
}

bool MMapFile::resize(int size) {
  release();
  if (size_ >= size) return false;
  size_ = size;
  if (fd_ < 0) {
    ownedFd_ = KXUtility::openAnonymousTempFile();
    fd_ = ownedFd_.get();
  }
  bool ok = fd_ >= 0;
  if (ok) {
    // Writing back the byte found at offset size (0 past the end) makes the
    // file at least size + 1 bytes long without touching its content.
    unsigned char byte = 0;
    ok = base::retryOnEintr([&] { return pread(fd_, &byte, 1, size); }) >= 0 &&
         base::retryOnEintr([&] { return pwrite(fd_, &byte, 1, size); }) == 1;
  }
  if (!ok) {
    ownedFd_.reset();
    fd_ = -1;
    size_ = 0;
    report(
        "Internal compiler error #12345: error creating mmap the size of "
        "%d.\n",
        size);
    return false;
  }
  return true;
}

void* MMapFile::mapRange(int offset, int size, int* mappedSize,
                         void** viewStart) {
  if (size_ == 0 || offset < 0 || size < 0 || int64_t{offset} + size > size_ ||
      fd_ < 0) {
    report(
        "Internal compiler error #12345: error mmapping file (%d, %d) is "
        "out of range.\n",
        offset, size);
    return nullptr;
  }
  const int lead = offset % allocationGranularity();
  const size_t length = static_cast<size_t>(size) + lead;
  const int prot = readOnly_ ? PROT_READ : PROT_READ | PROT_WRITE;
  // Populating at once costs one system call instead of a fault per page.
  void* view = mmap(nullptr, length, prot, MAP_SHARED | MAP_POPULATE, fd_,
                    offset - lead);
  if (view == MAP_FAILED) {
    report(
        "Internal compiler error #12345: error mmapping datablock to "
        "%d.\n",
        static_cast<long>(length));
    return nullptr;
  }
  *viewStart = view;
  *mappedSize = static_cast<int>(length);
  return static_cast<unsigned char*>(view) + lead;
}

void* MMapFile::get(int offset, int size) {
  if (size == 0) return nullptr;
  assert(!view_ && "!m_pView");
  int mapped = 0;
  void* start = nullptr;
  void* p = mapRange(offset, size, &mapped, &start);
  if (p == nullptr) return nullptr;
  view_ = start;
  viewSize_ = mapped;
  return p;
}

void* MMapFile::get(int offset, int* size) {
  if (size == nullptr) return nullptr;
  void* p = get(offset, *size);
  if (p != nullptr) *size = viewSize_;
  return p;
}

void* MMapFile::getmore(int offset, int size) {
  if (size == 0) return nullptr;
  int mapped = 0;
  void* start = nullptr;
  return mapRange(offset, size, &mapped, &start);
}

void MMapFile::release() {
  if (view_ == nullptr) return;
  munmap(view_, viewSize_);
  view_ = nullptr;
  viewSize_ = 0;
}

void MMapFile::release(void* view, int size) {
  if (view == nullptr) return;
  const auto address = reinterpret_cast<uintptr_t>(view);
  const uintptr_t lead = address % allocationGranularity();
  munmap(reinterpret_cast<void*>(address - lead), size + lead);
}

void MMapFile::clear() {
  release();
  ownedFd_.reset();
  fd_ = -1;
  size_ = 0;
}

void MMapFile::flush(int length) {
  if (view_ == nullptr || length <= 0) return;
  msync(view_, std::min(length, viewSize_), MS_SYNC);
}

MMapBuf::MMapBuf() { (void)MMapFile::allocationGranularity(); }

MMapBuf::~MMapBuf() { file_.clear(); }

int MMapBuf::getlen() const { return fileMode_ ? used_ : memory_.getlen(); }

int MMapBuf::getsize() const {
  return fileMode_ ? file_.getsize() : memory_.getlen();
}

bool MMapBuf::resize(int length) {
  if (length < 0) return false;
  if (!fileMode_ && length < kFileModeThreshold) {
    return memory_.resize(length);
  }
  if (fileMode_ && allocated_ >= length) {
    used_ = length;
    return true;
  }
  const int newAllocation = static_cast<int>(
      std::min<int64_t>(int64_t{length} + kFileGrowth, INT_MAX));
  file_.release();
  if (!file_.resize(newAllocation)) return false;
  allocated_ = newAllocation;
  const int inMemory = fileMode_ ? 0 : memory_.getlen();
  if (inMemory > 0) {
    // Written rather than copied through a view: a 16 MiB view would count
    // against the process's memory on top of the heap copy.
    if (!writeAt(file_.descriptor(), memory_.get(), inMemory, 0)) {
      return false;  // Still in memory mode, unchanged.
    }
    memory_.resize(0);
  }
  fileMode_ = 1;
  used_ = length;
  return true;
}

int MMapBuf::add(const void* data, int length) {
  if (data == nullptr || length <= 0) return 0;
  const int oldLength = getlen();
  const int64_t newLength = int64_t{oldLength} + length;
  if (newLength > INT_MAX || !resize(static_cast<int>(newLength))) return 0;
  if (fileMode_) {
    if (!writeAt(file_.descriptor(), data, length, oldLength)) {
      resize(oldLength);
      return 0;
    }
    return oldLength;
  }
  void* p = get(oldLength, length);
  if (p == nullptr) {
    resize(oldLength);
    return 0;
  }
  std::memcpy(p, data, length);
  release();
  return oldLength;
}

bool MMapBuf::writeRangeTo(int out, int offset, int length) {
  if (offset < 0 || length < 0 || int64_t{offset} + length > getlen()) {
    return false;
  }
  if (!fileMode_) {
    return writeAll(
        out, static_cast<const unsigned char*>(memory_.get()) + offset, length);
  }
  loff_t from = offset;
  while (length > 0) {
    const ssize_t n = base::retryOnEintr([&] {
      return copy_file_range(file_.descriptor(), &from, out, nullptr,
                             static_cast<size_t>(length), 0);
    });
    if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL ||
                  errno == EOPNOTSUPP)) {
      return copyByReading(file_.descriptor(), from, out, length);
    }
    if (n <= 0) return false;
    length -= static_cast<int>(n);
  }
  return true;
}

void* MMapBuf::get() { return fileMode_ ? get(0, allocated_) : memory_.get(); }

void* MMapBuf::get(int offset, int size) {
  if (!fileMode_) return static_cast<unsigned char*>(memory_.get()) + offset;
  return file_.get(offset, size);
}

void* MMapBuf::get(int offset, int* size) {
  if (size == nullptr) return nullptr;
  return get(offset, *size);
}

void* MMapBuf::getmore(int offset, int size) {
  if (!fileMode_) return static_cast<unsigned char*>(memory_.get()) + offset;
  return file_.getmore(offset, size);
}

void MMapBuf::release() {
  if (fileMode_) file_.release();
}

void MMapBuf::release(void* view, int size) {
  if (fileMode_) file_.release(view, size);
}

void MMapBuf::clear() {
  if (fileMode_) file_.clear();
}

void MMapBuf::flush(int length) {
  if (fileMode_) file_.flush(length);
}
