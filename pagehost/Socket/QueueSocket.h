// QueueSocket: a TCP socket whose whole state lives on one serial queue
// (its socket queue) and that reports to a delegate by submitting notices
// to the delegate's own serial queue. The user never blocks on the
// network: it queues reads and writes, each with a timeout and a tag, and
// hears of their completion through notices that carry the same tag.
// Used by pagehost's HTTP server: one listening socket per server
// (acceptOnInterface), and one accepted, connected socket per client.
//
// Only the server side exists: a socket either listens (on an IPv4 and an
// IPv6 descriptor sharing one port) or was born connected by an accept.
//
// Threads and ordering:
// - Every public operation may be called from any thread. Called on the
//   socket queue it runs inline. Otherwise queries, acceptOnInterface and
//   disconnect wait for the socket queue (never call them from a task that
//   the socket queue itself waits for), while setters, reads, writes and
//   the disconnect-after requests are submitted and return at once. So
//   operations made from one thread take effect in the order made.
// - Notices are submitted to the delegate queue in the order the socket
//   produces them: a read's completion precedes the next read's completion
//   and the disconnect notice; likewise for writes. Each notice carries the
//   delegate as it was when the notice was made.
// - Every end of a socket (disconnect, a disconnect-after request once
//   drained, a failed or timed-out read or write, a read that reached its
//   maximum, the peer's end of stream) gives exactly one
//   socketDidDisconnect notice, after the notices already submitted; reads
//   and writes still pending then get no notice.
// - Writes never raise SIGPIPE: a peer that has gone turns into an error.
//
// Errors handed to socketDidDisconnect: none for a requested close; codes
// 4 to 7 of kQueueSocketErrorDomain for a read timeout, a write timeout, a
// read that reached its maximum length, and the peer's close; a
// kPOSIXErrorDomain error with failure reason "Error in read() function"
// or "Error in write() function" for a failed system read or write.
//
// Ownership: whoever creates a socket (for an accepted one, whoever the
// delegate hands it to) owns it through a shared_ptr. The socket owns its
// descriptors, sources, timers and queued packets, and holds its socket
// queue and delegate queue; it does not own its delegate. Destroying a
// socket closes it without any notice: clear the delegate first, or expect
// silence.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "base/UniqueFd.h"
#include "dispatch/ReadinessSource.h"
#include "dispatch/SerialQueue.h"
#include "dispatch/Timer.h"
#include "pagehost/Socket/Bytes.h"
#include "pagehost/Socket/ErrorValue.h"
#include "pagehost/Socket/QueueSocketDelegate.h"
#include "pagehost/Socket/QueueSocketPreBuffer.h"
#include "pagehost/Socket/QueueSocketReadPacket.h"
#include "pagehost/Socket/QueueSocketWritePacket.h"

inline constexpr std::string_view kQueueSocketErrorDomain =
    "QueueSocketErrorDomain";

// Codes of kQueueSocketErrorDomain.
enum QueueSocketError : int64_t {
  kQueueSocketNoError = 0,
  kQueueSocketBadConfigError = 1,
  kQueueSocketBadParamError = 2,
  kQueueSocketConnectTimeoutError = 3,
  kQueueSocketReadTimeoutError = 4,
  kQueueSocketWriteTimeoutError = 5,
  kQueueSocketReadMaxedOutError = 6,
  kQueueSocketClosedError = 7,
  kQueueSocketOtherError = 8,
};

class QueueSocket : public std::enable_shared_from_this<QueueSocket> {
 public:
  // State bits (flags()). Closing clears them all.
  enum Flag : uint32_t {
    kStarted = 0x1,               // listening, or born connected
    kConnected = 0x2,             // born connected by an accept
    kReadsWritesForbidden = 0x4,  // a disconnect-after request was made
    kReadsPaused = 0x8,           // current read timed out, asking delegate
    kWritesPaused = 0x10,         // current write timed out, asking delegate
    kCloseAfterReads = 0x20,
    kCloseAfterWrites = 0x40,
    kCanWrite = 0x80,  // the descriptor is known to take bytes
    kReadSourceSuspended = 0x100,
    kWriteSourceSuspended = 0x200,
    kPeerEOF = 0x4000,         // the peer's end of stream was seen
    kReadHalfClosed = 0x8000,  // half-duplex: read side closed, still open
  };

  // Configuration bits (config()); 0 by default.
  enum Config : uint16_t {
    kIPv4Disabled = 0x1,
    kIPv6Disabled = 0x2,
    kPreferIPv6 = 0x4,  // kept for completeness; only clients would use it
    kAllowHalfDuplex = 0x8,
  };

