#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "dispatch/ConcurrentQueue.h"
#include "dispatch/Semaphore.h"
#include "dispatch/SerialQueue.h"
#include "dispatch/TaskGroup.h"
#include "dispatch/WorkerPool.h"
#include "dispatch/tests/TestSupport.h"

namespace dispatch {
namespace {

using testing::kPatience;

// Tasks of one queue never overlap and run in each submitter's order, and
// each sees what the tasks before it wrote (plain ints, checked by TSan).
TEST(SerialQueueTest, RunsTasksInOrderOneAtATime) {
  auto queue = SerialQueue::create("order");
  static constexpr int kThreads = 4;
  static constexpr int kPerThread = 2000;
  struct Shared {
    std::atomic<bool> inside{false};
    int overlaps = 0;
    int lastSeen[kThreads] = {};
    int outOfOrder = 0;
    int total = 0;
  };
  auto shared = std::make_shared<Shared>();
  Semaphore done(0);
  std::vector<std::thread> submitters;
  for (int t = 0; t < kThreads; ++t) {
    submitters.emplace_back([&, t] {
      for (int i = 1; i <= kPerThread; ++i) {
        auto task = [shared, t, i, &done] {
          if (shared->inside.exchange(true)) ++shared->overlaps;
          if (shared->lastSeen[t] != i - 1) ++shared->outOfOrder;
          shared->lastSeen[t] = i;
          if (++shared->total == kThreads * kPerThread) done.signal();
          shared->inside = false;
        };
        // Mix in sync calls: they take their place in line like a task.
        if (i % 100 == 0) {
          queue->sync(task);
        } else {
          queue->async(task);
        }
      }
    });
  }
  for (auto& t : submitters) t.join();
  ASSERT_TRUE(done.waitFor(kPatience));
  queue->sync([&] {
    EXPECT_EQ(shared->overlaps, 0);
    EXPECT_EQ(shared->outOfOrder, 0);
    EXPECT_EQ(shared->total, kThreads * kPerThread);
  });
}

TEST(SerialQueueTest, SyncRunsOnCallerAfterEarlierTasksAndBeforeLaterOnes) {
  auto queue = SerialQueue::create("sync");
  Semaphore gate(0);
  std::vector<int> order;  // Touched only on the queue.
  queue->async([&] {
    gate.wait();
    order.push_back(1);
  });
  queue->async([&] { order.push_back(2); });
  std::thread opener([&] { gate.signal(); });
  const auto caller = std::this_thread::get_id();
  std::thread::id ranOn;
  queue->sync([&] {
    ranOn = std::this_thread::get_id();
    order.push_back(3);
    // Submitted from inside: must wait until the sync task has ended.
    queue->async([&] { order.push_back(5); });
    order.push_back(4);
  });
  opener.join();
  EXPECT_EQ(ranOn, caller);
  queue->sync([&] { EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4, 5})); });
}

// A chain of sync calls across queues, each link made from a pool thread,
// with the head queue busy in a sync of its own: nothing waits for a worker.
TEST(SerialQueueTest, SyncChainsAcrossQueuesFromPoolThreads) {
  auto first = SerialQueue::create("first");
  auto second = SerialQueue::create("second");
  auto third = SerialQueue::create("third");
  Semaphore thirdGate(0);
  Semaphore secondInSync(0);
  Semaphore done(0);
  std::vector<std::string> trail;  // Guarded by "third" (the innermost).

  // third is busy until thirdGate opens.
  third->async([&] { thirdGate.wait(); });
  // second's current task waits in a sync on third.
  second->async([&] {
    secondInSync.signal();
    third->sync([&] { trail.push_back("second->third"); });
  });
  ASSERT_TRUE(secondInSync.waitFor(kPatience));
  // From a pool thread, first syncs onto second, whose task is waiting.
  first->async([&] {
    second->sync([&] {
      EXPECT_TRUE(second->isCurrent());
      third->sync([&] { trail.push_back("first->second->third"); });
    });
    done.signal();
  });
  thirdGate.signal();
  ASSERT_TRUE(done.waitFor(kPatience));
  third->sync([&] {
    EXPECT_EQ(trail, (std::vector<std::string>{"second->third",
                                               "first->second->third"}));
  });
}

// Every pool worker is blocked; sync onto a queue with a task waiting for a
// worker must not depend on one: the waiting task and the sync task run.
TEST(SerialQueueTest, SyncDoesNotNeedAFreeWorker) {
  const int workers = WorkerPool::shared().threadCount() + 4;
  Semaphore release(0);
  std::vector<std::shared_ptr<SerialQueue>> blockers;
  for (int i = 0; i < workers; ++i) {
    blockers.push_back(SerialQueue::create("blocker"));
    blockers.back()->async([&] { release.wait(); });
  }
  auto queue = SerialQueue::create("target");
  std::vector<int> order;
  queue->async([&] { order.push_back(1); });
  queue->sync([&] { order.push_back(2); });
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  for (int i = 0; i < workers; ++i) release.signal();
  TaskGroup group;
  for (auto& q : blockers) group.async(q, [] {});
  EXPECT_TRUE(group.waitFor(kPatience));
}

