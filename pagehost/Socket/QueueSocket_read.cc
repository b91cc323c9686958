// QueueSocket: the read queue. Reads are served one at a time in queue
// order; bytes that arrive beyond the current read wait in the pre-buffer
// for the next one.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "base/RetryOnEintr.h"
#include "pagehost/Socket/QueueSocket.h"

namespace {

bool isWritableNow(int fd) {
  pollfd entry{fd, POLLOUT, 0};
  const int ready = base::retryOnEintr([&] { return ::poll(&entry, 1, 0); });
  return ready > 0 && (entry.revents & POLLOUT) != 0;
}

}  // namespace

// What one pass over the current read achieved.
struct QueueSocket::ReadPass {
  bool stop = false;      // Nothing to do now; the pass took its own action.
  bool complete = false;  // The current read has all its bytes.
  bool waiting = false;   // Wait for the next read event.
  bool eofSeen = false;   // A system read returned the end of stream.
  uint64_t total = 0;     // Bytes this pass gave the read.
  std::optional<ErrorValue> error;
};

// --- Requests.

void QueueSocket::readDataToLength(uint64_t length, double timeout,
                                   int64_t tag) {
  if (length == 0) return;
  enqueueRead(std::make_shared<QueueSocketReadPacket>(length, Bytes(), 0,
                                                      timeout, tag));
}

void QueueSocket::readDataToData(Bytes term, double timeout, uint64_t maxLength,
                                 int64_t tag) {
  if (term.empty() || (maxLength > 0 && maxLength < term.size())) return;
  enqueueRead(std::make_shared<QueueSocketReadPacket>(0, std::move(term),
                                                      maxLength, timeout, tag));
}

void QueueSocket::readDataToData(Bytes term, double timeout, int64_t tag) {
  readDataToData(std::move(term), timeout, 0, tag);
}

void QueueSocket::readDataWithTimeout(double timeout, int64_t tag) {
  enqueueRead(
      std::make_shared<QueueSocketReadPacket>(0, Bytes(), 0, timeout, tag));
}

void QueueSocket::enqueueRead(std::shared_ptr<QueueSocketReadPacket> packet) {
  runAsync([self = shared_from_this(), packet = std::move(packet)] {
    if (!(self->flags_ & kStarted) || (self->flags_ & kReadsWritesForbidden)) {
      return;
    }
    self->readQueue_.push_back(packet);
    self->maybeDequeueRead();
  });
}

bool QueueSocket::readsPending() const {
  return currentRead_ || !readQueue_.empty();
}

// --- Dequeuing.

void QueueSocket::maybeDequeueRead() {
  if (currentRead_ || !(flags_ & kConnected)) return;
  if (dequeueNextRead()) doReadData();
}

bool QueueSocket::dequeueNextRead() {
  if (!readQueue_.empty()) {
    currentRead_ = std::move(readQueue_.front());
    readQueue_.pop_front();
    // The timer itself is armed only if the read has to wait (see
    // armReadTimerIfWaiting): most reads served from bytes at hand never
    // need one.
    if (currentRead_->timeout >= 0) {
      currentRead_->startTime = std::chrono::steady_clock::now();
      currentRead_->deadline = deadlineAfter(currentRead_->timeout);
    } else {
      currentRead_->deadline = std::chrono::steady_clock::time_point::max();
    }
    return true;
  }
  // Drained: a disconnect-after request may now close, unless writes it
  // also waits for are still pending.
  if ((flags_ & kCloseAfterReads) &&
      !((flags_ & kCloseAfterWrites) && writesPending())) {
    closeWithError(std::nullopt);
  }
  return false;
}

// --- Serving the current read.

void QueueSocket::doReadData() {
  serveReads();
  armReadTimerIfWaiting();
}

// A read that is still current after being served waits for bytes: now its
// time limit needs a timer. Reads that complete leave their timer armed,
// and a timer that fires no later than this read's deadline serves this
// read too: when it fires it finds the read's deadline still ahead and is
// armed again for what is left (doReadTimeout). On a connection that reads
// request after request, that spares a timer per read.
void QueueSocket::armReadTimerIfWaiting() {
  if (!(flags_ & kConnected) || !currentRead_ ||
      !(currentRead_->timeout >= 0)) {
    return;
  }
  if (readTimer_ && readTimerDeadline_ <= currentRead_->deadline) return;
  cancelReadTimer();
  readTimerDeadline_ = currentRead_->deadline;
  const double seconds = std::chrono::duration<double>(
                             readTimerDeadline_ - std::chrono::steady_clock::now())
                             .count();
  readTimer_ = armTimer(std::max(seconds, 0.0), &QueueSocket::doReadTimeout);
}

