// QueueSocket: the write queue. Writes go out one at a time in queue order;
// a write the descriptor cannot take at once continues on the next write
// event. Write events are asked for only while a write is blocked.
#include <sys/socket.h>

#include <cerrno>

#include "base/RetryOnEintr.h"
#include "pagehost/Socket/QueueSocket.h"

namespace {

// MSG_NOSIGNAL: a peer that has gone makes send() fail with EPIPE instead
// of raising SIGPIPE, which would end the process.
ssize_t sendWithoutSignal(int fd, const uint8_t* bytes, size_t length) {
  return base::retryOnEintr(
      [&] { return ::send(fd, bytes, length, MSG_NOSIGNAL); });
}

}  // namespace

void QueueSocket::writeData(SharedBytes data, double timeout, int64_t tag) {
  if (!data || data->empty()) return;
  auto packet =
      std::make_shared<QueueSocketWritePacket>(std::move(data), timeout, tag);
  runAsync([self = shared_from_this(), packet = std::move(packet)] {
    if (!(self->flags_ & kStarted) || (self->flags_ & kReadsWritesForbidden)) {
      return;
    }
    self->writeQueue_.push_back(packet);
    self->maybeDequeueWrite();
  });
}

void QueueSocket::writeData(Bytes data, double timeout, int64_t tag) {
  if (data.empty()) return;
  writeData(std::make_shared<const Bytes>(std::move(data)), timeout, tag);
}

bool QueueSocket::writesPending() const {
  return currentWrite_ || !writeQueue_.empty();
}

void QueueSocket::maybeDequeueWrite() {
  if (currentWrite_ || !(flags_ & kConnected)) return;
  if (!writeQueue_.empty()) {
    currentWrite_ = std::move(writeQueue_.front());
    writeQueue_.pop_front();
    // The timer itself is armed only if the write has to wait (see
    // armWriteTimerIfWaiting): most writes go out whole at once.
    if (currentWrite_->timeout >= 0) {
      currentWrite_->startTime = std::chrono::steady_clock::now();
    }
    doWriteData();
    armWriteTimerIfWaiting();
    return;
  }
  // Drained: a disconnect-after request may now close, unless reads it also
  // waits for are still pending.
  if ((flags_ & kCloseAfterWrites) &&
      !((flags_ & kCloseAfterReads) && readsPending())) {
    closeWithError(std::nullopt);
  }
}

// Most writes go out whole in their first pass and never need a timer; one
// that is still current after it waits for the descriptor, and its time
// limit (counted from when it became current) needs a timer now.
void QueueSocket::armWriteTimerIfWaiting() {
  if (!(flags_ & kConnected) || !currentWrite_ || writeTimer_ ||
      !(currentWrite_->timeout >= 0)) {
    return;
  }
  writeTimer_ =
      armTimer(secondsLeft(currentWrite_->timeout, currentWrite_->startTime),
               &QueueSocket::doWriteTimeout);
}

// One system write of everything the current write has left, then back to
// the queue so that other work gets its turn.
void QueueSocket::doWriteData() {
  if (!currentWrite_ || (flags_ & kWritesPaused)) {
    // Nothing to send: writability is of no interest.
    if (flags_ & kCanWrite) suspendWriteSource();
    return;
  }
  if (!(flags_ & kCanWrite)) {
    resumeWriteSource();
    return;
  }

  QueueSocketWritePacket& packet = *currentWrite_;
  const ssize_t result = sendWithoutSignal(
      connectedFD(), packet.remainingBytes(), packet.remainingLength());
  // Failing because the write would block is no error: nothing was
  // written and the write waits for the next write event.
  std::optional<ErrorValue> error;
  uint64_t written = 0;
  if (result >= 0) {
    written = static_cast<uint64_t>(result);
  } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
    error = errnoErrorWithReason("Error in write() function");
  }

  if (written > 0) {
    packet.bytesDone += written;
    if (packet.remainingLength() == 0) {
      completeCurrentWrite();
      // The next write (or a close that waited for this one) starts in a
      // task of its own: one system write per pass, whatever is queued.
      if (!writeQueue_.empty() || (flags_ & kCloseAfterWrites)) {
        socketQueue_->async(
            [self = shared_from_this()] { self->maybeDequeueWrite(); });
      }
      return;
    }
  }
  if (!error) {
    // Blocked, or the descriptor took only part: wait until it takes more.
    flags_ &= ~kCanWrite;
    resumeWriteSource();
  }
  if (written > 0) {
    notifyDelegate(
        Delegate::kSocketDidWritePartialDataOfLength,
        [written, tag = packet.tag](Delegate& delegate,
                                    const std::shared_ptr<QueueSocket>& sock) {
          delegate.socketDidWritePartialDataOfLength(sock, written, tag);
        });
  }
  if (error) closeWithError(std::move(error));
}

void QueueSocket::completeCurrentWrite() {
  notifyDelegate(
      Delegate::kSocketDidWriteDataWithTag,
      [tag = currentWrite_->tag](Delegate& delegate,
                                 const std::shared_ptr<QueueSocket>& sock) {
        delegate.socketDidWriteDataWithTag(sock, tag);
      });
  endCurrentWrite();
}

void QueueSocket::endCurrentWrite() {
  if (writeTimer_) {
    writeTimer_->cancel();
    writeTimer_.reset();
  }
  currentWrite_.reset();
}

// --- Timeouts.

void QueueSocket::doWriteTimeout() {
  if (!currentWrite_ || (flags_ & kWritesPaused)) return;
  flags_ |= kWritesPaused;
  std::shared_ptr<Delegate> delegate = delegate_.lock();
  if (!delegateQueue_ || !delegate ||
      !delegate->offers(Delegate::kSocketShouldTimeoutWriteWithTag)) {
    doWriteTimeoutWithExtension(0, currentWrite_);
    return;
  }
  // Ask on the delegate queue; the answer comes back to the socket queue.
  // The write stays paused meanwhile.
  delegateQueue_->async(
      [self = shared_from_this(), delegate = std::move(delegate),
       packet = std::weak_ptr(currentWrite_), tag = currentWrite_->tag,
       elapsed = currentWrite_->timeout, bytesDone = currentWrite_->bytesDone] {
        const double extension = delegate->socketShouldTimeoutWriteWithTag(
            self, tag, elapsed, bytesDone);
        self->socketQueue_->async([self, packet, extension] {
          self->doWriteTimeoutWithExtension(extension, packet);
        });
      });
}

void QueueSocket::doWriteTimeoutWithExtension(
    double extension, const std::weak_ptr<QueueSocketWritePacket>& packet) {
  // An answer about a write that has ended since is ignored.
  if (!currentWrite_ || packet.lock() != currentWrite_) return;
  if (extension > 0) {
    currentWrite_->timeout += extension;
    if (writeTimer_) writeTimer_->cancel();
    writeTimer_ = armTimer(extension, &QueueSocket::doWriteTimeout);
    flags_ &= ~kWritesPaused;
    doWriteData();
    return;
  }
  closeWithError(writeTimeoutError());
}