  // Creates an idle socket. Without a socket queue the socket makes its own
  // serial queue, labelled "QueueSocket". A socket queue may be shared by
  // several sockets. Delegate calls go to delegateQueue; without one there
  // are no notices (and no accepting).
  static std::shared_ptr<QueueSocket> create(
      std::weak_ptr<QueueSocketDelegate> delegate,
      std::shared_ptr<dispatch::SerialQueue> delegateQueue,
      std::shared_ptr<dispatch::SerialQueue> socketQueue = nullptr);
  static std::shared_ptr<QueueSocket> create(
      std::shared_ptr<dispatch::SerialQueue> socketQueue = nullptr);

  ~QueueSocket();
  QueueSocket(const QueueSocket&) = delete;
  QueueSocket& operator=(const QueueSocket&) = delete;

  // Terminators for readDataToData: CR LF, CR, LF, one zero byte.
  static const Bytes& CRLFData();
  static const Bytes& CRData();
  static const Bytes& LFData();
  static const Bytes& ZeroData();

  // --- Delegate. Queries wait; setters are asynchronous, their
  // synchronously... twins return once the change has taken effect.
  std::shared_ptr<QueueSocketDelegate> delegate() const;
  std::shared_ptr<dispatch::SerialQueue> delegateQueue() const;
  void getDelegate(std::shared_ptr<QueueSocketDelegate>* delegate,
                   std::shared_ptr<dispatch::SerialQueue>* delegateQueue) const;
  void setDelegate(std::weak_ptr<QueueSocketDelegate> delegate);
  void setDelegateQueue(std::shared_ptr<dispatch::SerialQueue> delegateQueue);
  void setDelegate(std::weak_ptr<QueueSocketDelegate> delegate,
                   std::shared_ptr<dispatch::SerialQueue> delegateQueue);
  void synchronouslySetDelegate(std::weak_ptr<QueueSocketDelegate> delegate);
  void synchronouslySetDelegateQueue(
      std::shared_ptr<dispatch::SerialQueue> delegateQueue);
  void synchronouslySetDelegate(
      std::weak_ptr<QueueSocketDelegate> delegate,
      std::shared_ptr<dispatch::SerialQueue> delegateQueue);

  // --- Configuration (queries wait, setters are asynchronous). They matter
  // before acceptOnInterface (families) and while connected (half-duplex).
  bool isIPv4Enabled() const;
  void setIPv4Enabled(bool enabled);
  bool isIPv6Enabled() const;
  void setIPv6Enabled(bool enabled);
  bool isIPv4PreferredOverIPv6() const;
  void setPreferIPv4OverIPv6(bool preferIPv4);
  // True (the default): the peer's end of stream closes the socket. False:
  // the socket stays open for writing while the descriptor can take bytes,
  // and socketDidCloseReadStream tells the delegate.
  bool autoDisconnectOnClosedReadStream() const;
  void setAutoDisconnectOnClosedReadStream(bool flag);

  // --- Listening. Waits for the socket queue.
  // Starts listening on interface (nullopt or "": every address, 0.0.0.0
  // and ::; "localhost"/"loopback": 127.0.0.1 and ::1; otherwise an
  // interface name such as "eth0" or a numeric IPv4 address). The text may
  // carry a port after a colon ("localhost:8080"), used when port is 0.
  // Port 0 lets the system choose; both families then share the port the
  // IPv4 descriptor got. Each accepted connection becomes a new connected
  // socket handed to the delegate (socketDidAcceptNewSocket) on the
  // delegate queue. While the process is out of descriptors, accepting
  // rests for a moment at a time rather than failing over and over.
  // Returns false, with *error set when error is not null, when there is no
  // delegate or delegate queue, both families are disabled, the socket is
  // already started (code 1), the interface is unknown or lacks the
  // enabled family (code 2), or a system call fails (POSIX error, for
  // instance "Error in bind() function" for a port in use); the socket is
  // then idle with no descriptor open.
  bool acceptOnPort(uint16_t port, ErrorValue* error);
  bool acceptOnInterface(std::optional<std::string> interface, uint16_t port,
                         ErrorValue* error);

  // --- State. Wait for the socket queue.
  // Closes a started socket at once: pending reads and writes are dropped
  // without notice, and socketDidDisconnect follows with no error. Does
  // nothing on an idle socket. Returns once the socket is closed; a
  // listener's port is free for a new acceptOnInterface right away.
  void disconnect();
  bool isDisconnected() const;
  bool isConnected() const;
  // Local port (IPv4 descriptor first), or 0 without a descriptor.
  uint16_t localPort() const;
  uint16_t localPort4() const;
  uint16_t localPort6() const;
  // The state and configuration bits, for diagnostics and tests.
  uint32_t flags() const;
  uint16_t config() const;

