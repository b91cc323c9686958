// QueueRunner: the machinery that runs a SerialQueue's tasks, shared by the
// worker pool and the main loop. Internal to the dispatch library.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "dispatch/SerialQueue.h"

namespace dispatch {

class QueueRunner {
 public:
  // Creates the queue bound to the main thread: its tasks run only inside
  // runMainLoop() (or in sync on the caller's thread).
  static std::shared_ptr<SerialQueue> createMainQueue(std::string label);

  // Runs queue's tasks on the calling (main) thread until stopMainLoop().
  static void runMainLoop(SerialQueue& queue);
  static void stopMainLoop(SerialQueue& queue);

  // Runs up to a batch of queue's tasks on the calling thread, if the queue
  // is scheduled and nobody else runs it; reschedules it if more wait.
  static void drain(SerialQueue& queue);

  // Runs the tasks ahead of the first sync caller in queue's FIFO on the
  // calling thread, then grants that caller the turn.
  // Requires: lock holds the queue's mutex; the calling thread owns the
  // turn; a sync caller waits in the FIFO.
  static void runUntilWaiter(SerialQueue& queue,
                             std::unique_lock<std::mutex>& lock);

  // True when queue's tasks may run on the calling thread: always for pool
  // queues, only on the main thread for the main queue.
  static bool canRunHere(SerialQueue& queue);

  // Makes the pool (or the main loop) run queue.
  // Requires: the queue's state was just set to "scheduled".
  static void schedule(SerialQueue& queue);

  // Hands queue over to whoever runs it next: the sync caller waiting at
  // the front, or the pool / main loop when tasks wait, or nobody.
  // Requires: the calling thread owns the queue's turn.
  static void finishTurn(SerialQueue& queue);
};

}  // namespace dispatch
