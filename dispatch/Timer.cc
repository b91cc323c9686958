#include "dispatch/Timer.h"

#include <atomic>
#include <cassert>

#include "dispatch/Reactor.h"

namespace dispatch {
namespace {

std::atomic<size_t> liveTimers{0};

// A repeating timer with no period would fire without pause.
constexpr Timer::Duration kMinInterval = std::chrono::milliseconds(1);

}  // namespace

std::shared_ptr<Timer> Timer::oneShot(Duration delay,
                                      std::shared_ptr<SerialQueue> target,
                                      Task handler) {
  std::shared_ptr<Timer> timer(new Timer(
      delay, Duration::zero(), std::move(target), std::move(handler)));
  Reactor::shared().arm(timer);
  return timer;
}

std::shared_ptr<Timer> Timer::repeating(Duration interval,
                                        std::shared_ptr<SerialQueue> target,
                                        Task handler) {
  assert(interval > Duration::zero() && "a repeating timer needs a period");
  if (interval < kMinInterval) interval = kMinInterval;
  std::shared_ptr<Timer> timer(
      new Timer(interval, interval, std::move(target), std::move(handler)));
  Reactor::shared().arm(timer);
  return timer;
}

Timer::Timer(Duration delay, Duration interval,
             std::shared_ptr<SerialQueue> target, Task handler)
    : state_(std::make_unique<State>(std::move(target), interval,
                                     std::chrono::steady_clock::now() + delay,
                                     std::move(handler))) {
  liveTimers.fetch_add(1, std::memory_order_relaxed);
}

Timer::~Timer() { liveTimers.fetch_sub(1, std::memory_order_relaxed); }

size_t Timer::liveCount() { return liveTimers.load(std::memory_order_relaxed); }

void Timer::cancel() { Reactor::shared().cancel(shared_from_this()); }

bool Timer::isCancelled() const { return Reactor::shared().isCancelled(*this); }

}  // namespace dispatch
