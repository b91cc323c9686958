// ConcurrentQueue: the process-wide background queue. Tasks run on the
// shared worker pool, several at a time and in no guaranteed order. Inside
// them no SerialQueue is current.
// Used by resbundle's front end to run its one job.
#pragma once

#include "dispatch/SerialQueue.h"

namespace dispatch {

class ConcurrentQueue {
 public:
  // The shared instance, created on first use.
  static ConcurrentQueue& shared();

  // Submits task and returns at once. A task that blocks for a long time
  // (a whole packing job) is allowed: the pool grows so that serial queues
  // keep being served.
  void async(Task task);
};

}  // namespace dispatch
