#include "resbundle/KXPack/store/growbuf.h"

#include <algorithm>
#include <climits>
#include <cstring>

int GrowBuf::add(const void* data, int length) {
  if (data == nullptr || length <= 0) return 0;
  const int64_t newLength = int64_t{used_} + length;
  if (newLength > INT_MAX || !resize(static_cast<int>(newLength))) return 0;
  std::memcpy(data_.get() + (newLength - length), data, length);
  return static_cast<int>(newLength - length);
}

bool GrowBuf::resize(int length) {
  if (length < 0) return false;
  const int oldUsed = used_;
  if (allocated_ < length) {
    // Computed in 64 bits: 2 * length overflows int above 1 GiB.
    const int64_t wanted =
        std::min<int64_t>(2 * int64_t{length} + growthStep_, INT_MAX);
    void* grown = std::realloc(data_.get(), static_cast<size_t>(wanted));
    if (grown != nullptr) {
      (void)data_.release();
      data_.reset(static_cast<unsigned char*>(grown));
      allocated_ = static_cast<int>(wanted);
    } else {
      // Doubling asked for too much; settle for exactly what is needed.
      auto* exact = static_cast<unsigned char*>(std::malloc(length));
      if (exact == nullptr) return false;
      if (allocated_ > 0) std::memcpy(exact, data_.get(), allocated_);
      data_.reset(exact);
      allocated_ = length;
    }
  }
  used_ = length;
  if (zeroFill_ && length > oldUsed) {
    std::memset(data_.get() + oldUsed, 0, length - oldUsed);
  }
  if (used_ == 0 && allocated_ > 2 * int{growthStep_}) {
    data_.reset();
    allocated_ = 0;
  }
  return true;
}
