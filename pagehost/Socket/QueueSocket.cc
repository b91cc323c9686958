// QueueSocket: the object itself: creation, the delegate and configuration
// accessors, queries, the readiness sources of a connected socket, and
// closing. Listening, reads and writes live in QueueSocket_accept.cc,
// QueueSocket_read.cc and QueueSocket_write.cc.
#include "pagehost/Socket/QueueSocket.h"

#include <arpa/inet.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "base/RetryOnEintr.h"

namespace {

constexpr size_t kPreBufferInitialCapacity = 4096;

// Timers take whole durations; longer waits than this are "forever" for
// any practical purpose, and capping keeps the conversion in range.
constexpr double kLongestTimeoutSeconds = 1e9;

// Plain character arrays: nothing to destroy at exit while worker threads
// may still build errors.
constexpr char kReadTimeoutText[] = "Read operation timed out";
constexpr char kWriteTimeoutText[] = "Write operation timed out";
constexpr char kReadMaxedOutText[] =
    "Read operation reached set maximum length";
constexpr char kClosedText[] = "Socket closed by remote peer";

ErrorValue queueSocketError(QueueSocketError code, std::string text) {
  return ErrorValue{std::string(kQueueSocketErrorDomain), code, std::move(text),
                    std::nullopt};
}

}  // namespace

// --- Creation and destruction.

QueueSocket::QueueSocket(std::weak_ptr<QueueSocketDelegate> delegate,
                         std::shared_ptr<dispatch::SerialQueue> delegateQueue,
                         std::shared_ptr<dispatch::SerialQueue> socketQueue)
    : delegate_(std::move(delegate)),
      delegateQueue_(std::move(delegateQueue)),
      socketQueue_(socketQueue ? std::move(socketQueue)
                               : dispatch::SerialQueue::create("QueueSocket")),
      preBuffer_(kPreBufferInitialCapacity) {}

std::shared_ptr<QueueSocket> QueueSocket::create(
    std::weak_ptr<QueueSocketDelegate> delegate,
    std::shared_ptr<dispatch::SerialQueue> delegateQueue,
    std::shared_ptr<dispatch::SerialQueue> socketQueue) {
  std::shared_ptr<QueueSocket> sock(new QueueSocket(
      std::move(delegate), std::move(delegateQueue), std::move(socketQueue)));
  // The key is the socket's own address, so sockets that share a queue
  // each recognise only themselves.
  sock->socketQueue_->setSpecific(sock.get(), sock.get());
  return sock;
}

std::shared_ptr<QueueSocket> QueueSocket::create(
    std::shared_ptr<dispatch::SerialQueue> socketQueue) {
  return create(std::weak_ptr<QueueSocketDelegate>(), nullptr,
                std::move(socketQueue));
}

QueueSocket::~QueueSocket() {
  // Every task and handler that touches the state holds a strong reference
  // while it runs, so none can be running now and none can start: the
  // state is torn down right here, on whatever thread let the last
  // reference go. No disconnect notice: it would refer to this socket.
  tearDown();
  socketQueue_->setSpecific(this, nullptr);
}

// The terminators are never destroyed: tasks on the shared worker threads
// may still use them while the process exits.
const Bytes& QueueSocket::CRLFData() {
  static const Bytes* const kBytes = new Bytes{'\r', '\n'};
  return *kBytes;
}

const Bytes& QueueSocket::CRData() {
  static const Bytes* const kBytes = new Bytes{'\r'};
  return *kBytes;
}

const Bytes& QueueSocket::LFData() {
  static const Bytes* const kBytes = new Bytes{'\n'};
  return *kBytes;
}

const Bytes& QueueSocket::ZeroData() {
  static const Bytes* const kBytes = new Bytes{0};
  return *kBytes;
}

// --- Reaching the socket queue.

bool QueueSocket::isOnSocketQueue() const {
  return dispatch::SerialQueue::getSpecific(this) == this;
}