  // --- Reads. Each queues a read and returns at once; reads complete one
  // at a time in the order queued, each with one socketDidReadData notice.
  // Requests on a socket that is not connected, or after a disconnect-after
  // request, are dropped without notice. timeout is in seconds from the
  // moment the read becomes current; negative means none. A read whose
  // time is up closes the socket with code 4 unless the delegate grants
  // more time.
  // Reads exactly length bytes, into a buffer of that size allocated at
  // once. Ignored when length is 0.
  void readDataToLength(uint64_t length, double timeout, int64_t tag);
  // Reads up to and including the first occurrence of term. With maxLength
  // > 0, a read that gathers maxLength bytes (terminator included) without
  // the terminator closes the socket with code 6. Ignored when term is
  // empty or maxLength is non-zero and shorter than term.
  void readDataToData(Bytes term, double timeout, uint64_t maxLength,
                      int64_t tag);
  void readDataToData(Bytes term, double timeout, int64_t tag);
  // Reads whatever has arrived (at least one byte).
  void readDataWithTimeout(double timeout, int64_t tag);

  // --- Writes. Queues a write of data and returns at once; writes go out
  // one at a time in the order queued, each with one
  // socketDidWriteDataWithTag notice once every byte has been handed to the
  // system. The socket shares data without copying it. Ignored when data is
  // null or empty, on a socket that is not connected, or after a
  // disconnect-after request. A write whose time is up (even if some bytes
  // went out) closes the socket with code 5 unless the delegate grants more
  // time.
  void writeData(SharedBytes data, double timeout, int64_t tag);
  void writeData(Bytes data, double timeout, int64_t tag);

  // --- Disconnect-after requests (asynchronous). On a started socket:
  // take no new reads or writes, serve what is queued on the named side(s),
  // then close with no error. Nothing on an idle socket.
  void disconnectAfterReading();
  void disconnectAfterWriting();
  void disconnectAfterReadingAndWriting();

 private:
  QueueSocket(std::weak_ptr<QueueSocketDelegate> delegate,
              std::shared_ptr<dispatch::SerialQueue> delegateQueue,
              std::shared_ptr<dispatch::SerialQueue> socketQueue);

  using Delegate = QueueSocketDelegate;
  using SharedFd = std::shared_ptr<base::UniqueFd>;

  // How public operations reach the socket queue.
  bool isOnSocketQueue() const;
  void runSync(const std::function<void()>& body) const;
  void runAsync(dispatch::Task body);
  template <typename Call>
  void notifyDelegate(Delegate::Operation op, Call call);
  template <typename Body>
  auto whileAlive(Body body);
  static void releaseOutsideHandler(std::shared_ptr<QueueSocket> self);

  bool configBit(uint16_t bit) const;
  void setConfigBit(uint16_t bit, bool set);

  // Errors.
  static ErrorValue badConfigError(std::string text);
  static ErrorValue badParamError(std::string text);
  static ErrorValue readTimeoutError();
  static ErrorValue writeTimeoutError();
  static ErrorValue readMaxedOutError();
  static ErrorValue connectionClosedError();
  static ErrorValue errnoErrorWithReason(std::string reason);

  // Object, sources and closing (QueueSocket.cc).
  int connectedFD() const;
  static uint16_t localPortOfFD(int fd);
  void setupReadAndWriteSourcesForNewlyConnectedSocket(int fd);
  void onReadEvent(size_t waiting);
  std::optional<size_t> bytesWaitingUnlessEnded() const;
  void onWriteEvent();
  void suspendReadSource();
  void resumeReadSource();
  void suspendWriteSource();
  void resumeWriteSource();
  void closeWithError(std::optional<ErrorValue> error);
  uint32_t tearDown();
  void maybeClose();
  void disconnectAfter(uint32_t closeAfterBits);
  std::shared_ptr<dispatch::Timer> armTimer(double seconds,
                                            void (QueueSocket::*fired)());
  static double secondsLeft(double timeout,
                            std::chrono::steady_clock::time_point start);
  // now + seconds, capped as armTimer caps delays.
  static std::chrono::steady_clock::time_point deadlineAfter(double seconds);

  // Listening and accepting (QueueSocket_accept.cc).
  bool doAcceptOnInterface(const std::optional<std::string>& interface,
                           uint16_t port, ErrorValue* error);
  std::shared_ptr<dispatch::ReadinessSource> makeAcceptSource(
      const SharedFd& fd);
  void doAcceptLoop(int listenFD, size_t pending);
  bool doAccept(int listenFD);
  void pauseAccepting();
  static void handOverAcceptedSocket(
      const std::shared_ptr<QueueSocket>& listener,
      const std::shared_ptr<Delegate>& delegate,
      const std::shared_ptr<dispatch::SerialQueue>& delegateQueue,
      const sockaddr_storage& address, int family, const SharedFd& fd);

