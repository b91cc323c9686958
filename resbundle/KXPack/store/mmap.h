// mmap: IMMap, a byte store reached through memory-mapped views; MMapFile,
// one file seen through one view at a time; MMapBuf, the pack writer's
// product buffer, which lives on the heap below 16 MiB and moves into an
// anonymous temporary file from then on, so products up to 2 GiB are
// assembled without holding them in memory.
//
// Usage contract: at most one view of a store is open at a time. Take a
// pointer with get(offset, size), use it, call release() before the next
// get. A pointer into a heap-mode MMapBuf is invalidated by the next growth.
// All sizes and offsets are signed 32-bit: no store exceeds 2,147,483,647
// bytes. Not thread-safe; the pack core uses these on its one job thread.
//
// The only output of these classes: three "Internal compiler error #12345"
// lines on standard output (mapping out of range, mapping failed, temporary
// file cannot be extended).
#pragma once

#include <cstdio>

#include "resbundle/KXPack/store/growbuf.h"
#include "base/UniqueFd.h"

class IMMap {
 public:
  virtual ~IMMap() = default;
  virtual bool resize(int size) = 0;
  virtual int getsize() const = 0;
  virtual void* get(int offset, int size) = 0;
  virtual void* get(int offset, int* size) = 0;
  virtual void* getmore(int offset, int size) = 0;
  virtual void release() = 0;
  virtual void release(void* view, int size) = 0;
  virtual void clear() = 0;
  virtual void setro(bool readOnly) = 0;
  virtual void flush(int length) = 0;
};

class MMapFile : public IMMap {
 public:
  MMapFile();
  MMapFile(const MMapFile&) = delete;
  MMapFile& operator=(const MMapFile&) = delete;
  ~MMapFile() override { clear(); }

  // Binds an open stream of an existing file of the given size for reading
  // (read-only views). The stream stays the caller's and must outlive the
  // binding. False when the stream is null or size is not positive.
  bool setfile(std::FILE* stream, int size);
  // Same as setfile for a bare descriptor, which stays the caller's.
  bool setfd(int fd, int size);

  // Makes the store hold at least size bytes, creating an anonymous
  // temporary file on first use. False, changing nothing, when the store is
  // already that large; false with a message when the file cannot grow.
  bool resize(int size) override;
  int getsize() const override { return size_; }
  // Maps [offset, offset + size) and returns a pointer to the byte at
  // offset, or null (with a message) when the range is outside the store or
  // cannot be mapped. Requires: no view open.
  void* get(int offset, int size) override;
  // As get(offset, *size), also writing back the size actually mapped,
  // alignment lead-in included. Null when size is null.
  void* get(int offset, int* size) override;
  // Maps a second range while the current view stays open; free it with
  // release(view, size).
  void* getmore(int offset, int size) override;
  // Unmaps the current view, if any.
  void release() override;
  // Unmaps a view obtained from getmore.
  void release(void* view, int size) override;
  // Releases the view, closes a temporary file the object created and
  // forgets the descriptor.
  void clear() override;
  void setro(bool readOnly) override { readOnly_ = readOnly; }
  // Writes the first length bytes of the open view back synchronously.
  void flush(int length) override;

  // The system page size; views start at multiples of it.
  static int allocationGranularity();
  // The descriptor views are made of, or -1.
  int descriptor() const { return fd_; }

 private:
  void* mapRange(int offset, int size, int* mappedSize, void** viewStart);

  int fd_ = -1;
  base::UniqueFd ownedFd_;  // Set only for the object's own temporary file.
  int viewSize_ = 0;
  void* view_ = nullptr;
  int size_ = 0;
  bool readOnly_ = false;
};

class MMapBuf : public IGrowBuf, public IMMap {
 public:
  // Memory mode ends, for good, at the first resize to this size or more.
  static constexpr int kFileModeThreshold = 0x1000000;  // 16 MiB
  static constexpr int kFileGrowth = 0x1000000;

  MMapBuf();
  MMapBuf(const MMapBuf&) = delete;
  MMapBuf& operator=(const MMapBuf&) = delete;
  ~MMapBuf() override;

  // IGrowBuf. add returns the offset of the appended bytes; when it cannot
  // grow it returns 0 and getlen() is unchanged. In file mode the bytes are
  // written to the file rather than through a view: appending in small
  // pieces then costs no mapping changes.
  int add(const void* data, int length) override;
  bool resize(int length) override;
  int getlen() const override;
  void* get() override;

  // IMMap. In memory mode get returns the heap pointer plus offset without
  // making a view; release, clear and flush then do nothing.
  int getsize() const override;
  void* get(int offset, int size) override;
  void* get(int offset, int* size) override;
  void* getmore(int offset, int size) override;
  void release() override;
  void release(void* view, int size) override;
  void clear() override;
  void setro(bool readOnly) override { file_.setro(readOnly); }
  void flush(int length) override;

  // Writes bytes [offset, offset + length) to the descriptor out at its
  // current position. In file mode the copy stays inside the kernel. False
  // when the range is outside the buffer or a write fails. Requires: no
  // view open.
  bool writeRangeTo(int out, int offset, int length);

  bool inFileMode() const { return fileMode_ != 0; }
  const MMapFile& filePart() const { return file_; }
  // Bytes reserved in file mode (the temporary file is one byte longer).
  int allocatedSize() const { return allocated_; }

 private:
  GrowBuf memory_;
  MMapFile file_;
  int fileMode_ = 0;
  int allocated_ = 0;
  int used_ = 0;
};