void QueueSocket::runSync(const std::function<void()>& body) const {
  if (isOnSocketQueue()) {
    body();
  } else {
    socketQueue_->sync(body);
  }
}

void QueueSocket::runAsync(dispatch::Task body) {
  if (isOnSocketQueue()) {
    body();
  } else {
    socketQueue_->async(std::move(body));
  }
}

// --- Delegate.

std::shared_ptr<QueueSocketDelegate> QueueSocket::delegate() const {
  std::shared_ptr<Delegate> result;
  runSync([&] { result = delegate_.lock(); });
  return result;
}

std::shared_ptr<dispatch::SerialQueue> QueueSocket::delegateQueue() const {
  std::shared_ptr<dispatch::SerialQueue> result;
  runSync([&] { result = delegateQueue_; });
  return result;
}

void QueueSocket::getDelegate(
    std::shared_ptr<QueueSocketDelegate>* delegate,
    std::shared_ptr<dispatch::SerialQueue>* delegateQueue) const {
  runSync([&] {
    if (delegate) *delegate = delegate_.lock();
    if (delegateQueue) *delegateQueue = delegateQueue_;
  });
}

void QueueSocket::setDelegate(std::weak_ptr<QueueSocketDelegate> delegate) {
  runAsync([self = shared_from_this(), delegate = std::move(delegate)] {
    self->delegate_ = delegate;
  });
}

void QueueSocket::setDelegateQueue(
    std::shared_ptr<dispatch::SerialQueue> delegateQueue) {
  runAsync([self = shared_from_this(), queue = std::move(delegateQueue)] {
    self->delegateQueue_ = queue;
  });
}

void QueueSocket::setDelegate(
    std::weak_ptr<QueueSocketDelegate> delegate,
    std::shared_ptr<dispatch::SerialQueue> delegateQueue) {
  runAsync([self = shared_from_this(), delegate = std::move(delegate),
            queue = std::move(delegateQueue)] {
    self->delegate_ = delegate;
    self->delegateQueue_ = queue;
  });
}

void QueueSocket::synchronouslySetDelegate(
    std::weak_ptr<QueueSocketDelegate> delegate) {
  runSync([&] { delegate_ = std::move(delegate); });
}

void QueueSocket::synchronouslySetDelegateQueue(
    std::shared_ptr<dispatch::SerialQueue> delegateQueue) {
  runSync([&] { delegateQueue_ = std::move(delegateQueue); });
}

void QueueSocket::synchronouslySetDelegate(
    std::weak_ptr<QueueSocketDelegate> delegate,
    std::shared_ptr<dispatch::SerialQueue> delegateQueue) {
  runSync([&] {
    delegate_ = std::move(delegate);
    delegateQueue_ = std::move(delegateQueue);
  });
}

// --- Configuration.

bool QueueSocket::configBit(uint16_t bit) const {
  bool set = false;
  runSync([&] { set = (config_ & bit) != 0; });
  return set;
}

void QueueSocket::setConfigBit(uint16_t bit, bool set) {
  runAsync([self = shared_from_this(), bit, set] {
    if (set) {
      self->config_ |= bit;
    } else {
      self->config_ &= static_cast<uint16_t>(~bit);
    }
  });
}

bool QueueSocket::isIPv4Enabled() const { return !configBit(kIPv4Disabled); }

void QueueSocket::setIPv4Enabled(bool enabled) {
  setConfigBit(kIPv4Disabled, !enabled);
}

bool QueueSocket::isIPv6Enabled() const { return !configBit(kIPv6Disabled); }

void QueueSocket::setIPv6Enabled(bool enabled) {
  setConfigBit(kIPv6Disabled, !enabled);
}

bool QueueSocket::isIPv4PreferredOverIPv6() const {
  return !configBit(kPreferIPv6);
}

