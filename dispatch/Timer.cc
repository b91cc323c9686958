#include "dispatch/Timer.h"

#include <atomic>
#include <cassert>

#include "dispatch/Reactor.h"

namespace dispatch {
namespace {

std::atomic<size_t> liveTimers{0};

// A repeating timer with no period would fire without pause.
constexpr Timer::Duration kMinInterval = std::chrono::milliseconds(1);
// Longer delays are taken as this: "now + delay" must not overflow the
// clock, and ten years is as good as never for a running process.
constexpr Timer::Duration kMaxDelay = std::chrono::hours(24 * 365 * 10);

Timer::Duration clampDelay(Timer::Duration delay) {
  if (delay < Timer::Duration::zero()) return Timer::Duration::zero();
  return delay > kMaxDelay ? kMaxDelay : delay;
}

}  // namespace

std::shared_ptr<Timer> Timer::oneShot(Duration delay,
                                      std::shared_ptr<SerialQueue> target,
                                      Task handler) {
  assert(target != nullptr);
  std::shared_ptr<Timer> timer(new Timer(clampDelay(delay), Duration::zero(),
                                         std::move(target),
                                         std::move(handler)));
  Reactor::shared().arm(timer);
  return timer;
}

std::shared_ptr<Timer> Timer::repeating(Duration interval,
                                        std::shared_ptr<SerialQueue> target,
                                        Task handler) {
  assert(interval > Duration::zero() && "a repeating timer needs a period");
  assert(target != nullptr);
  if (interval < kMinInterval) interval = kMinInterval;
  interval = clampDelay(interval);
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
