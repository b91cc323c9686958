// UniqueFd: the one owner of a file descriptor; closes it when destroyed.
#pragma once

#include <utility>

namespace bookseal {

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

  // Gives up ownership: returns the descriptor, which the caller must
  // close, and holds none.
  int release() { return std::exchange(fd_, -1); }

  // Closes the descriptor held before (if any) and holds fd instead.
  // Requires: the held descriptor is not 0, 1 or 2 (asserted).
  void reset(int fd = -1);

 private:
  int fd_;
};

}  // namespace bookseal