void QueueSocket::cancelReadTimer() {
  if (!readTimer_) return;
  readTimer_->cancel();
  readTimer_.reset();
}

// Serves the current read and, as reads complete, the ones queued after it,
// for as long as bytes are at hand. Each pass makes at most one system read,
// sized by what the last read event reported, so one event never reads
// more than was waiting when it fired.
void QueueSocket::serveReads() {
  bool waiting = false;
  ReadPass last;
  for (;;) {
    ReadPass pass = readPass();
    waiting = waiting || pass.waiting;
    if (pass.stop) {
      if (waiting) resumeReadSource();
      return;
    }
    if (pass.complete) {
      completeCurrentRead();
      // At the end of stream with nothing buffered no read can complete;
      // the end is handled below.
      if ((flags_ & kPeerEOF) && preBuffer_.availableBytes() == 0) break;
      if (!(flags_ & kConnected) || !dequeueNextRead()) break;
      continue;
    }
    if (pass.total > 0) {
      notifyDelegate(
          Delegate::kSocketDidReadPartialDataOfLength,
          [length = pass.total, tag = currentRead_->tag](
              Delegate& delegate, const std::shared_ptr<QueueSocket>& sock) {
            delegate.socketDidReadPartialDataOfLength(sock, length, tag);
          });
    }
    last = std::move(pass);
    break;
  }

  if (last.error) {
    closeWithError(std::move(last.error));
    return;
  }
  if (!(flags_ & kConnected)) return;
  if (last.eofSeen || (flags_ & kPeerEOF)) {
    doReadEOF();
    return;
  }
  if (waiting) resumeReadSource();
}

QueueSocket::ReadPass QueueSocket::readPass() {
  ReadPass pass;
  if (!currentRead_ || (flags_ & kReadsPaused)) {
    // Nobody wants the waiting bytes now: leave them in the kernel and stop
    // the events they would keep raising.
    if (socketFDBytesAvailable_ > 0) suspendReadSource();
    pass.stop = true;
    return pass;
  }
  if (socketFDBytesAvailable_ == 0 && preBuffer_.availableBytes() == 0) {
    resumeReadSource();
    pass.stop = true;
    return pass;
  }

  QueueSocketReadPacket& packet = *currentRead_;
  if (preBuffer_.availableBytes() > 0) {
    if (packet.isTermRead()) {
      moveTermBytesFromPreBuffer(&pass);
    } else {
      const size_t take = static_cast<size_t>(
          packet.readLengthForNonTermWithHint(preBuffer_.availableBytes()));
      packet.appendBytes(preBuffer_.readBuffer(), take);
      preBuffer_.didRead(take);
      pass.total += take;
      pass.complete =
          packet.isLengthRead()
              ? packet.bytesDone == packet.readLength
              : packet.maxLength > 0 && packet.bytesDone == packet.maxLength;
    }
  }

  if (!pass.complete && !pass.error && !(flags_ & kPeerEOF) &&
      socketFDBytesAvailable_ > 0) {
    readFromDescriptor(&pass);
  }

  // A read of what is available takes whatever this pass found.
  if (!pass.complete && !pass.error && packet.isAvailableRead() &&
      pass.total > 0) {
    pass.complete = true;
  }
  return pass;
}

// Moves the pre-buffered bytes that belong to the current terminator read
// into it: up to and including the terminator, or as many as its maximum
// allows.
void QueueSocket::moveTermBytesFromPreBuffer(ReadPass* pass) {
  QueueSocketReadPacket& packet = *currentRead_;
  const QueueSocketReadPacket::TermSearch search =
      packet.readLengthForTermWithPreBuffer(preBuffer_);
  packet.appendBytes(preBuffer_.readBuffer(), search.length);
  preBuffer_.didRead(search.length);
  pass->total += search.length;
  if (search.found) {
    pass->complete = true;
  } else if (packet.isMaxedOut()) {
    pass->error = readMaxedOutError();
  }
}