void QueueSocket::setPreferIPv4OverIPv6(bool preferIPv4) {
  setConfigBit(kPreferIPv6, !preferIPv4);
}

bool QueueSocket::autoDisconnectOnClosedReadStream() const {
  return !configBit(kAllowHalfDuplex);
}

void QueueSocket::setAutoDisconnectOnClosedReadStream(bool flag) {
  setConfigBit(kAllowHalfDuplex, !flag);
}

// --- State queries.

void QueueSocket::disconnect() {
  runSync([this] {
    if (flags_ & kStarted) closeWithError(std::nullopt);
  });
}

bool QueueSocket::isDisconnected() const { return !(flags() & kStarted); }

bool QueueSocket::isConnected() const { return (flags() & kConnected) != 0; }

uint32_t QueueSocket::flags() const {
  uint32_t result = 0;
  runSync([&] { result = flags_; });
  return result;
}

uint16_t QueueSocket::config() const {
  uint16_t result = 0;
  runSync([&] { result = config_; });
  return result;
}

uint16_t QueueSocket::localPortOfFD(int fd) {
  if (fd < 0) return 0;
  sockaddr_storage address{};
  socklen_t length = sizeof(address);
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return 0;
  }
  switch (address.ss_family) {
    case AF_INET:
      return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
    case AF_INET6:
      return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    default:
      return 0;
  }
}

uint16_t QueueSocket::localPort() const {
  uint16_t port = 0;
  runSync([&] {
    const SharedFd& fd = socket4FD_ ? socket4FD_ : socket6FD_;
    port = fd ? localPortOfFD(fd->get()) : 0;
  });
  return port;
}

uint16_t QueueSocket::localPort4() const {
  uint16_t port = 0;
  runSync([&] { port = socket4FD_ ? localPortOfFD(socket4FD_->get()) : 0; });
  return port;
}

uint16_t QueueSocket::localPort6() const {
  uint16_t port = 0;
  runSync([&] { port = socket6FD_ ? localPortOfFD(socket6FD_->get()) : 0; });
  return port;
}

int QueueSocket::connectedFD() const {
  if (socket4FD_) return socket4FD_->get();
  if (socket6FD_) return socket6FD_->get();
  return -1;
}

// --- Errors.

ErrorValue QueueSocket::badConfigError(std::string text) {
  return queueSocketError(kQueueSocketBadConfigError, std::move(text));
}

ErrorValue QueueSocket::badParamError(std::string text) {
  return queueSocketError(kQueueSocketBadParamError, std::move(text));
}

ErrorValue QueueSocket::readTimeoutError() {
  return queueSocketError(kQueueSocketReadTimeoutError, kReadTimeoutText);
}

ErrorValue QueueSocket::writeTimeoutError() {
  return queueSocketError(kQueueSocketWriteTimeoutError, kWriteTimeoutText);
}

ErrorValue QueueSocket::readMaxedOutError() {
  return queueSocketError(kQueueSocketReadMaxedOutError, kReadMaxedOutText);
}

ErrorValue QueueSocket::connectionClosedError() {
  return queueSocketError(kQueueSocketClosedError, kClosedText);
}

ErrorValue QueueSocket::errnoErrorWithReason(std::string reason) {
  return ErrorValue::posix(errno, std::move(reason));
}

// --- Timers.

std::shared_ptr<dispatch::Timer> QueueSocket::armTimer(
    double seconds, void (QueueSocket::*fired)()) {
  // Negative means no time limit; NaN is treated the same way.
  if (!(seconds >= 0)) return nullptr;
  const auto delay = std::chrono::duration_cast<dispatch::Timer::Duration>(
      std::chrono::duration<double>(std::min(seconds, kLongestTimeoutSeconds)));
  return dispatch::Timer::oneShot(
      delay, socketQueue_,
      whileAlive([fired](QueueSocket& self) { (self.*fired)(); }));
}

