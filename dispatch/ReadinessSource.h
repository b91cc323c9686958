// ReadinessSource: watches one descriptor for read, write or accept
// readiness and runs its handler on a target SerialQueue.
// Used by QueueSocket (connected and listening descriptors) and by
// resbundle's control channel on standard input.
//
// Guarantees:
// - One reactor thread (epoll) serves every source of the process.
// - Handlers of one source never run concurrently; an event is delivered
//   once and the descriptor is re-armed only after the handler has run, so
//   a level that stays high gives one delivery per handler run, not a storm.
// - Read events carry the number of bytes waiting (FIONREAD), 0 meaning end
//   of stream (or an error the next read() will report); accept events carry
//   a positive estimate of pending connections; write events carry a
//   positive value.
// - A source starts suspended: call resume() once the handlers are set.
//   suspend()/resume() do not nest (a second suspend is a no-op).
// - Before an event handler runs, the source is checked again: a source
//   suspended or cancelled after the event was queued gets nothing (a
//   resumed source is re-armed and reports a level that is still high).
// - cancel() stops delivery: no event handler runs after the cancellation
//   handler, which runs once on the target queue when no further event can
//   run, whether or not the source is suspended. When cancel() is called on
//   the target queue (or from inside the event handler), the cancellation
//   handler runs ahead of any task submitted to that queue afterwards. By
//   the time it runs, epoll no longer watches the descriptor. The source
//   never closes the descriptor; the cancellation handler may. Both
//   handlers are released on the target queue after it has run.
// - The library keeps a source alive from create() until its cancellation
//   handler has run: every source must be cancelled, and a caller may drop
//   its reference right after cancel().
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

#include "dispatch/SerialQueue.h"

namespace dispatch {

enum class SourceKind { kRead, kWrite, kAccept };

class ReadinessSource : public std::enable_shared_from_this<ReadinessSource> {
 public:
  using EventHandler = std::function<void(size_t estimate)>;

  // Returns nullptr (errno set) when the descriptor cannot be watched, for
  // example a regular file or /dev/null. The source does not own fd: it must
  // stay open until the cancellation handler has run.
  static std::shared_ptr<ReadinessSource> create(
      int fd, SourceKind kind, std::shared_ptr<SerialQueue> target);
  ~ReadinessSource();

  // Set before the first resume(); called on the target queue. Calls after
  // the cancellation has completed are ignored.
  void setEventHandler(EventHandler handler);
  void setCancelHandler(Task handler);

  // May be called from any thread. resume() and suspend() after cancel()
  // do nothing.
  void resume();
  void suspend();
  // Idempotent: only the first call counts.
  void cancel();
  bool isCancelled() const;

  int fd() const { return fd_; }
  SourceKind kind() const { return kind_; }

  // Sources alive in the process (for tests: nothing left behind).
  static size_t liveCount();

 private:
  ReadinessSource(int fd, SourceKind kind, std::shared_ptr<SerialQueue> target);
  friend class Reactor;
  struct State;
  int fd_;
  SourceKind kind_;
  std::unique_ptr<State> state_;
};

}  // namespace dispatch
