#include "dispatch/SerialQueue.h"

#include <sys/types.h>
#include <unistd.h>

#include <cassert>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>
#include <vector>

#include "dispatch/QueueRunner.h"
#include "dispatch/WorkerPool.h"

namespace dispatch {
namespace {

// How many tasks one queue runs per turn on a worker before it goes to the
// back of the pool's line, so that a busy queue cannot starve the others.
constexpr int kBatch = 16;

enum class RunState {
  kIdle,       // No task waits; nobody runs the queue.
  kScheduled,  // Tasks wait; the pool (or main loop) will run the queue.
  kRunning,    // One thread owns the queue's turn: a worker, the main loop
               // or a sync caller.
};

// A sync caller parked in the queue's FIFO. Whoever reaches it hands the
// queue's turn over to the caller's thread.
struct SyncWaiter {
  std::condition_variable cv;
  bool granted = false;
};

struct Item {
  Task task;
  SyncWaiter* waiter = nullptr;  // Set for a sync caller, with no task.
};

// The queues the calling thread runs, innermost first: a task of queue A
// that calls B.sync(...) runs B's task with B on top and A below it.
struct Frame {
  SerialQueue* queue;
  Frame* prev;
};
thread_local Frame* tlsTop = nullptr;

class FrameScope {
 public:
  explicit FrameScope(SerialQueue* queue) : frame_{queue, tlsTop} {
    tlsTop = &frame_;
  }
  ~FrameScope() { tlsTop = frame_.prev; }
  FrameScope(const FrameScope&) = delete;
  FrameScope& operator=(const FrameScope&) = delete;

 private:
  Frame frame_;
};

[[maybe_unused]] bool isOnThisThread(const SerialQueue* queue) {
  for (Frame* f = tlsTop; f != nullptr; f = f->prev) {
    if (f->queue == queue) return true;
  }
  return false;
}

bool isMainThread() { return gettid() == getpid(); }

void grant(SyncWaiter* waiter) {
  waiter->granted = true;
  waiter->cv.notify_one();
}

// Runs one task as part of queue. The task object is destroyed before the
// frame ends: captures that release the last reference to an object whose
// destructor checks "am I on my queue?" must still see the queue.
void runTask(SerialQueue* queue, Task& task) {
  FrameScope frame(queue);
  Task local = std::move(task);
  local();
}

}  // namespace

struct SerialQueue::State {
  std::mutex mutex;
  std::deque<Item> items;
  RunState run = RunState::kIdle;

  // Main queue only: its turn is taken by runMainLoop() on the main thread.
  bool mainThreadBound = false;
  std::condition_variable mainLoopCv;
  bool loopRunning = false;
  bool stopRequested = false;

