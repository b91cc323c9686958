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
// - cancel() stops delivery: no event handler runs after the cancellation
//   handler, which runs once on the target queue when no further event can
//   run. When cancel() is called on the target queue, the cancellation
//   handler runs ahead of any task submitted to that queue afterwards. The
//   source never closes the descriptor; the cancellation handler may.
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

  // Set before the first resume(); called on the target queue.
  void setEventHandler(EventHandler handler);
  void setCancelHandler(Task handler);

  void resume();
  void suspend();
  void cancel();
  bool isCancelled() const;

  int fd() const { return fd_; }
  SourceKind kind() const { return kind_; }

 private:
  ReadinessSource(int fd, SourceKind kind, std::shared_ptr<SerialQueue> target);
  friend class Reactor;
  struct State;
  int fd_;
  SourceKind kind_;
  std::unique_ptr<State> state_;
};

}  // namespace dispatch