TEST(SerialQueueTest, ThousandsOfQueuesShareAFewWorkers) {
  constexpr int kQueues = 3000;
  constexpr int kTasks = 20;
  std::vector<std::shared_ptr<SerialQueue>> queues;
  std::vector<int> counters(kQueues, 0);  // counters[i] only on queue i.
  std::atomic<int> misordered{0};
  TaskGroup group;
  for (int i = 0; i < kQueues; ++i) {
    queues.push_back(SerialQueue::create("many"));
  }
  for (int n = 0; n < kTasks; ++n) {
    for (int i = 0; i < kQueues; ++i) {
      group.async(queues[i], [&, i, n] {
        if (counters[i]++ != n) ++misordered;
      });
    }
  }
  ASSERT_TRUE(group.waitFor(kPatience));
  EXPECT_EQ(misordered.load(), 0);
  for (int i = 0; i < kQueues; ++i) {
    queues[i]->sync([&] { ASSERT_EQ(counters[i], kTasks); });
  }
  // No thread per queue: the pool stays small.
  EXPECT_LT(WorkerPool::shared().threadCount(), 64);
}

TEST(SerialQueueTest, SpecificsAndCurrentFollowSyncNesting) {
  static const char kKey = 0;
  static const char kOtherKey = 0;
  int valueA = 1;
  int valueB = 2;
  auto a = SerialQueue::create("a");
  auto b = SerialQueue::create("b");
  a->setSpecific(&kKey, &valueA);
  b->setSpecific(&kKey, &valueB);

  EXPECT_EQ(SerialQueue::current(), nullptr);
  EXPECT_EQ(SerialQueue::getSpecific(&kKey), nullptr);
  EXPECT_FALSE(a->isCurrent());

  a->sync([&] {
    EXPECT_EQ(SerialQueue::current(), a.get());
    EXPECT_EQ(SerialQueue::getSpecific(&kKey), &valueA);
    EXPECT_EQ(SerialQueue::getSpecific(&kOtherKey), nullptr);
    b->sync([&] {
      EXPECT_EQ(SerialQueue::current(), b.get());
      EXPECT_TRUE(b->isCurrent());
      EXPECT_FALSE(a->isCurrent());
      EXPECT_EQ(SerialQueue::getSpecific(&kKey), &valueB);
    });
    EXPECT_TRUE(a->isCurrent());
    EXPECT_EQ(SerialQueue::getSpecific(&kKey), &valueA);
  });

  Semaphore done(0);
  a->async([&] {
    EXPECT_EQ(SerialQueue::getSpecific(&kKey), &valueA);
    b->sync([&] { EXPECT_EQ(SerialQueue::getSpecific(&kKey), &valueB); });
    EXPECT_EQ(SerialQueue::current(), a.get());
    done.signal();
  });
  ASSERT_TRUE(done.waitFor(kPatience));

  a->setSpecific(&kKey, nullptr);
  a->sync([&] { EXPECT_EQ(SerialQueue::getSpecific(&kKey), nullptr); });
  EXPECT_EQ(SerialQueue::current(), nullptr);
}

// The last reference to a queue may go while tasks wait: they still run.
TEST(SerialQueueTest, QueueLivesUntilItsTasksHaveRun) {
  Semaphore gate(0);
  Semaphore done(0);
  std::weak_ptr<SerialQueue> weak;
  {
    auto queue = SerialQueue::create("short-lived");
    weak = queue;
    queue->async([&] { gate.wait(); });
    for (int i = 0; i < 3; ++i) queue->async([&] { done.signal(); });
  }
  gate.signal();
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(done.waitFor(kPatience));
  EXPECT_TRUE(testing::eventually([&] { return weak.expired(); }));
}

// Background jobs that block for a long time must not starve the serial
// queues, however many of them there are.
TEST(SerialQueueTest, BlockedBackgroundJobsLeaveWorkersForSerialQueues) {
  const int jobs = WorkerPool::shared().threadCount() + 3;
  Semaphore release(0);
  Semaphore started(0);
  Semaphore finished(0);
  for (int i = 0; i < jobs; ++i) {
    ConcurrentQueue::shared().async([&] {
      started.signal();
      release.wait();
      finished.signal();
    });
  }
  for (int i = 0; i < jobs; ++i) ASSERT_TRUE(started.waitFor(kPatience));
  auto queue = SerialQueue::create("served");
  Semaphore served(0);
  queue->async([&] { served.signal(); });
  EXPECT_TRUE(served.waitFor(kPatience));
  for (int i = 0; i < jobs; ++i) release.signal();
  for (int i = 0; i < jobs; ++i) ASSERT_TRUE(finished.waitFor(kPatience));
}

