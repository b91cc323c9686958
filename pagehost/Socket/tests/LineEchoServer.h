// LineEchoServer: a line-echo service built only from QueueSocket. Every
// line a client sends (ended by LF, at most maxLineLength bytes) comes back
// to it unchanged. A fixture of the socket tests and the server of the
// socket benchmark.
//
// It is laid out like pagehost's HTTP server: the listening socket reports
// to a server queue, every connection reports to one shared connection
// queue, and a connection reads its next line only after the echo of the
// previous one has been written, so a client that stops reading stops its
// own connection and nothing else.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "dispatch/SerialQueue.h"
#include "pagehost/Socket/QueueSocket.h"

class LineEchoServer : public QueueSocketDelegate,
                       public std::enable_shared_from_this<LineEchoServer> {
 public:
  struct Options {
    uint64_t maxLineLength = 8190;
    double readTimeout = -1;   // seconds per line; negative = none
    double writeTimeout = -1;  // seconds per echo; negative = none
  };

  static std::shared_ptr<LineEchoServer> create(Options options);
  ~LineEchoServer() override;

  // Listens (see QueueSocket::acceptOnInterface). False with *error set
  // when the socket cannot listen.
  bool start(std::optional<std::string> interface, uint16_t port,
             ErrorValue* error);
  uint16_t port() const { return listener_->localPort(); }
  // Stops listening and closes every connection; returns once all of them
  // are closed (their disconnect notices may still be on their way).
  void stop();

  size_t connectionCount() const;
  uint64_t linesEchoed() const;
  uint64_t acceptedCount() const;
  // How many connections ended with each error code (0: no error; POSIX
  // errors count under their errno).
  std::map<int64_t, uint64_t> endings() const;
  // Waits (at most timeoutSeconds) until connectionCount() == count.
  bool waitForConnectionCount(size_t count, double timeoutSeconds);
  // Waits until at least count connections have ended.
  bool waitForEndings(uint64_t count, double timeoutSeconds);

  void socketDidAcceptNewSocket(
      const std::shared_ptr<QueueSocket>& sock,
      std::shared_ptr<QueueSocket> newSocket) override;
  void socketDidReadData(const std::shared_ptr<QueueSocket>& sock, Bytes data,
                         int64_t tag) override;
  void socketDidWriteDataWithTag(const std::shared_ptr<QueueSocket>& sock,
                                 int64_t tag) override;
  void socketDidDisconnect(const std::shared_ptr<QueueSocket>& sock,
                           const std::optional<ErrorValue>& error) override;

 private:
  explicit LineEchoServer(Options options);
  void readNextLine(QueueSocket& sock);

  const Options options_;
  const std::shared_ptr<dispatch::SerialQueue> serverQueue_;
  const std::shared_ptr<dispatch::SerialQueue> connectionQueue_;
  std::shared_ptr<QueueSocket> listener_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::map<const QueueSocket*, std::shared_ptr<QueueSocket>> connections_;
  uint64_t linesEchoed_ = 0;
  uint64_t accepted_ = 0;
  uint64_t ended_ = 0;
  std::map<int64_t, uint64_t> endings_;
};
