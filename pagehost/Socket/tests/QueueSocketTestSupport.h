// Test support for QueueSocket: a delegate that records its notices as
// text, a blocking loopback client, a listener-plus-accepted-socket pair,
// and a count of the process's open descriptors.
// Waits give up after a generous time only so that a broken socket fails a
// test instead of hanging it; no test depends on how long anything takes.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "dispatch/SerialQueue.h"
#include "gtest/gtest.h"
#include "pagehost/Socket/QueueSocket.h"

namespace sockettest {

// How long a wait may take before the test calls it a hang.
inline constexpr int kHangSeconds = 20;

// Every notice becomes one line of text:
//   "accept"                     socketDidAcceptNewSocket
//   "read TAG 'BYTES'"           socketDidReadData (\r, \n shown escaped)
//   "partial-read TAG N"         socketDidReadPartialDataOfLength
//   "write TAG"                  socketDidWriteDataWithTag
//   "partial-write TAG"          socketDidWritePartialDataOfLength
//   "timeout-read TAG ELAPSED DONE" / "timeout-write TAG ELAPSED DONE"
//   "read-stream-closed"         socketDidCloseReadStream
//   "disconnect"                 socketDidDisconnect, no error
//   "disconnect CODE TEXT"       ... with a QueueSocketErrorDomain error
//   "disconnect posix REASON"    ... with a POSIX error
// A notice for an operation the delegate does not offer, a notice off the
// delegate queue, or a notice after the socket's disconnect notice fails
// the test.
class RecordingDelegate : public QueueSocketDelegate {
 public:
  static constexpr uint32_t kAll = 0x3ff;
  explicit RecordingDelegate(uint32_t offered);

  const std::shared_ptr<dispatch::SerialQueue>& queue() const { return queue_; }

  std::vector<std::string> events() const;
  // Waits until some event starts with prefix; false after kHangSeconds.
  bool waitForEvent(std::string_view prefix);
  // Waits until at least count events were recorded.
  bool waitForCount(size_t count);
  // Waits until at least count sockets were accepted in all.
  bool waitForAccepted(size_t count);
  // Runs an empty task on the delegate queue, so every notice submitted so
  // far has run.
  void flush();

  // Sockets handed over by socketDidAcceptNewSocket, oldest first.
  std::shared_ptr<QueueSocket> takeAccepted();
  size_t acceptedCount() const;
  // The error of the last disconnect notice.
  std::optional<ErrorValue> lastError() const;

  // Answers to the timeout questions, used in order; 0 once used up.
  void setExtensions(std::vector<double> read, std::vector<double> write);

  // Called on the delegate queue with every recorded event.
  void setObserver(std::function<void(const std::string&)> observer);

  std::shared_ptr<dispatch::SerialQueue> newSocketQueueForConnectionFromAddress(
      const sockaddr_storage& address,
      const std::shared_ptr<QueueSocket>& sock) override;
  void socketDidAcceptNewSocket(
      const std::shared_ptr<QueueSocket>& sock,
      std::shared_ptr<QueueSocket> newSocket) override;
  void socketDidDisconnect(const std::shared_ptr<QueueSocket>& sock,
                           const std::optional<ErrorValue>& error) override;
  void socketDidReadData(const std::shared_ptr<QueueSocket>& sock, Bytes data,
                         int64_t tag) override;
  void socketDidReadPartialDataOfLength(
      const std::shared_ptr<QueueSocket>& sock, uint64_t length,
      int64_t tag) override;
  double socketShouldTimeoutReadWithTag(
      const std::shared_ptr<QueueSocket>& sock, int64_t tag, double elapsed,
      uint64_t bytesDone) override;
  void socketDidCloseReadStream(
      const std::shared_ptr<QueueSocket>& sock) override;
  void socketDidWriteDataWithTag(const std::shared_ptr<QueueSocket>& sock,
                                 int64_t tag) override;
  void socketDidWritePartialDataOfLength(
      const std::shared_ptr<QueueSocket>& sock, uint64_t length,
      int64_t tag) override;
  double socketShouldTimeoutWriteWithTag(
      const std::shared_ptr<QueueSocket>& sock, int64_t tag, double elapsed,
      uint64_t bytesDone) override;

 private:
  void check(Operation op, const std::shared_ptr<QueueSocket>& sock);
  void record(std::string event);
  bool waitUntil(const std::function<bool()>& done);

  const std::shared_ptr<dispatch::SerialQueue> queue_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> events_;
  std::deque<std::shared_ptr<QueueSocket>> accepted_;
  size_t acceptedCount_ = 0;
  std::vector<std::weak_ptr<QueueSocket>> disconnected_;
  std::optional<ErrorValue> lastError_;
  std::deque<double> readExtensions_;
  std::deque<double> writeExtensions_;
  std::function<void(const std::string&)> observer_;
};

// Shows bytes as text with CR and LF escaped.
std::string printable(std::string_view bytes);
Bytes bytesOf(std::string_view text);

// A blocking TCP client on the loopback interface.
class TestClient {
 public:
  // Connects to 127.0.0.1 (or ::1 with family AF_INET6); fd() is -1 when
  // that failed.
  static TestClient connectTo(uint16_t port, int family = AF_INET);
  TestClient() = default;
  TestClient(TestClient&& other) noexcept;
  TestClient& operator=(TestClient&& other) noexcept;
  ~TestClient();

  int fd() const { return fd_; }
  bool sendAll(std::string_view bytes);
  // Reads until count bytes arrived or the stream ended.
  std::string receive(size_t count);
  // Reads until the end of stream (or a reset); returns everything read,
  // or nothing if the stream did not end.
  std::optional<std::string> receiveUntilEOF();
  void shutdownWrite();
  // Closes with a reset instead of an orderly end of stream.
  void reset();
  void close();

 private:
  explicit TestClient(int fd) : fd_(fd) {}
  int fd_ = -1;
};

// Waits until the socket's flags, masked, equal expected.
bool waitForFlags(const QueueSocket& sock, uint32_t mask, uint32_t expected);

// The number of descriptors the process has open.
size_t openDescriptorCount();
// Waits until openDescriptorCount() == count; returns the last count seen.
size_t waitForDescriptorCount(size_t count);

// The fixture of every socket test: a test starts once the descriptors of
// earlier tests are closed, and fails if it leaves any of its own open
// (sockets close theirs asynchronously, once their sources have stopped).
class SocketTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  size_t descriptorsAtStart_ = 0;
};

// A listener on 127.0.0.1/::1 (any port), one client connected to it, and
// the server side of that connection with a delegate of its own. The
// server socket's delegate is in place before the client sends anything.
struct ConnectedPair {
  static std::unique_ptr<ConnectedPair> open(uint32_t offered);
  ~ConnectedPair();

  std::shared_ptr<RecordingDelegate> listenerDelegate;
  std::shared_ptr<QueueSocket> listener;
  std::shared_ptr<RecordingDelegate> delegate;
  std::shared_ptr<QueueSocket> server;
  TestClient client;
};

}  // namespace sockettest