// A task's submissions run on its own worker right after it; when the task
// then blocks outside the library (here on a std::future, which the pool
// cannot see), they must still run elsewhere, or the two would wait for
// each other forever. Also through a sync and a semaphore, which hand the
// work over at once.
TEST(SerialQueueTest, WorkSubmittedBeforeBlockingStillRuns) {
  enum class Wait { kFuture, kSemaphore, kSyncOntoBusyQueue };
  for (Wait wait : {Wait::kFuture, Wait::kSemaphore, Wait::kSyncOntoBusyQueue}) {
    auto waiter = SerialQueue::create("waiter");
    auto helper = SerialQueue::create("helper");
    auto busy = SerialQueue::create("busy");
    Semaphore done(0);
    waiter->async([&] {
      switch (wait) {
        case Wait::kFuture: {
          std::promise<void> promise;
          helper->async([&] { promise.set_value(); });
          EXPECT_EQ(promise.get_future().wait_for(kPatience),
                    std::future_status::ready);
          break;
        }
        case Wait::kSemaphore: {
          Semaphore signalled(0);
          helper->async([&] { signalled.signal(); });
          EXPECT_TRUE(signalled.waitFor(kPatience));
          break;
        }
        case Wait::kSyncOntoBusyQueue: {
          // busy runs a task that waits for helper's task, submitted after
          // it from here.
          Semaphore entered(0);
          Semaphore release(0);
          busy->async([&] {
            entered.signal();
            EXPECT_TRUE(release.waitFor(kPatience));
          });
          EXPECT_TRUE(entered.waitFor(kPatience));
          helper->async([&] { release.signal(); });
          busy->sync([] {});
          break;
        }
      }
      done.signal();
    });
    EXPECT_TRUE(done.waitFor(kPatience)) << static_cast<int>(wait);
  }
}

// Two queues that hand a task to each other forever keep a worker busy
// without end; other queues and the reactor's events must still get turns.
struct HopChain {
  std::shared_ptr<SerialQueue> ping = SerialQueue::create("ping");
  std::shared_ptr<SerialQueue> pong = SerialQueue::create("pong");
  std::atomic<bool> stop{false};
  std::atomic<long> hops{0};
};

void hop(const std::shared_ptr<HopChain>& chain, bool toPong) {
  if (chain->stop.load()) return;
  ++chain->hops;
  (toPong ? chain->pong : chain->ping)->async([chain, toPong] {
    hop(chain, !toPong);
  });
}

TEST(SerialQueueTest, EndlessHopsDoNotStarveOtherWork) {
  auto chain = std::make_shared<HopChain>();
  const int chains = WorkerPool::shared().threadCount() + 2;
  for (int i = 0; i < chains; ++i) hop(chain, i % 2 == 0);
  auto other = SerialQueue::create("other");
  for (int round = 0; round < 20; ++round) {
    Semaphore ran(0);
    other->async([&] { ran.signal(); });
    ASSERT_TRUE(ran.waitFor(kPatience));
  }
  chain->stop = true;
  // A hop that saw the flag still clear submits one more, which ends.
  for (int i = 0; i < 2; ++i) {
    chain->ping->sync([] {});
    chain->pong->sync([] {});
  }
  EXPECT_GT(chain->hops.load(), 0);
}

// Signals meant for the process (SIGTERM from the host) must not land on a
// library thread in the middle of a task; faults must still be reported.
TEST(SerialQueueTest, LibraryThreadsBlockProcessSignalsOnly) {
  auto queue = SerialQueue::create("signals");
  sigset_t mask;
  sigemptyset(&mask);
  Semaphore done(0);
  queue->async([&] {
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    done.signal();
  });
  ASSERT_TRUE(done.waitFor(kPatience));
  sigset_t backgroundMask;
  sigemptyset(&backgroundMask);
  ConcurrentQueue::shared().async([&] {
    pthread_sigmask(SIG_BLOCK, nullptr, &backgroundMask);
    done.signal();
  });
  ASSERT_TRUE(done.waitFor(kPatience));
  for (const sigset_t* set : {&mask, &backgroundMask}) {
    EXPECT_TRUE(sigismember(set, SIGTERM));
    EXPECT_TRUE(sigismember(set, SIGINT));
    EXPECT_FALSE(sigismember(set, SIGSEGV));
  }
}

}  // namespace
}  // namespace dispatch