  // Reads (QueueSocket_read.cc).
  struct ReadPass;
  void enqueueRead(std::shared_ptr<QueueSocketReadPacket> packet);
  void maybeDequeueRead();
  bool dequeueNextRead();
  void doReadData();
  void serveReads();
  void armReadTimerIfWaiting();
  ReadPass readPass();
  void readFromDescriptor(ReadPass* pass);
  void moveTermBytesFromPreBuffer(ReadPass* pass);
  void doReadEOF();
  void completeCurrentRead();
  void endCurrentRead();
  void cancelReadTimer();
  void doReadTimeout();
  void doReadTimeoutWithExtension(
      double extension, const std::weak_ptr<QueueSocketReadPacket>& packet);
  bool readsPending() const;

  // Writes (QueueSocket_write.cc).
  void maybeDequeueWrite();
  void doWriteData();
  void armWriteTimerIfWaiting();
  void completeCurrentWrite();
  void endCurrentWrite();
  void doWriteTimeout();
  void doWriteTimeoutWithExtension(
      double extension, const std::weak_ptr<QueueSocketWritePacket>& packet);
  bool writesPending() const;

  // Everything below is touched only on socketQueue_ (or by the destructor,
  // once nothing else can reach the socket).
  uint32_t flags_ = 0;
  uint16_t config_ = 0;
  std::weak_ptr<Delegate> delegate_;
  std::shared_ptr<dispatch::SerialQueue> delegateQueue_;
  // The descriptors. Shared with the cancellation handlers of the sources
  // that watch them: the last of the socket and those handlers to let go
  // closes the descriptor, so it stays open until no event can arrive.
  SharedFd socket4FD_;
  SharedFd socket6FD_;
  const std::shared_ptr<dispatch::SerialQueue> socketQueue_;
  std::shared_ptr<dispatch::ReadinessSource> accept4Source_;
  std::shared_ptr<dispatch::ReadinessSource> accept6Source_;
  std::shared_ptr<dispatch::ReadinessSource> readSource_;
  std::shared_ptr<dispatch::ReadinessSource> writeSource_;
  // Armed for the current read, or for an earlier one whose deadline
  // comes no later (see armReadTimerIfWaiting); fires at readTimerDeadline_.
  std::shared_ptr<dispatch::Timer> readTimer_;
  std::chrono::steady_clock::time_point readTimerDeadline_;
  std::shared_ptr<dispatch::Timer> writeTimer_;
  // Runs while accepting is paused because the process is out of
  // descriptors (or memory), so that a waiting connection does not make
  // every accept event fail at once, over and over.
  std::shared_ptr<dispatch::Timer> acceptRetryTimer_;
  std::list<std::shared_ptr<QueueSocketReadPacket>> readQueue_;
  std::list<std::shared_ptr<QueueSocketWritePacket>> writeQueue_;
  std::shared_ptr<QueueSocketReadPacket> currentRead_;
  std::shared_ptr<QueueSocketWritePacket> currentWrite_;
  // Bytes the last read event reported waiting in the kernel, counted down
  // as they are read.
  uint64_t socketFDBytesAvailable_ = 0;
  QueueSocketPreBuffer preBuffer_;
};

// Wraps the handler of a source or timer that this socket owns: body runs
// only while the socket exists, and never destroys it. When the handler's
// own reference turns out to be the last (the owner let go without
// disconnecting), it is released in a task of its own, so that the socket,
// and with it the source or timer, goes away outside that handler.
template <typename Body>
auto QueueSocket::whileAlive(Body body) {
  return [weak = weak_from_this(), body](auto... args) {
    std::shared_ptr<QueueSocket> self = weak.lock();
    if (!self) return;
    body(*self, args...);
    releaseOutsideHandler(std::move(self));
  };
}

// Submits one notice to the delegate queue, if there is a delegate that
// offers op. call(delegate, socket) runs there; the task holds both.
template <typename Call>
void QueueSocket::notifyDelegate(Delegate::Operation op, Call call) {
  if (!delegateQueue_) return;
  std::shared_ptr<Delegate> delegate = delegate_.lock();
  if (!delegate || !delegate->offers(op)) return;
  // Empty only while the destructor runs; a dying socket sends nothing.
  std::shared_ptr<QueueSocket> self = weak_from_this().lock();
  if (!self) return;
  delegateQueue_->async(
      [delegate = std::move(delegate), self = std::move(self),
       call = std::move(call)]() mutable { call(*delegate, self); });
}
