#include "dispatch/WorkerPool.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "dispatch/DetachedThread.h"
#include "dispatch/QueueRunner.h"
#include "dispatch/Reactor.h"

namespace dispatch {
namespace {

// The watchdog's period. A job left for a running worker waits at most
// about this long when that worker blocks outside the library.
constexpr auto kTick = std::chrono::milliseconds(10);
// Work that waited this many ticks while no worker was free makes the pool
// grow: long enough that a burst of short tasks never does, short enough
// that a worker blocked on another queue's progress is soon relieved.
constexpr int kStallTicks = 5;
// The watchdog parks after this many ticks without a submission.
constexpr int kQuietTicks = 100;
// Jobs waiting per running worker before another worker is woken: a
// wake-up pays for itself only when a batch of work waits (a poll brings
// up to 64 events).
constexpr size_t kBacklogPerWorker = 64;
// A worker that never runs out of jobs polls the reactor (without
// blocking) before every this many jobs. Long enough that the events of
// one poll are handled in a batch (replies leave together, and a peer
// that is woken by the first finds the others when it looks), short
// enough that no event waits long.
constexpr int kPollEvery = 256;
// Extra threads (beyond the base) end after this long without work.
constexpr auto kRetireAfter = std::chrono::seconds(10);
// A hard bound, so that a program that blocks every worker forever cannot
// make the pool exhaust the process.
constexpr int kMaxThreads = 256;

// Set while the calling thread is a worker running a short job.
thread_local bool tlsRunningShortJob = false;

}  // namespace

WorkerPool& WorkerPool::shared() {
  // Never destroyed: detached workers may still use it during exit.
  static WorkerPool* pool = new WorkerPool();
  return *pool;
}

WorkerPool::WorkerPool()
    : base_(std::max(2, static_cast<int>(std::thread::hardware_concurrency()))) {
  // Without its watchdog the pool still works; it only loses the growth
  // that relieves workers blocked for long and the wake-up of jobs left
  // behind a worker that blocked.
  startDetachedThread([this] { watchdogLoop(); });
}

int WorkerPool::threadCount() {
  std::lock_guard lock(mutex_);
  return threads_;
}

void WorkerPool::startPolling(Reactor* reactor) {
  std::lock_guard lock(mutex_);
  reactor_ = reactor;
  // Somebody must be there to poll.
  if (idle_ > 0) {
    workCv_.notify_one();
  } else if (threads_ == 0) {
    spawnWorkerLocked();
  }
}

void WorkerPool::submit(std::function<void()> job, JobKind kind) {
  std::lock_guard lock(mutex_);
  pushLocked(Job{std::move(job), nullptr, kind});
}

void WorkerPool::submitDrain(std::shared_ptr<SerialQueue> queue) {
  std::lock_guard lock(mutex_);
  pushLocked(Job{nullptr, std::move(queue), JobKind::kShort});
}

bool WorkerPool::needsWakeLocked() const {
  return jobs_.size() > static_cast<size_t>(running_) * kBacklogPerWorker;
}

void WorkerPool::pushLocked(Job job) {
  ++submitted_;
  if (watchdogParked_) watchdogCv_.notify_one();
  const bool mayBlock = job.kind == JobKind::kMayBlock;
  jobs_.push_back(std::move(job));
  // A job that may block never waits behind a running one.
  if (mayBlock || needsWakeLocked()) wakeWorkerLocked();
}

void WorkerPool::wakeWorkerLocked() {
  if (idle_ > 0) {
    workCv_.notify_one();
  } else if (pollerBlocked_) {
    // Returns to the loop and finds the job; rare: a poller exists while
    // nobody sleeps only when every other worker is busy.
    reactor_->interrupt();
    pollerBlocked_ = false;
  } else if (availableLocked() < base_) {
    spawnWorkerLocked();
  }
  // Otherwise every worker is busy; the watchdog grows the pool if that
  // lasts.
}

void WorkerPool::ensurePollerLocked() {
  if (reactor_ == nullptr || polling_) return;
  if (idle_ > 0) {
    workCv_.notify_one();
  } else if (availableLocked() < base_) {
    spawnWorkerLocked();
  }
}

void WorkerPool::spawnWorkerLocked() {
  // A refused thread is tried again at the next submission or stall.
  if (startDetachedThread([this] { workerLoop(); })) ++threads_;
}

WorkerPool::BlockingScope::BlockingScope() : active_(tlsRunningShortJob) {
  if (!active_) return;
  WorkerPool& pool = shared();
  std::lock_guard lock(pool.mutex_);
  --pool.running_;
  if (!pool.jobs_.empty() && pool.needsWakeLocked()) pool.wakeWorkerLocked();
  // Events must not wait for this worker either.
  pool.ensurePollerLocked();
}

WorkerPool::BlockingScope::~BlockingScope() {
  if (!active_) return;
  WorkerPool& pool = shared();
  std::lock_guard lock(pool.mutex_);
  ++pool.running_;
}

void WorkerPool::pollLocked(std::unique_lock<std::mutex>& lock, bool block) {
  polling_ = true;
  pollerBlocked_ = block;
  jobsSincePoll_ = 0;
  // The poller counts as running: the jobs its events bring are left for
  // it instead of waking another worker, up to a backlog.
  ++running_;
  lock.unlock();
  reactor_->poll(block);
  lock.lock();
  --running_;
  polling_ = false;
  pollerBlocked_ = false;
  ++polls_;
}

void WorkerPool::workerLoop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (!jobs_.empty()) {
      if (reactor_ != nullptr && !polling_ && ++jobsSincePoll_ > kPollEvery) {
        pollLocked(lock, false);
        continue;
      }
      Job job = std::move(jobs_.front());
      jobs_.pop_front();
      ++taken_;
      const bool mayBlock = job.kind == JobKind::kMayBlock;
      if (mayBlock) {
        ++blocking_;
        // Keep `base_` workers for everything else while this one is gone.
        if (availableLocked() < base_) spawnWorkerLocked();
        // The jobs behind it and the events cannot count on this worker.
        if (!jobs_.empty() && needsWakeLocked()) wakeWorkerLocked();
        ensurePollerLocked();
      } else {
        ++running_;
      }
      lock.unlock();
      tlsRunningShortJob = !mayBlock;
      if (job.drain) {
        QueueRunner::drain(*job.drain);
      } else {
        job.run();
      }
      tlsRunningShortJob = false;
      // Captures and the queue reference die outside the lock.
      job = Job{};
      lock.lock();
      if (mayBlock) {
        --blocking_;
      } else {
        --running_;
      }
      continue;
    }
    if (reactor_ != nullptr && !polling_) {
      pollLocked(lock, true);
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
  uint64_t seenTaken = taken_;
  uint64_t seenSubmitted = submitted_;
  uint64_t seenPolls = polls_;
  int quietTicks = 0;
  int stalledTicks = 0;
  int unpolledTicks = 0;
  for (;;) {
    if (jobs_.empty() && quietTicks >= kQuietTicks &&
        (polling_ || reactor_ == nullptr)) {
      watchdogParked_ = true;
      watchdogCv_.wait(lock);
      watchdogParked_ = false;
      quietTicks = 0;
      seenSubmitted = submitted_;
      seenTaken = taken_;
      seenPolls = polls_;
      continue;
    }
    watchdogCv_.wait_for(lock, kTick);
    quietTicks = submitted_ == seenSubmitted ? quietTicks + 1 : 0;
    seenSubmitted = submitted_;
    // Nobody polled for a whole tick: the poller left to run a job that
    // blocks. Another worker takes over; the pool grows if none is free
    // for long.
    if (reactor_ != nullptr && !polling_ && polls_ == seenPolls) {
      if (idle_ > 0 || availableLocked() < base_) {
        ensurePollerLocked();
        unpolledTicks = 0;
      } else if (++unpolledTicks >= kStallTicks && threads_ < kMaxThreads) {
        spawnWorkerLocked();
        unpolledTicks = 0;
      }
    } else {
      unpolledTicks = 0;
    }
    seenPolls = polls_;
    // Jobs wait, and none was taken for a whole tick: whoever they were
    // left for is blocked.
    const bool stalled = !jobs_.empty() && taken_ == seenTaken;
    seenTaken = taken_;
    if (!stalled) {
      stalledTicks = 0;
      continue;
    }
    if (idle_ > 0 || pollerBlocked_) {
      wakeWorkerLocked();
      continue;
    }
    if (++stalledTicks >= kStallTicks && threads_ < kMaxThreads) {
      spawnWorkerLocked();
      // Give the new worker its own stall period before growing again.
      stalledTicks = 0;
    }
  }
}

}  // namespace dispatch