void QueueSocket::releaseOutsideHandler(std::shared_ptr<QueueSocket> self) {
  // Only this handler holds the socket: let go in a later task instead.
  // (Owners let go of sockets after disconnecting them, so this is rare.)
  if (self.use_count() != 1) return;
  std::shared_ptr<dispatch::SerialQueue> queue = self->socketQueue_;
  queue->async([last = std::move(self)] {});
}

double QueueSocket::secondsLeft(double timeout,
                                std::chrono::steady_clock::time_point start) {
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
          .count();
  return std::max(0.0, timeout - elapsed);
}

std::chrono::steady_clock::time_point QueueSocket::deadlineAfter(
    double seconds) {
  return std::chrono::steady_clock::now() +
         std::chrono::duration_cast<std::chrono::steady_clock::duration>(
             std::chrono::duration<double>(
                 std::min(std::max(seconds, 0.0), kLongestTimeoutSeconds)));
}

// --- Readiness sources of a connected socket.

void QueueSocket::setupReadAndWriteSourcesForNewlyConnectedSocket(int fd) {
  // A socket closed before its set-up ran has nothing left to watch.
  if (!(flags_ & kConnected) || connectedFD() != fd) return;

  auto readSource = dispatch::ReadinessSource::create(
      fd, dispatch::SourceKind::kRead, socketQueue_);
  auto writeSource = readSource
                         ? dispatch::ReadinessSource::create(
                               fd, dispatch::SourceKind::kWrite, socketQueue_)
                         : nullptr;
  if (!writeSource) {
    ErrorValue error = errnoErrorWithReason("Error watching the socket");
    if (readSource) readSource->cancel();
    closeWithError(std::move(error));
    return;
  }

  readSource->setEventHandler(whileAlive(
      [](QueueSocket& self, size_t waiting) { self.onReadEvent(waiting); }));
  writeSource->setEventHandler(
      whileAlive([](QueueSocket& self, size_t) { self.onWriteEvent(); }));
  // Both cancellation handlers share the descriptor with the socket; the
  // last of the three to let go closes it, so the descriptor outlives every
  // event that might still name it.
  SharedFd owner = socket4FD_ ? socket4FD_ : socket6FD_;
  readSource->setCancelHandler([owner]() mutable { owner.reset(); });
  writeSource->setCancelHandler([owner]() mutable { owner.reset(); });
  readSource_ = std::move(readSource);
  writeSource_ = std::move(writeSource);

  socketFDBytesAvailable_ = 0;
  flags_ &= ~kReadSourceSuspended;
  readSource_->resume();
  // Writability is asked for only while a write is blocked.
  flags_ |= kCanWrite | kWriteSourceSuspended;
}

void QueueSocket::onReadEvent(size_t waiting) {
  if (!(flags_ & kConnected)) return;
  if (waiting == 0) {
    // No waiting bytes stands for the end of stream (or an error), unless
    // the count is stale: a pass that ran after the readiness was noticed
    // may have read the bytes that raised it.
    const std::optional<size_t> recount = bytesWaitingUnlessEnded();
    if (!recount) {
      socketFDBytesAvailable_ = 0;
      doReadEOF();
      return;
    }
    waiting = *recount;
  }
  socketFDBytesAvailable_ = waiting;
  // Nothing at all is waiting after a stale event: the pass resumes the
  // source and waits for the next one.
  doReadData();
}

