// retryOnEintr: runs a system call again while it fails with EINTR.
#pragma once

#include <cerrno>

namespace base {

template <typename Call>
auto retryOnEintr(Call call) {
  decltype(call()) result;
  do {
    result = call();
  } while (result == -1 && errno == EINTR);
  return result;
}

}  // namespace base
