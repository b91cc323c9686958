// WorkerPool: the process-wide pool of worker threads behind every
// SerialQueue and the ConcurrentQueue. Internal to the dispatch library.
//
// The pool keeps a base of max(2, number of processors) threads. It grows
// when work waits while every worker is busy for a long time (workers
// blocked in a semaphore, a sync, a slow system call), and it keeps `base`
// workers free of jobs submitted as kMayBlock (a packing job that runs for
// minutes). Threads beyond the base retire after a while without work.
// Jobs start in submission order; several run at once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace dispatch {

class WorkerPool {
 public:
  enum class JobKind { kShort, kMayBlock };

  // The shared pool, created on first use and never destroyed (its threads
  // may still run while the process exits).
  static WorkerPool& shared();

  // Queues job to run on some worker thread.
  void submit(std::function<void()> job, JobKind kind = JobKind::kShort);

  // Number of worker threads alive now (for tests and diagnostics).
  int threadCount();

 private:
  WorkerPool();
  void workerLoop();
  void watchdogLoop();
  void spawnWorkerLocked();
  // Threads that do not run a kMayBlock job.
  int availableLocked() const { return threads_ - blocking_; }

  struct Job {
    std::function<void()> run;
    JobKind kind;
  };

  std::mutex mutex_;
  std::condition_variable workCv_;
  std::condition_variable watchdogCv_;
  std::deque<Job> jobs_;
  const int base_;
  int threads_ = 0;
  int idle_ = 0;
  int blocking_ = 0;
  bool watchdogParked_ = false;
  // Last time a job left the queue, or the queue stopped being empty.
  std::chrono::steady_clock::time_point lastProgress_;
};

}  // namespace dispatch
