#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "dispatch/Semaphore.h"
#include "dispatch/SerialQueue.h"
#include "dispatch/Timer.h"
#include "dispatch/tests/TestSupport.h"

namespace dispatch {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;
using testing::kPatience;

class TimerTest : public testing::LeakCheckedTest {};

TEST_F(TimerTest, OneShotFiresOnceOnItsQueueNotBeforeItsDelay) {
  auto queue = SerialQueue::create("timers");
  Semaphore fired(0);
  std::atomic<int> calls{0};
  std::atomic<bool> onQueue{false};
  const auto start = Clock::now();
  Clock::time_point firedAt;
  Timer::oneShot(milliseconds(20), queue, [&] {
    onQueue = queue->isCurrent();
    firedAt = Clock::now();
    ++calls;
    fired.signal();
  });
  ASSERT_TRUE(fired.waitFor(kPatience));
  queue->sync([&] {
    EXPECT_TRUE(onQueue.load());
    EXPECT_GE(firedAt - start, milliseconds(20));
  });
  // A second firing would come long before this one-shot.
  Semaphore later(0);
  Timer::oneShot(milliseconds(60), queue, [&] { later.signal(); });
  ASSERT_TRUE(later.waitFor(kPatience));
  EXPECT_EQ(calls.load(), 1);
}

TEST_F(TimerTest, ManyTimersEachFireOnceAndNeverEarly) {
  auto queue = SerialQueue::create("timers");
  constexpr int kTimers = 200;
  Semaphore fired(0);
  std::vector<int> calls(kTimers, 0);  // Only on the queue.
  int early = 0;
  for (int i = 0; i < kTimers; ++i) {
    // Shuffled delays of 0..99 ms.
    const auto delay = milliseconds((i * 37) % 100);
    const auto earliest = Clock::now() + delay;
    Timer::oneShot(delay, queue, [&, i, earliest] {
      if (Clock::now() < earliest) ++early;
      ++calls[i];
      fired.signal();
    });
  }
  for (int i = 0; i < kTimers; ++i) ASSERT_TRUE(fired.waitFor(kPatience));
  queue->sync([&] {
    EXPECT_EQ(early, 0);
    EXPECT_EQ(calls, std::vector<int>(kTimers, 1));
  });
}

TEST_F(TimerTest, RepeatingFiresUntilCancelledInItsHandler) {
  auto queue = SerialQueue::create("timers");
  Semaphore stopped(0);
  int calls = 0;  // Only on the queue.
  std::shared_ptr<Timer> timer;
  queue->sync([&] {
    timer = Timer::repeating(milliseconds(2), queue, [&] {
      if (++calls == 5) {
        timer->cancel();
        EXPECT_TRUE(timer->isCancelled());
        stopped.signal();
      }
    });
  });
  ASSERT_TRUE(stopped.waitFor(kPatience));
  // Firings that were due meanwhile must not run after the cancel.
  Semaphore later(0);
  Timer::oneShot(milliseconds(30), queue, [&] { later.signal(); });
  ASSERT_TRUE(later.waitFor(kPatience));
  queue->sync([&] { EXPECT_EQ(calls, 5); });
  timer.reset();
}

TEST_F(TimerTest, CancelBeforeTheDeadlineMeansNoFiringAndNoReferences) {
  auto queue = SerialQueue::create("timers");
  auto held = std::make_shared<int>(0);
  auto timer = Timer::oneShot(milliseconds(20), queue, [held] {
    ADD_FAILURE() << "cancelled timer ran";
  });
  timer->cancel();
  timer->cancel();  // A second cancel is harmless.
  EXPECT_TRUE(timer->isCancelled());
  // The handler, and what it holds, is released at once.
  EXPECT_EQ(held.use_count(), 1);
  Semaphore later(0);
  Timer::oneShot(milliseconds(50), queue, [&] { later.signal(); });
  ASSERT_TRUE(later.waitFor(kPatience));
}

// Thousands of read/write timeouts are armed and cancelled long before they
// are due: none may linger until its deadline.
TEST_F(TimerTest, CancelledTimersLeaveNothingBehind) {
  auto queue = SerialQueue::create("timers");
  const size_t before = Timer::liveCount();
  std::vector<std::shared_ptr<Timer>> timers;
  for (int i = 0; i < 5000; ++i) {
    timers.push_back(Timer::oneShot(std::chrono::hours(1), queue, [] {
      ADD_FAILURE() << "cancelled timer ran";
    }));
  }
  for (size_t i = 0; i < timers.size(); i += 2) timers[i]->cancel();
  for (size_t i = 1; i < timers.size(); i += 2) timers[i]->cancel();
  timers.clear();
  EXPECT_EQ(Timer::liveCount(), before);
}

// While a far deadline is the earliest, the reactor sleeps until it: a
// nearer timer armed then must cut that sleep short, each time.
TEST_F(TimerTest, NearTimerArmedBehindAFarOneFiresOnTime) {
  auto queue = SerialQueue::create("timers");
  auto far = Timer::oneShot(std::chrono::hours(1), queue,
                            [] { ADD_FAILURE() << "far timer ran"; });
  for (int round = 0; round < 3; ++round) {
    Semaphore fired(0);
    Timer::oneShot(milliseconds(5), queue, [&] { fired.signal(); });
    ASSERT_TRUE(fired.waitFor(kPatience)) << "round " << round;
  }
  far->cancel();
}

// A firing already queued behind a busy task is dropped when the busy task
// cancels the timer: once cancel() returned on the target queue, the
// handler never runs.
TEST_F(TimerTest, CancelOnTheTargetQueueDropsAQueuedFiring) {
  auto queue = SerialQueue::create("timers");
  for (int round = 0; round < 20; ++round) {
    Semaphore gate(0);
    Semaphore finished(0);
    std::shared_ptr<Timer> timer;
    queue->async([&] {
      gate.wait();
      timer->cancel();
      finished.signal();
    });
    timer = Timer::oneShot(milliseconds(round % 3), queue, [] {
      ADD_FAILURE() << "handler ran after cancel()";
    });
    // Let the deadline pass while the queue is busy, most rounds.
    std::this_thread::sleep_for(milliseconds(round % 5));
    gate.signal();
    ASSERT_TRUE(finished.waitFor(kPatience));
  }
  queue->sync([] {});
}

// cancel() from another thread racing with firings: the handler may run or
// not, but never after a cancel() that returned on the target queue.
TEST_F(TimerTest, CancelRacingWithFiringsFromOtherThreads) {
  auto queue = SerialQueue::create("timers");
  for (int round = 0; round < 300; ++round) {
    auto cancelled = std::make_shared<bool>(false);  // Only on the queue.
    auto timer = Timer::repeating(milliseconds(1), queue, [cancelled] {
      if (*cancelled) ADD_FAILURE() << "handler ran after cancel()";
    });
    if (round % 2 == 0) {
      std::this_thread::sleep_for(std::chrono::microseconds(round * 7 % 1500));
      timer->cancel();
      queue->async([cancelled] { *cancelled = true; });
    } else {
      queue->sync([&] {
        timer->cancel();
        *cancelled = true;
      });
    }
  }
  queue->sync([] {});
}

}  // namespace
}  // namespace dispatch
