// SerialQueue: a FIFO of tasks run one at a time on the shared worker pool
// (no thread of its own). Used by resbundle's front end and by every
// stateful object of pagehost (sockets, HTTP server, logging).
//
// Ordering guarantees:
// - Tasks submitted with async from one thread run in submission order.
// - No two tasks of one queue ever run at the same time, whichever threads
//   submitted them; each task sees the effects of all tasks run before it.
// - sync(task) runs task on the calling thread once every task submitted
//   before it has finished and before any task submitted after it starts,
//   the way a lock would: a chain of sync calls across queues never needs a
//   free worker thread. When earlier tasks still wait for a worker, sync
//   runs them itself, on the calling thread and as part of this queue, up
//   to its own place in line.
// - A busy queue runs a bounded batch of tasks per turn on a worker, then
//   lets other queues have the worker.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

namespace dispatch {

using Task = std::function<void()>;

class SerialQueue : public std::enable_shared_from_this<SerialQueue> {
 public:
  // Creates a queue on the shared worker pool. The label is for people
  // (logs, debuggers) and need not be unique.
  static std::shared_ptr<SerialQueue> create(std::string label);
  virtual ~SerialQueue();

  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  const std::string& label() const { return label_; }

  // Submits task and returns at once. The queue stays alive until every
  // task submitted to it has run.
  void async(Task task);

  // Runs task on the calling thread, exclusively with this queue's other
  // tasks, and returns when it has finished. Inside task, this queue is the
  // current queue; afterwards the caller's queue is current again.
  // Requires: the calling thread is not running this queue, neither in one
  // of its tasks nor further out in a chain of sync calls (asserted: it
  // would wait for itself).
  void sync(const std::function<void()>& task);

  // True when the calling code runs on this queue: inside one of its
  // tasks, or inside a sync task submitted to it (the innermost one counts:
  // inside B.sync called from a task of A, B is current and A is not).
  bool isCurrent() const;

  // Queue-specific values: setSpecific attaches value to this queue under
  // key (any unique address; nullptr value removes it). getSpecific looks
  // the key up on the queue the calling code runs on and returns nullptr
  // when the caller runs on no queue or the key is not set there.
  // setSpecific may be called from any thread.
  void setSpecific(const void* key, void* value);
  static void* getSpecific(const void* key);

  // The queue the calling code runs on, or nullptr.
  static SerialQueue* current();

 protected:
  explicit SerialQueue(std::string label);

 private:
  friend class QueueRunner;
  struct State;
  std::string label_;
  std::unique_ptr<State> state_;
};

}  // namespace dispatch
