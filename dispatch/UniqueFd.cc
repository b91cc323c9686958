#include "dispatch/UniqueFd.h"

#include <unistd.h>

namespace dispatch {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

void UniqueFd::reset(int fd) {
  int old = std::exchange(fd_, fd);
  // close() is not retried on EINTR: on Linux the descriptor is released
  // even then, and a retry could close a number another thread just got.
  if (old >= 0) ::close(old);
}

}  // namespace dispatch