// One system read for the current read. Terminator reads read into the
// pre-buffer (never more than their maximum allows) and take from there
// only what is theirs; the other kinds read straight into their buffer.
void QueueSocket::readFromDescriptor(ReadPass* pass) {
  QueueSocketReadPacket& packet = *currentRead_;
  const bool viaPreBuffer = packet.isTermRead();
  uint64_t ask;
  uint8_t* into;
  if (viaPreBuffer) {
    ask = socketFDBytesAvailable_;
    if (packet.maxLength > 0) {
      ask = std::min(ask, packet.maxLength - packet.bytesDone);
    }
    preBuffer_.ensureCapacityForWrite(static_cast<size_t>(ask));
    into = preBuffer_.writeBuffer();
  } else {
    ask = packet.readLengthForNonTermWithHint(socketFDBytesAvailable_);
    into = packet.ensureCapacityForAdditionalDataOfLength(
        static_cast<size_t>(ask));
  }
  if (ask == 0) return;

  const ssize_t result = base::retryOnEintr(
      [&] { return ::read(connectedFD(), into, static_cast<size_t>(ask)); });
  if (result < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      pass->waiting = true;
    } else {
      pass->error = errnoErrorWithReason("Error in read() function");
    }
    socketFDBytesAvailable_ = 0;
    return;
  }
  if (result == 0) {
    pass->eofSeen = true;
    socketFDBytesAvailable_ = 0;
    return;
  }

  const uint64_t got = static_cast<uint64_t>(result);
  socketFDBytesAvailable_ = got < ask ? 0 : socketFDBytesAvailable_ - got;
  if (socketFDBytesAvailable_ == 0) pass->waiting = true;

  if (viaPreBuffer) {
    preBuffer_.didWrite(static_cast<size_t>(got));
    moveTermBytesFromPreBuffer(pass);
    return;
  }
  packet.bytesDone += got;
  pass->total += got;
  pass->complete =
      !packet.isLengthRead() || packet.bytesDone == packet.readLength;
}

void QueueSocket::completeCurrentRead() {
  QueueSocketReadPacket& packet = *currentRead_;
  packet.buffer.resize(static_cast<size_t>(packet.bytesDone));
  notifyDelegate(Delegate::kSocketDidReadData,
                 [data = std::move(packet.buffer), tag = packet.tag](
                     Delegate& delegate,
                     const std::shared_ptr<QueueSocket>& sock) mutable {
                   delegate.socketDidReadData(sock, std::move(data), tag);
                 });
  // The read timer stays armed (see armReadTimerIfWaiting).
  currentRead_.reset();
}

void QueueSocket::endCurrentRead() {
  cancelReadTimer();
  currentRead_.reset();
}

// --- The peer's end of stream.

void QueueSocket::doReadEOF() {
  flags_ |= kPeerEOF;
  if ((flags_ & kReadHalfClosed) || preBuffer_.availableBytes() > 0) {
    // Buffered bytes can still be read; doReadData comes back here once
    // they are gone.
    suspendReadSource();
    return;
  }
  if ((config_ & kAllowHalfDuplex) && isWritableNow(connectedFD())) {
    flags_ |= kReadHalfClosed;
    notifyDelegate(
        Delegate::kSocketDidCloseReadStream,
        [](Delegate& delegate, const std::shared_ptr<QueueSocket>& sock) {
          delegate.socketDidCloseReadStream(sock);
        });
    suspendReadSource();
    return;
  }
  closeWithError(connectionClosedError());
}

// --- Timeouts.

void QueueSocket::doReadTimeout() {
  readTimer_.reset();  // Spent.
  if (!currentRead_ || (flags_ & kReadsPaused)) return;
  // Armed for an earlier read: this one has time left, or no limit.
  if (std::chrono::steady_clock::now() < currentRead_->deadline) {
    armReadTimerIfWaiting();
    return;
  }
  flags_ |= kReadsPaused;
  std::shared_ptr<Delegate> delegate = delegate_.lock();
  if (!delegateQueue_ || !delegate ||
      !delegate->offers(Delegate::kSocketShouldTimeoutReadWithTag)) {
    doReadTimeoutWithExtension(0, currentRead_);
    return;
  }
  // Ask on the delegate queue; the answer comes back to the socket queue.
  // The read stays paused meanwhile.
  delegateQueue_->async(
      [self = shared_from_this(), delegate = std::move(delegate),
       packet = std::weak_ptr(currentRead_), tag = currentRead_->tag,
       elapsed = currentRead_->timeout, bytesDone = currentRead_->bytesDone] {
        const double extension = delegate->socketShouldTimeoutReadWithTag(
            self, tag, elapsed, bytesDone);
        self->socketQueue_->async([self, packet, extension] {
          self->doReadTimeoutWithExtension(extension, packet);
        });
      });
}

void QueueSocket::doReadTimeoutWithExtension(
    double extension, const std::weak_ptr<QueueSocketReadPacket>& packet) {
  // An answer about a read that has ended since is ignored.
  if (!currentRead_ || packet.lock() != currentRead_) return;
  if (extension > 0) {
    currentRead_->timeout += extension;
    currentRead_->deadline = deadlineAfter(extension);
    cancelReadTimer();
    flags_ &= ~kReadsPaused;
    // Arms the timer for the granted time if the read still waits.
    doReadData();
    return;
  }
  closeWithError(readTimeoutError());
}
