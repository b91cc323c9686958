#include "dispatch/TaskGroup.h"

#include <cassert>
#include <utility>

#include "dispatch/WorkerPool.h"

namespace dispatch {

void TaskGroup::async(const std::shared_ptr<SerialQueue>& queue, Task task) {
  enter();
  queue->async([this, task = std::move(task)] {
    task();
    leave();
  });
}

void TaskGroup::enter() {
  std::lock_guard lock(mutex_);
  ++count_;
}

void TaskGroup::leave() {
  std::vector<std::pair<std::shared_ptr<SerialQueue>, Task>> ready;
  {
    std::lock_guard lock(mutex_);
    assert(count_ > 0 && "leave() without enter()");
    if (--count_ > 0) return;
    ready.swap(notifiers_);
    cv_.notify_all();
  }
  // The group may be gone now (a waiter woke up and destroyed it): only
  // locals are used from here on.
  for (auto& [queue, task] : ready) queue->async(std::move(task));
}

void TaskGroup::wait() {
  WorkerPool::BlockingScope blocking;
  std::unique_lock lock(mutex_);
  cv_.wait(lock, [this] { return count_ == 0; });
}

bool TaskGroup::waitFor(std::chrono::steady_clock::duration timeout) {
  std::unique_lock lock(mutex_);
  return cv_.wait_for(lock, timeout, [this] { return count_ == 0; });
}

void TaskGroup::notify(const std::shared_ptr<SerialQueue>& queue, Task task) {
  {
    std::lock_guard lock(mutex_);
    if (count_ > 0) {
      notifiers_.emplace_back(queue, std::move(task));
      return;
    }
  }
  queue->async(std::move(task));
}

}  // namespace dispatch
