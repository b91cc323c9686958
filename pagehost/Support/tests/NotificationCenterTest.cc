#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pagehost/Support/NotificationCenter.h"

namespace {

// A one-way latch the tests use to hand control between threads.
class Latch {
 public:
  void open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    cv_.notify_all();
  }
  void wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
};

TEST(NotificationCenterTest, DeliversByNameInOrderOnThePostingThread) {
  NotificationCenter center;
  std::vector<std::string> calls;
  const auto poster = std::this_thread::get_id();
  center.addObserver("KXLocalPort", [&](const Notification& n) {
    EXPECT_EQ(std::this_thread::get_id(), poster);
    EXPECT_EQ(n.name, "KXLocalPort");
    const auto* port = std::any_cast<uint16_t>(&n.object);
    ASSERT_NE(port, nullptr);
    calls.push_back("first:" + std::to_string(*port));
  });
  center.addObserver("HTTPConnectionDidDie", [&](const Notification&) {
    calls.push_back("must never run");
  });
  center.addObserver("KXLocalPort",
                     [&](const Notification&) { calls.push_back("second"); });

  center.post("KXLocalPort", uint16_t{8080});
  center.post("SomethingElse");

  EXPECT_EQ(calls, (std::vector<std::string>{"first:8080", "second"}));
}

TEST(NotificationCenterTest, RemovedObserversGetNothingMore) {
  NotificationCenter center;
  int byId = 0, byRegistration = 0, selfRemoving = 0, addedInside = 0;
  const auto id = center.addObserver("n", [&](const Notification&) { ++byId; });
  auto registration =
      center.observe("n", [&](const Notification&) { ++byRegistration; });
  NotificationCenter::ObserverId selfId = 0;
  selfId = center.addObserver("n", [&](const Notification&) {
    ++selfRemoving;
    center.removeObserver(selfId);  // Must not wait for itself.
    center.addObserver("n", [&](const Notification&) { ++addedInside; });
  });

  center.post("n");
  EXPECT_EQ(addedInside, 0) << "an observer added during a post joins later";
  center.removeObserver(id);
  center.removeObserver(id);      // Unknown ids are ignored.
  center.removeObserver(123456);  // Never issued.
  {
    auto moved = std::move(registration);
  }  // The registration's owner ends here and removes it.
  center.post("n");

  EXPECT_EQ(byId, 1);
  EXPECT_EQ(byRegistration, 1);
  EXPECT_EQ(selfRemoving, 1);
  EXPECT_EQ(addedInside, 1);
}

// An object that removes its observer in its destructor must be safe from
// a post running concurrently on another thread.
TEST(NotificationCenterTest, RemovalWaitsForACallRunningOnAnotherThread) {
  NotificationCenter center;
  Latch entered, release;
  std::atomic<bool> handlerFinished{false};
  std::atomic<int> calls{0};
  const auto id = center.addObserver("n", [&](const Notification&) {
    ++calls;
    entered.open();
    release.wait();
    handlerFinished = true;
  });

  std::thread poster([&] { center.post("n"); });
  entered.wait();
  std::atomic<bool> removed{false};
  bool finishedWhenRemoved = false;
  std::thread remover([&] {
    center.removeObserver(id);
    finishedWhenRemoved = handlerFinished.load();
    removed = true;
  });
  // Give a faulty removal the chance to return early; correct code blocks
  // here whatever the timing.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(removed.load());
  release.open();
  remover.join();
  poster.join();
  EXPECT_TRUE(finishedWhenRemoved);

  center.post("n");
  EXPECT_EQ(calls.load(), 1);
}

}  // namespace