  // Separate from `mutex` so that lookups never wait behind submissions.
  std::mutex specificsMutex;
  std::vector<std::pair<const void*, void*>> specifics;
};

std::shared_ptr<SerialQueue> SerialQueue::create(std::string label) {
  return std::shared_ptr<SerialQueue>(new SerialQueue(std::move(label)));
}

SerialQueue::SerialQueue(std::string label)
    : label_(std::move(label)), state_(std::make_unique<State>()) {}

SerialQueue::~SerialQueue() = default;

void SerialQueue::async(Task task) {
  bool wasIdle;
  {
    std::lock_guard lock(state_->mutex);
    state_->items.push_back(Item{std::move(task), nullptr});
    wasIdle = state_->run == RunState::kIdle;
    if (wasIdle) state_->run = RunState::kScheduled;
  }
  if (wasIdle) QueueRunner::schedule(*this);
}

void SerialQueue::sync(const std::function<void()>& task) {
  assert(!isOnThisThread(this) && "sync onto a queue this thread runs on");
  State& s = *state_;
  {
    std::unique_lock lock(s.mutex);
    if (s.run == RunState::kIdle) {
      s.run = RunState::kRunning;
    } else {
      SyncWaiter waiter;
      s.items.push_back(Item{Task(), &waiter});
      // A queue that waits for a worker is run right here instead, up to
      // our place in line, so that sync never needs a free worker.
      if (s.run == RunState::kScheduled && QueueRunner::canRunHere(*this)) {
        s.run = RunState::kRunning;
        QueueRunner::runUntilWaiter(*this, lock);
      }
      if (!waiter.granted) {
        // Lock order: queue, then pool.
        WorkerPool::BlockingScope blocking;
        waiter.cv.wait(lock, [&] { return waiter.granted; });
      }
    }
  }
  {
    FrameScope frame(this);
    task();
  }
  QueueRunner::finishTurn(*this);
}

bool SerialQueue::isCurrent() const {
  return tlsTop != nullptr && tlsTop->queue == this;
}

void SerialQueue::setSpecific(const void* key, void* value) {
  std::lock_guard lock(state_->specificsMutex);
  auto& specifics = state_->specifics;
  for (auto it = specifics.begin(); it != specifics.end(); ++it) {
    if (it->first != key) continue;
    if (value == nullptr) {
      specifics.erase(it);
    } else {
      it->second = value;
    }
    return;
  }
  if (value != nullptr) specifics.emplace_back(key, value);
}

void* SerialQueue::getSpecific(const void* key) {
  SerialQueue* queue = current();
  if (queue == nullptr) return nullptr;
  std::lock_guard lock(queue->state_->specificsMutex);
  for (const auto& [k, v] : queue->state_->specifics) {
    if (k == key) return v;
  }
  return nullptr;
}

SerialQueue* SerialQueue::current() {
  return tlsTop != nullptr ? tlsTop->queue : nullptr;
}

// QueueRunner

std::shared_ptr<SerialQueue> QueueRunner::createMainQueue(std::string label) {
  std::shared_ptr<SerialQueue> queue(new SerialQueue(std::move(label)));
  queue->state_->mainThreadBound = true;
  return queue;
}

bool QueueRunner::canRunHere(SerialQueue& queue) {
  return !queue.state_->mainThreadBound || isMainThread();
}

void QueueRunner::schedule(SerialQueue& queue) {
  SerialQueue::State& s = *queue.state_;
  if (s.mainThreadBound) {
    // The state change was made under s.mutex, so the loop cannot miss it.
    s.mainLoopCv.notify_all();
    return;
  }
  WorkerPool::shared().submitDrain(queue.shared_from_this());
}

void QueueRunner::drain(SerialQueue& queue) {
  SerialQueue::State& s = *queue.state_;
  std::unique_lock lock(s.mutex);
  // A sync caller may have taken the turn since this run was scheduled.
  if (s.run != RunState::kScheduled) return;
  s.run = RunState::kRunning;
  for (int n = 0; n < kBatch; ++n) {
    if (s.items.empty()) {
      s.run = RunState::kIdle;
      return;
    }
    if (s.mainThreadBound && s.stopRequested) break;
    Item item = std::move(s.items.front());
    s.items.pop_front();
    if (item.waiter != nullptr) {
      grant(item.waiter);  // The turn now belongs to the sync caller.
      return;
    }
    lock.unlock();
    runTask(&queue, item.task);
    lock.lock();
  }
  lock.unlock();
  finishTurn(queue);
}

void QueueRunner::runUntilWaiter(SerialQueue& queue,
                                 std::unique_lock<std::mutex>& lock) {
  SerialQueue::State& s = *queue.state_;
  for (;;) {
    // Our own waiter is in the FIFO, so it is never empty here.
    Item item = std::move(s.items.front());
    s.items.pop_front();
    if (item.waiter != nullptr) {
      grant(item.waiter);  // Ours, or another caller's who is ahead of us.
      return;
    }
    lock.unlock();
    runTask(&queue, item.task);
    lock.lock();
  }
}

void QueueRunner::finishTurn(SerialQueue& queue) {
  SerialQueue::State& s = *queue.state_;
  std::unique_lock lock(s.mutex);
  if (s.items.empty()) {
    s.run = RunState::kIdle;
    return;
  }
  if (s.items.front().waiter != nullptr) {
    // Hand the turn straight to the waiting sync caller.
    SyncWaiter* waiter = s.items.front().waiter;
    s.items.pop_front();
    grant(waiter);
    return;
  }
  s.run = RunState::kScheduled;
  lock.unlock();
  schedule(queue);
}

void QueueRunner::runMainLoop(SerialQueue& queue) {
  SerialQueue::State& s = *queue.state_;
  std::unique_lock lock(s.mutex);
  assert(!s.loopRunning && "runMainLoop() is not reentrant");
  s.loopRunning = true;
  for (;;) {
    s.mainLoopCv.wait(
        lock, [&] { return s.stopRequested || s.run == RunState::kScheduled; });
    if (s.stopRequested) break;
    lock.unlock();
    drain(queue);
    lock.lock();
  }
  s.stopRequested = false;
  s.loopRunning = false;
}

void QueueRunner::stopMainLoop(SerialQueue& queue) {
  SerialQueue::State& s = *queue.state_;
  std::lock_guard lock(s.mutex);
  s.stopRequested = true;
  s.mainLoopCv.notify_all();
}

}  // namespace dispatch
