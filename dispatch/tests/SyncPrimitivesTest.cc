#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "dispatch/Semaphore.h"
#include "dispatch/SerialQueue.h"
#include "dispatch/TaskGroup.h"
#include "dispatch/tests/TestSupport.h"

namespace dispatch {
namespace {

using std::chrono::milliseconds;
using testing::kPatience;

TEST(SemaphoreTest, CountsSignalsAndTimesOutWhenEmpty) {
  Semaphore sem(2);
  EXPECT_TRUE(sem.waitFor(milliseconds(0)));
  sem.wait();
  EXPECT_FALSE(sem.waitFor(milliseconds(10)));
  sem.signal();
  sem.signal();
  EXPECT_TRUE(sem.waitFor(milliseconds(0)));
  EXPECT_TRUE(sem.waitFor(milliseconds(0)));
  EXPECT_FALSE(sem.waitFor(milliseconds(0)));
}

TEST(SemaphoreTest, BoundsWorkInFlightAcrossThreads) {
  constexpr int kLimit = 3;
  Semaphore slots(kLimit);
  std::atomic<int> inFlight{0};
  std::atomic<int> maxInFlight{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        slots.wait();
        int now = ++inFlight;
        int seen = maxInFlight.load();
        while (now > seen && !maxInFlight.compare_exchange_weak(seen, now)) {
        }
        std::this_thread::yield();
        --inFlight;
        slots.signal();
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_LE(maxInFlight.load(), kLimit);
  EXPECT_GE(maxInFlight.load(), 1);
}

TEST(TaskGroupTest, WaitReturnsAfterEveryTaskOnEveryQueue) {
  TaskGroup group;
  std::atomic<int> ran{0};
  std::vector<std::shared_ptr<SerialQueue>> queues;
  for (int i = 0; i < 8; ++i) queues.push_back(SerialQueue::create("g"));
  for (int n = 0; n < 100; ++n) {
    for (auto& q : queues) group.async(q, [&] { ++ran; });
  }
  group.wait();
  EXPECT_EQ(ran.load(), 800);
}

TEST(TaskGroupTest, NotifyRunsOnceAfterTheLastTask) {
  TaskGroup group;
  auto work = SerialQueue::create("work");
  auto done = SerialQueue::create("done");
  Semaphore gate(0);
  Semaphore notified(0);
  int ran = 0;  // Written on "work", read on "done" after the group ended.
  int seenByNotify = -1;
  group.async(work, [&] { gate.wait(); });
  for (int i = 0; i < 10; ++i) group.async(work, [&] { ++ran; });
  group.notify(done, [&] {
    seenByNotify = ran;
    notified.signal();
  });
  EXPECT_FALSE(group.waitFor(milliseconds(10)));
  gate.signal();
  ASSERT_TRUE(notified.waitFor(kPatience));
  done->sync([&] { EXPECT_EQ(seenByNotify, 10); });
  // An empty group notifies at once, and earlier notifications are spent.
  group.notify(done, [&] { notified.signal(); });
  ASSERT_TRUE(notified.waitFor(kPatience));
  EXPECT_FALSE(notified.waitFor(milliseconds(10)));
}

TEST(TaskGroupTest, ManualEnterAndLeave) {
  TaskGroup group;
  group.enter();
  group.enter();
  EXPECT_FALSE(group.waitFor(milliseconds(0)));
  group.leave();
  EXPECT_FALSE(group.waitFor(milliseconds(0)));
  std::thread leaver([&] { group.leave(); });
  EXPECT_TRUE(group.waitFor(kPatience));
  leaver.join();
}

}  // namespace
}  // namespace dispatch
