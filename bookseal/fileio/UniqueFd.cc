#include "bookseal/fileio/UniqueFd.h"

#include <unistd.h>

#include <cassert>

namespace bookseal {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) reset(std::exchange(other.fd_, -1));
  return *this;
}

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) {
    assert(fd_ > 2);
    // close is not retried on EINTR: on Linux the descriptor is gone
    // either way, and a retry could close one opened meanwhile.
    ::close(fd_);
  }
  fd_ = fd;
}

}  // namespace bookseal
