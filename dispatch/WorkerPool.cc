#include "dispatch/WorkerPool.h"

#include <algorithm>
#include <thread>

#include "dispatch/DetachedThread.h"

namespace dispatch {
namespace {

using Clock = std::chrono::steady_clock;

// Work that waited this long while no worker was free makes the pool grow:
// long enough that a burst of short tasks never does, short enough that a
// worker blocked on another queue's progress is soon relieved.
constexpr auto kStallTime = std::chrono::milliseconds(50);
// Extra threads (beyond the base) end after this long without work.
constexpr auto kRetireAfter = std::chrono::seconds(10);
// A hard bound, so that a program that blocks every worker forever cannot
// make the pool exhaust the process.
constexpr int kMaxThreads = 256;

}  // namespace

WorkerPool& WorkerPool::shared() {
  // Never destroyed: detached workers may still use it during exit.
  static WorkerPool* pool = new WorkerPool();
  return *pool;
}

WorkerPool::WorkerPool()
    : base_(std::max(2, static_cast<int>(std::thread::hardware_concurrency()))),
      lastProgress_(Clock::now()) {
  // Without its watchdog the pool still works; it only loses the growth
  // that relieves workers blocked for long.
  startDetachedThread([this] { watchdogLoop(); });
}

int WorkerPool::threadCount() {
  std::lock_guard lock(mutex_);
  return threads_;
}

void WorkerPool::submit(std::function<void()> job, JobKind kind) {
  std::lock_guard lock(mutex_);
  if (jobs_.empty()) lastProgress_ = Clock::now();
  jobs_.push_back(Job{std::move(job), kind});
  if (idle_ > 0) {
    workCv_.notify_one();
  } else if (availableLocked() < base_) {
    spawnWorkerLocked();
  } else if (watchdogParked_) {
    watchdogCv_.notify_one();
  }
}

void WorkerPool::spawnWorkerLocked() {
  // A refused thread is tried again at the next submission or stall.
  if (startDetachedThread([this] { workerLoop(); })) ++threads_;
}

void WorkerPool::workerLoop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (!jobs_.empty()) {
      Job job = std::move(jobs_.front());
      jobs_.pop_front();
      lastProgress_ = Clock::now();
      const bool mayBlock = job.kind == JobKind::kMayBlock;
      if (mayBlock) {
        ++blocking_;
        // Keep `base_` workers for everything else while this one is gone.
        if (availableLocked() < base_) spawnWorkerLocked();
      }
      lock.unlock();
      job.run();
      job.run = nullptr;  // Captures die outside the lock.
      lock.lock();
      if (mayBlock) --blocking_;
      continue;
    }
    const bool extra = availableLocked() > base_;
    ++idle_;
    if (!extra) {
      workCv_.wait(lock);
      --idle_;
      continue;
    }
    const bool timedOut =
        workCv_.wait_for(lock, kRetireAfter) == std::cv_status::timeout;
    --idle_;
    if (timedOut && jobs_.empty() && availableLocked() > base_) {
      --threads_;
      return;
    }
  }
}

void WorkerPool::watchdogLoop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (jobs_.empty() || idle_ > 0) {
      watchdogParked_ = true;
      watchdogCv_.wait(lock);
      watchdogParked_ = false;
      continue;
    }
    watchdogCv_.wait_for(lock, kStallTime);
    const bool stalled = !jobs_.empty() && idle_ == 0 &&
                         Clock::now() - lastProgress_ >= kStallTime;
    if (stalled && threads_ < kMaxThreads) {
      spawnWorkerLocked();
      // Give the new worker its own stall period before growing again.
      lastProgress_ = Clock::now();
    }
  }
}

}  // namespace dispatch
