// Semaphore: a counting semaphore. Used by pagehost's log dispatcher to
// bound the messages in flight.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

namespace dispatch {

class Semaphore {
 public:
  explicit Semaphore(long value) : value_(value) {}

  // Increments the count, waking one waiter.
  void signal();
  // Waits until the count is positive, then decrements it.
  void wait();
  // As wait(), but gives up after timeout; true when decremented.
  bool waitFor(std::chrono::steady_clock::duration timeout);

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  long value_;
};

}  // namespace dispatch
