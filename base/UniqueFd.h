// UniqueFd: the one owner of a file descriptor. Closes it when destroyed or
// reset; moving hands the descriptor over. Shared by every layer that opens
// descriptors (files, mappings, the reactor, sockets).
#pragma once

#include <unistd.h>

#include <utility>

namespace base {

class UniqueFd {
 public:
  // Takes ownership of fd (-1 means "no descriptor").
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  explicit operator bool() const { return valid(); }

  // Closes the descriptor held before (if any) and takes ownership of fd.
  // close() is not retried on EINTR: on Linux the descriptor is released
  // even then, and a retry could close a number another thread just got.
  void reset(int fd = -1) {
    const int old = std::exchange(fd_, fd);
    if (old >= 0) ::close(old);
  }
  // Gives up ownership without closing; returns the descriptor.
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

}  // namespace base