std::optional<size_t> QueueSocket::bytesWaitingUnlessEnded() const {
  uint8_t byte;
  const ssize_t peeked = base::retryOnEintr(
      [&] { return ::recv(connectedFD(), &byte, 1, MSG_PEEK | MSG_DONTWAIT); });
  if (peeked < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
  if (peeked <= 0) return std::nullopt;
  int count = 0;
  if (::ioctl(connectedFD(), FIONREAD, &count) != 0 || count <= 0) return 1;
  return static_cast<size_t>(count);
}

void QueueSocket::onWriteEvent() {
  if (!(flags_ & kConnected)) return;
  flags_ |= kCanWrite;
  doWriteData();
}

void QueueSocket::suspendReadSource() {
  if (!readSource_ || (flags_ & kReadSourceSuspended)) return;
  readSource_->suspend();
  flags_ |= kReadSourceSuspended;
}

void QueueSocket::resumeReadSource() {
  if (!readSource_ || !(flags_ & kReadSourceSuspended)) return;
  readSource_->resume();
  flags_ &= ~kReadSourceSuspended;
}

void QueueSocket::suspendWriteSource() {
  if (!writeSource_ || (flags_ & kWriteSourceSuspended)) return;
  writeSource_->suspend();
  flags_ |= kWriteSourceSuspended;
}

void QueueSocket::resumeWriteSource() {
  if (!writeSource_ || !(flags_ & kWriteSourceSuspended)) return;
  writeSource_->resume();
  flags_ &= ~kWriteSourceSuspended;
}

// --- Closing.

void QueueSocket::closeWithError(std::optional<ErrorValue> error) {
  const uint32_t oldFlags = tearDown();
  if (!(oldFlags & kStarted)) return;
  notifyDelegate(
      Delegate::kSocketDidDisconnect,
      [error = std::move(error)](Delegate& delegate,
                                 const std::shared_ptr<QueueSocket>& sock) {
        delegate.socketDidDisconnect(sock, error);
      });
}

uint32_t QueueSocket::tearDown() {
  endCurrentRead();
  endCurrentWrite();
  readQueue_.clear();
  writeQueue_.clear();
  preBuffer_.reset();
  if (acceptRetryTimer_) {
    acceptRetryTimer_->cancel();
    acceptRetryTimer_.reset();
  }

  // Cancelled sources run their cancellation handlers on the socket queue
  // ahead of any later task; those handlers close the descriptors. A
  // suspended source is resumed so that its cancellation can complete.
  for (auto* source : {&accept4Source_, &accept6Source_}) {
    if (*source) (*source)->cancel();
  }
  if (readSource_) {
    readSource_->cancel();
    if (flags_ & kReadSourceSuspended) readSource_->resume();
  }
  if (writeSource_) {
    writeSource_->cancel();
    if (flags_ & kWriteSourceSuspended) writeSource_->resume();
  }
  accept4Source_.reset();
  accept6Source_.reset();
  readSource_.reset();
  writeSource_.reset();
  // Without sources this closes the descriptors at once; otherwise the
  // cancellation handlers hold the last shares.
  socket4FD_.reset();
  socket6FD_.reset();

  const uint32_t oldFlags = flags_;
  socketFDBytesAvailable_ = 0;
  flags_ = 0;
  return oldFlags;
}

// --- Disconnect-after requests.

void QueueSocket::disconnectAfterReading() {
  disconnectAfter(kCloseAfterReads);
}

void QueueSocket::disconnectAfterWriting() {
  disconnectAfter(kCloseAfterWrites);
}

void QueueSocket::disconnectAfterReadingAndWriting() {
  disconnectAfter(kCloseAfterReads | kCloseAfterWrites);
}

void QueueSocket::disconnectAfter(uint32_t closeAfterBits) {
  runAsync([self = shared_from_this(), closeAfterBits] {
    if (!(self->flags_ & kStarted)) return;
    self->flags_ |= kReadsWritesForbidden | closeAfterBits;
    self->maybeClose();
  });
}

void QueueSocket::maybeClose() {
  const bool afterReads = flags_ & kCloseAfterReads;
  const bool afterWrites = flags_ & kCloseAfterWrites;
  if (afterReads && readsPending()) return;
  if (!afterWrites) {
    if (afterReads) closeWithError(std::nullopt);
    return;
  }
  if (writesPending()) return;
  closeWithError(std::nullopt);
}
