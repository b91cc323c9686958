#include "dispatch/Semaphore.h"

#include "dispatch/WorkerPool.h"

namespace dispatch {

void Semaphore::signal() {
  std::lock_guard lock(mutex_);
  ++value_;
  cv_.notify_one();
}

void Semaphore::wait() {
  std::unique_lock lock(mutex_);
  if (value_ == 0) {
    // Lock order: semaphore, then pool.
    WorkerPool::BlockingScope blocking;
    cv_.wait(lock, [this] { return value_ > 0; });
  }
  --value_;
}

bool Semaphore::waitFor(std::chrono::steady_clock::duration timeout) {
  std::unique_lock lock(mutex_);
  if (value_ == 0) {
    WorkerPool::BlockingScope blocking;
    if (!cv_.wait_for(lock, timeout, [this] { return value_ > 0; })) {
      return false;
    }
  }
  --value_;
  return true;
}

}  // namespace dispatch
