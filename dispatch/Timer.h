// Timer: runs a handler on a target SerialQueue after a delay, once
// (oneShot) or every interval (repeating) until cancelled.
// Used by QueueSocket (read and write timeouts) and pagehost's host link
// (its 2-second check).
//
// Guarantee: once cancel() has returned on the target queue, the handler
// never runs again. cancel() from another thread stops every firing that
// has not started yet. One timer's firings never overlap: a repeating timer
// whose previous firing still waits on the target queue skips a period.
// The handler is released once the timer is cancelled or a one-shot timer
// has fired.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>

#include "dispatch/SerialQueue.h"

namespace dispatch {

class Timer : public std::enable_shared_from_this<Timer> {
 public:
  using Duration = std::chrono::steady_clock::duration;

  // The timer keeps itself alive while armed; the returned handle is only
  // needed to cancel it.
  static std::shared_ptr<Timer> oneShot(Duration delay,
                                        std::shared_ptr<SerialQueue> target,
                                        Task handler);
  // Requires: interval > 0.
  static std::shared_ptr<Timer> repeating(Duration interval,
                                          std::shared_ptr<SerialQueue> target,
                                          Task handler);
  ~Timer();

  // May be called from any thread, any number of times.
  void cancel();
  bool isCancelled() const;

  // Timers alive in the process (for tests: nothing left behind).
  static size_t liveCount();

 private:
  Timer(Duration delay, Duration interval, std::shared_ptr<SerialQueue> target,
        Task handler);
  friend class Reactor;
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace dispatch
