// WorkerPool: the process-wide pool of worker threads behind every
// SerialQueue and the ConcurrentQueue. Internal to the dispatch library.
//
// The pool keeps a base of max(2, number of processors) threads. It grows
// when work waits while every worker is busy for a long time (workers
// blocked in a slow system call, user code waiting on its own primitives),
// and it keeps `base` workers free of jobs submitted as kMayBlock (a
// packing job that runs for minutes). Threads beyond the base retire after
// a while without work. Jobs start in submission order; several run at once.
//
// Waking a sleeping worker (a futex wake and a context switch) costs about
// as much as a short job (a queue hop, an echo), so a job is left for the
// workers that are running already until a backlog of kBacklogPerWorker
// jobs each waits. Two things keep that from stalling work behind a job
// that turns out to be long: a worker about to block in the library's own
// waits (sync, Semaphore, TaskGroup) first wakes an idle worker for the
// jobs waiting (BlockingScope), and a watchdog does the same when the FIFO
// has made no progress for a tick (any other blocking call).
//
// The workers also poll the reactor (sources and timers): a worker with no
// job to run becomes the one poller and blocks there, the others sleep. A
// job submitted while nobody sleeps interrupts the poller. Workers that are
// never out of jobs still poll without blocking every so many jobs, so
// that events and timers are never starved.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace dispatch {

class Reactor;
class SerialQueue;

class WorkerPool {
 public:
  enum class JobKind { kShort, kMayBlock };

  // The shared pool, created on first use and never destroyed (its threads
  // may still run while the process exits).
  static WorkerPool& shared();

  // Queues job to run on some worker thread.
  void submit(std::function<void()> job, JobKind kind = JobKind::kShort);
  // Queues a turn of queue's tasks (QueueRunner::drain); the most frequent
  // job, so it is kept without an allocation.
  void submitDrain(std::shared_ptr<SerialQueue> queue);

  // Number of worker threads alive now (for tests and diagnostics).
  int threadCount();

  // Makes the workers poll reactor from now on; called once, by the
  // reactor itself.
  void startPolling(Reactor* reactor);

  // Marks the calling thread as blocked for its lifetime, when it is a
  // worker running a short job: the jobs that worker would have taken next
  // go to an idle worker at once. Elsewhere it does nothing.
  class BlockingScope {
   public:
    BlockingScope();
    ~BlockingScope();
    BlockingScope(const BlockingScope&) = delete;
    BlockingScope& operator=(const BlockingScope&) = delete;

   private:
    bool active_;
  };

 private:
  // Either a function, or a turn of a queue's tasks.
  struct Job {
    std::function<void()> run;
    std::shared_ptr<SerialQueue> drain;
    JobKind kind = JobKind::kShort;
  };

  WorkerPool();
  void workerLoop();
  void watchdogLoop();
  void spawnWorkerLocked();
  void pushLocked(Job job);
  // Makes one more thread take jobs: an idle one, else the poller, else a
  // new one.
  void wakeWorkerLocked();
  // Makes a worker come and poll when nobody does: an idle one, else a new
  // one while the pool is below its base.
  void ensurePollerLocked();
  // Polls the reactor on the calling worker (the lock is released around
  // the poll).
  void pollLocked(std::unique_lock<std::mutex>& lock, bool block);
  // Threads that do not run a kMayBlock job.
  int availableLocked() const { return threads_ - blocking_; }
  // True when the FIFO holds more than the running workers will take soon.
  bool needsWakeLocked() const;

  std::mutex mutex_;
  std::condition_variable workCv_;
  std::condition_variable watchdogCv_;
  std::deque<Job> jobs_;
  const int base_;
  int threads_ = 0;
  int idle_ = 0;
  int blocking_ = 0;  // Workers running a kMayBlock job.
  int running_ = 0;   // Workers running a short job, not inside a BlockingScope.
  bool watchdogParked_ = false;
  Reactor* reactor_ = nullptr;
  bool polling_ = false;        // A worker polls the reactor now.
  bool pollerBlocked_ = false;  // ... and may block in it.
  int jobsSincePoll_ = 0;
  // Counters the watchdog compares from one tick to the next (no clock is
  // read on the way of a job): jobs taken from the FIFO, jobs submitted,
  // polls.
  uint64_t taken_ = 0;
  uint64_t submitted_ = 0;
  uint64_t polls_ = 0;
};

}  // namespace dispatch
