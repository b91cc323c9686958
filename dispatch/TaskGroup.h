// TaskGroup: counts tasks in flight so a caller can wait for all of them
// or be notified when they are done. The group must outlive the tasks
// submitted through it and every enter() must be matched by a leave()
// before it is destroyed. Notifications run once each, on their queue,
// after the count last reached zero.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "dispatch/SerialQueue.h"

namespace dispatch {

class TaskGroup {
 public:
  // Submits task to queue as part of the group.
  void async(const std::shared_ptr<SerialQueue>& queue, Task task);
  // Marks work entered / left by hand (each enter needs one leave).
  void enter();
  void leave();
  // Blocks until no task of the group is in flight.
  void wait();
  // As wait(), but gives up after timeout; true when the group emptied.
  bool waitFor(std::chrono::steady_clock::duration timeout);
  // Submits task to queue once the group is empty (at once if it is).
  void notify(const std::shared_ptr<SerialQueue>& queue, Task task);

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  long count_ = 0;
  std::vector<std::pair<std::shared_ptr<SerialQueue>, Task>> notifiers_;
};

}  // namespace dispatch
