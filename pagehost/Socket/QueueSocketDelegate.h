// QueueSocketDelegate: what a QueueSocket tells its user. Every operation
// is optional: a delegate names the operations it offers when it is
// constructed, overrides exactly those, and the socket calls nothing else.
// For an operation that is not offered the socket does what the table
// below says, without submitting anything to the delegate queue.
//
//   operation                              when not offered
//   newSocketQueueForConnectionFromAddress the new socket makes its own queue
//   socketDidAcceptNewSocket               the new socket is closed again
//   socketDidDisconnect                    no notice
//   socketDidReadData                      the bytes are dropped
//   socketDidReadPartialDataOfLength       no progress notice
//   socketShouldTimeoutReadWithTag         0: the read times out
//   socketDidCloseReadStream               no notice
//   socketDidWriteDataWithTag              no notice
//   socketDidWritePartialDataOfLength      no progress notice
//   socketShouldTimeoutWriteWithTag        0: the write times out
//
// Every operation runs on the socket's delegate queue, never on the socket
// queue. The socket refers to its delegate through a std::weak_ptr: it never
// keeps the delegate alive, but each notice it has submitted holds the
// delegate (as it was when the notice was made) and the socket until the
// notice has run.
//
//   class Echo : public QueueSocketDelegate {
//    public:
//     Echo() : QueueSocketDelegate(kSocketDidReadData) {}
//     void socketDidReadData(const std::shared_ptr<QueueSocket>& sock,
//                            Bytes data, int64_t tag) override;
//   };
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <memory>
#include <optional>

#include "dispatch/SerialQueue.h"
#include "pagehost/Socket/Bytes.h"
#include "pagehost/Socket/ErrorValue.h"

class QueueSocket;

class QueueSocketDelegate {
 public:
  // One bit per optional operation, named after it.
  enum Operation : uint32_t {
    kNewSocketQueueForConnectionFromAddress = 1u << 0,
    kSocketDidAcceptNewSocket = 1u << 1,
    kSocketDidDisconnect = 1u << 2,
    kSocketDidReadData = 1u << 3,
    kSocketDidReadPartialDataOfLength = 1u << 4,
    kSocketShouldTimeoutReadWithTag = 1u << 5,
    kSocketDidCloseReadStream = 1u << 6,
    kSocketDidWriteDataWithTag = 1u << 7,
    kSocketDidWritePartialDataOfLength = 1u << 8,
    kSocketShouldTimeoutWriteWithTag = 1u << 9,
  };

  // offered: the Operation bits of the operations this delegate overrides.
  explicit QueueSocketDelegate(uint32_t offered) : offered_(offered) {}
  virtual ~QueueSocketDelegate() = default;

  bool offers(Operation op) const { return (offered_ & op) != 0; }

  // Asked on each accept of a listening socket, before the new socket is
  // made: the serial queue the new socket should run on (nullptr: its own).
  virtual std::shared_ptr<dispatch::SerialQueue>
  newSocketQueueForConnectionFromAddress(
      const sockaddr_storage& address,
      const std::shared_ptr<QueueSocket>& sock);

  // A listening socket accepted a connection. newSocket is connected, has
  // this delegate and the listener's delegate queue, and already watches
  // its descriptor; keep it, or it closes when this call returns.
  virtual void socketDidAcceptNewSocket(
      const std::shared_ptr<QueueSocket>& sock,
      std::shared_ptr<QueueSocket> newSocket);

  // A started socket has closed. error is empty after disconnect() and the
  // disconnect-after requests; otherwise it says why (see QueueSocket.h).
  virtual void socketDidDisconnect(const std::shared_ptr<QueueSocket>& sock,
                                   const std::optional<ErrorValue>& error);

  // A read completed; data is the read's bytes (a terminator read's include
  // the terminator), handed over.
  virtual void socketDidReadData(const std::shared_ptr<QueueSocket>& sock,
                                 Bytes data, int64_t tag);

  // A length or terminator read gathered length more bytes in one pass
  // without completing.
  virtual void socketDidReadPartialDataOfLength(
      const std::shared_ptr<QueueSocket>& sock, uint64_t length, int64_t tag);

  // The current read's time is up. Returns extra seconds (> 0) to grant, or
  // 0 to let the read time out and the socket close. The read makes no
  // progress until the answer is back.
  virtual double socketShouldTimeoutReadWithTag(
      const std::shared_ptr<QueueSocket>& sock, int64_t tag, double elapsed,
      uint64_t bytesDone);

  // Half-duplex only: the peer ended its stream; the socket stays open for
  // writing.
  virtual void socketDidCloseReadStream(
      const std::shared_ptr<QueueSocket>& sock);

  // Every byte of a write has been handed to the system.
  virtual void socketDidWriteDataWithTag(
      const std::shared_ptr<QueueSocket>& sock, int64_t tag);

  // One pass handed length bytes of a write to the system without finishing
  // it.
  virtual void socketDidWritePartialDataOfLength(
      const std::shared_ptr<QueueSocket>& sock, uint64_t length, int64_t tag);

  // As socketShouldTimeoutReadWithTag, for the current write.
  virtual double socketShouldTimeoutWriteWithTag(
      const std::shared_ptr<QueueSocket>& sock, int64_t tag, double elapsed,
      uint64_t bytesDone);

 private:
  const uint32_t offered_;
};
