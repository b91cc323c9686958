// Reactor: watches every ReadinessSource's descriptor (epoll) and every
// Timer's deadline (a binary heap), and hands their events to the target
// queues. Internal to the dispatch library.
//
// It has no thread of its own: the worker pool polls it. A worker with
// nothing to run becomes the poller and blocks in epoll_wait; the events it
// collects become jobs that it then runs itself, so an event usually
// reaches its handler without waking another thread. interrupt() makes a
// blocked poller return (a job arrived that nobody else can take, or a
// timer earlier than the poller's planned wake-up).
//
// Sources: each descriptor is registered once, whatever the number of
// sources on it (a socket has a read and a write source). A source waits
// (is armed) when it is resumed, not cancelled, and no event of it is
// queued or running; only an armed source is handed an event, so a level
// that stays high gives one event per handler run. The registration is
// level-triggered, and its interests are updated lazily: an interest
// whose source stops waiting stays until epoll reports it for nobody, and
// is dropped then; re-arming adds it back only when it was dropped. In the
// usual course (the handler takes the bytes before the next poll) events
// cost no epoll_ctl. Source state is guarded by one mutex; the handlers and
// every queue submission run outside it.
//
// Timers: deadlines on the steady clock; a firing is a task on the target
// queue that checks for cancellation right before the handler runs. A
// repeating timer whose previous firing has not run yet skips a period
// instead of piling up tasks.
#pragma once

#include <sys/epoll.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "dispatch/ReadinessSource.h"
#include "dispatch/Timer.h"
#include "base/UniqueFd.h"

namespace dispatch {

struct ReadinessSource::State {
  explicit State(std::shared_ptr<SerialQueue> queue)
      : target(std::move(queue)) {}
  const std::shared_ptr<SerialQueue> target;

  // Guarded by the reactor's source mutex. The handlers are held through
  // shared pointers so that a running handler survives a concurrent reset.
  std::shared_ptr<EventHandler> handler;
  std::shared_ptr<Task> cancelHandler;
  bool suspended = true;
  bool cancelled = false;
  bool finished = false;   // Unregistered; cancellation handler submitted.
  bool armed = false;      // Counted in the descriptor's epoll interest.
  bool queued = false;     // An event task waits on the target queue.
  bool inHandler = false;  // The event handler runs now.
  uint64_t entryId = 0;    // The descriptor's registration.
};

struct Timer::State {
  static constexpr size_t kNotInHeap = std::numeric_limits<size_t>::max();

  State(std::shared_ptr<SerialQueue> queue, Duration period,
        std::chrono::steady_clock::time_point first, Task task)
      : target(std::move(queue)),
        interval(period),
        handler(std::make_shared<Task>(std::move(task))),
        deadline(first) {}
  const std::shared_ptr<SerialQueue> target;
  const Duration interval;  // Zero for a one-shot timer.

  // Guarded by the reactor's timer mutex.
  std::shared_ptr<Task> handler;
  std::chrono::steady_clock::time_point deadline;
  size_t heapIndex = kNotInHeap;
  bool cancelled = false;
  bool firePending = false;  // A firing task waits on the target queue.
};

class Reactor {
 public:
  // The shared reactor, created on first use and never destroyed.
  static Reactor& shared();

  // Waits for events and due timers (without blocking: takes what is
  // ready) and submits their tasks to the target queues. Called by one
  // worker at a time.
  void poll(bool block);
  // Makes a blocked poll() return soon.
  void interrupt();

  // Registers source's descriptor. False (errno set) when epoll refuses it.
  // From here until its cancellation completes, the reactor keeps source
  // alive.
  bool attach(const std::shared_ptr<ReadinessSource>& source);
  void setEventHandler(ReadinessSource& source,
                       ReadinessSource::EventHandler handler);
  void setCancelHandler(ReadinessSource& source, Task handler);
  void resume(ReadinessSource& source);
  void suspend(ReadinessSource& source);
  void cancel(const std::shared_ptr<ReadinessSource>& source);
  bool isCancelled(const ReadinessSource& source);

  // Starts timer's countdown; the heap keeps timer alive while it is armed.
  void arm(const std::shared_ptr<Timer>& timer);
  void cancel(const std::shared_ptr<Timer>& timer);
  bool isCancelled(const Timer& timer);

 private:
  struct Entry {
    int fd;
    // Interests registered with epoll; 0: none (one-shot, disabled).
    uint32_t kernelMask = 0;
    std::vector<std::shared_ptr<ReadinessSource>> sources;
  };

  Reactor();
  int timeoutMs();
  // block: the events of a poll that could have blocked.
  void handleEvents(const epoll_event* events, int count, bool block);
  void deliver(const std::shared_ptr<ReadinessSource>& source);
  void runCancellation(const std::shared_ptr<ReadinessSource>& source);
  void rearmLocked(ReadinessSource& source);
  uint32_t armedMaskLocked(const Entry& entry);
  void registerLocked(uint64_t id, Entry& entry, uint32_t mask);
  void finishLocked(ReadinessSource& source);

  void fireDueTimers();
  void fire(const std::shared_ptr<Timer>& timer);
  void heapPushLocked(std::shared_ptr<Timer> timer);
  std::shared_ptr<Timer> heapRemoveLocked(size_t index);
  void heapSiftUpLocked(size_t index);
  void heapSiftDownLocked(size_t index);
  void heapSwapLocked(size_t a, size_t b);

  base::UniqueFd epoll_;
  base::UniqueFd wakeFd_;

  std::mutex sourceMutex_;
  uint64_t nextId_ = 1;  // 0 is the wake-up descriptor.
  std::unordered_map<uint64_t, Entry> entries_;
  std::unordered_map<int, uint64_t> idByFd_;

  std::mutex timerMutex_;
  // The deadline is copied into the entry so that sifting reads the heap's
  // own memory only.
  struct HeapEntry {
    std::chrono::steady_clock::time_point deadline;
    Timer::State* state;
    std::shared_ptr<Timer> timer;
  };
  std::vector<HeapEntry> heap_;  // Earliest deadline first.
  // When the poller blocked in epoll_wait times out at the earliest, and
  // the minimum while nobody blocks there: a timer due no sooner needs no
  // interruption, since the heap is looked at again then (the next poll
  // computes its timeout from it). Guarded by the timer mutex.
  std::chrono::steady_clock::time_point plannedWake_ =
      std::chrono::steady_clock::time_point::min();
};

}  // namespace dispatch
