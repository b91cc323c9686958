#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "dispatch/MainQueue.h"
#include "dispatch/Semaphore.h"
#include "dispatch/SerialQueue.h"
#include "dispatch/tests/TestSupport.h"

// GoogleTest runs the tests on the process's main thread, as runMainLoop()
// requires; each test runs in a process of its own.

namespace dispatch {
namespace {

TEST(MainQueueTest, RunsTasksOnTheMainThreadUntilStoppedFromElsewhere) {
  const auto mainThread = std::this_thread::get_id();
  std::vector<int> order;  // Touched only on the main queue.
  int offThread = 0;
  // Submitted before the loop runs: they wait for it.
  mainQueue()->async([&] { order.push_back(1); });
  mainQueue()->async([&] { order.push_back(2); });
  auto worker = SerialQueue::create("worker");
  worker->async([&] {
    mainQueue()->async([&] {
      if (std::this_thread::get_id() != mainThread) ++offThread;
      EXPECT_TRUE(mainQueue()->isCurrent());
      order.push_back(3);
    });
    // A sync from a worker runs once the main queue is idle, in line.
    mainQueue()->sync([&] { order.push_back(4); });
    stopMainLoop();
  });
  runMainLoop();
  EXPECT_EQ(offThread, 0);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
}

TEST(MainQueueTest, StopBeforeTheLoopMakesItReturnAtOnce) {
  stopMainLoop();
  runMainLoop();  // Would hang if the early stop were lost.
  // The request was used up: a second loop runs until stopped again.
  bool ran = false;
  mainQueue()->async([&] {
    ran = true;
    stopMainLoop();
  });
  runMainLoop();
  EXPECT_TRUE(ran);
}

TEST(MainQueueTest, TasksAfterTheStoppingTaskWaitForTheNextLoop) {
  std::vector<int> order;
  mainQueue()->async([&] {
    order.push_back(1);
    stopMainLoop();
  });
  mainQueue()->async([&] { order.push_back(2); });
  runMainLoop();
  EXPECT_EQ(order, (std::vector<int>{1}));
  mainQueue()->async([] { stopMainLoop(); });
  runMainLoop();
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

// On the main thread outside the loop, sync runs what waits ahead of it
// instead of waiting for a loop that is not running.
TEST(MainQueueTest, SyncOnTheMainThreadOutsideTheLoopRunsPendingTasks) {
  std::vector<int> order;
  mainQueue()->async([&] { order.push_back(1); });
  mainQueue()->sync([&] {
    EXPECT_TRUE(mainQueue()->isCurrent());
    order.push_back(2);
  });
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

}  // namespace
}  // namespace dispatch
