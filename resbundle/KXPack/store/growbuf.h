// growbuf: IGrowBuf, the growable byte buffer interface, and GrowBuf, its
// heap implementation. The pack writer's MMapBuf keeps small products in a
// GrowBuf (store/mmap.h). Not thread-safe; one user at a time.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

class IGrowBuf {
 public:
  virtual ~IGrowBuf() = default;
  // Appends length bytes of data and returns the offset where they now
  // start. Returns 0 and adds nothing when data is null, length is not
  // positive or the buffer cannot grow; callers tell this apart from an
  // append at offset 0 by getlen(), which then did not grow.
  virtual int add(const void* data, int length) = 0;
  // Makes the used length exactly length. False when the storage cannot
  // grow; the contents and length are then unchanged.
  virtual bool resize(int length) = 0;
  // The used length in bytes.
  virtual int getlen() const = 0;
  // The first byte; valid until the next resize or add.
  virtual void* get() = 0;
};

class GrowBuf : public IGrowBuf {
 public:
  GrowBuf() = default;
  GrowBuf(const GrowBuf&) = delete;
  GrowBuf& operator=(const GrowBuf&) = delete;
  ~GrowBuf() override = default;

  int add(const void* data, int length) override;
  // Grows the allocation to 2 * length + 32768 when it is too small, so
  // that appends in pieces cost amortised constant time. Shrinking to 0
  // frees an allocation above 64 KiB.
  bool resize(int length) override;
  int getlen() const override { return used_; }
  void* get() override { return data_.get(); }

  // Bytes currently allocated (at least getlen()).
  int allocatedSize() const { return allocated_; }
  // When set, bytes added by a growing resize read as 0.
  void setZeroFill(bool zeroFill) { zeroFill_ = zeroFill; }

 private:
  struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
  };

  std::unique_ptr<unsigned char, FreeDeleter> data_;
  int allocated_ = 0;
  int used_ = 0;
  bool zeroFill_ = false;
  uint16_t growthStep_ = 32768;
};
