#include "dispatch/ConcurrentQueue.h"

#include "dispatch/WorkerPool.h"

namespace dispatch {

ConcurrentQueue& ConcurrentQueue::shared() {
  static ConcurrentQueue* queue = new ConcurrentQueue();
  return *queue;
}

void ConcurrentQueue::async(Task task) {
  // Background jobs may block for minutes; the pool keeps other workers
  // free for the serial queues while they run.
  WorkerPool::shared().submit(std::move(task), WorkerPool::JobKind::kMayBlock);
}

}  // namespace dispatch
