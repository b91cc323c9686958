// The write queue and the ways a connected socket ends: writes in order,
// writes larger than the kernel takes at once, timeouts, a peer that resets
// the connection mid-write, and the disconnect requests.
#include <sys/socket.h>

#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "pagehost/Socket/tests/QueueSocketTestSupport.h"

namespace sockettest {
namespace {

class QueueSocketWriteTest : public SocketTest {};

using Events = std::vector<std::string>;

constexpr uint32_t kNoPartialWrites =
    RecordingDelegate::kAll &
    ~QueueSocketDelegate::kSocketDidWritePartialDataOfLength;

// Far more than loopback's socket buffers hold while the peer does not
// read, so such a peer blocks the write. Each byte depends on its position,
// so lost or reordered pieces show.
std::string largePayload() {
  std::string payload(8 << 20, '\0');
  for (size_t i = 0; i < payload.size(); ++i) {
    payload[i] = static_cast<char>('!' + (i * 31 + i / 65521) % 90);
  }
  return payload;
}

TEST_F(QueueSocketWriteTest, WritesCompleteInOrderAndEmptyOnesAreIgnored) {
  auto pair = ConnectedPair::open(kNoPartialWrites);
  ASSERT_TRUE(pair);
  pair->server->writeData(Bytes(), -1, 1);
  pair->server->writeData(SharedBytes(), -1, 2);
  pair->server->writeData(bytesOf("one "), -1, 3);
  pair->server->writeData(bytesOf("two "), 5, 4);
  pair->server->writeData(bytesOf("three"), -1, 5);
  EXPECT_EQ(pair->client.receive(13), "one two three");
  ASSERT_TRUE(pair->delegate->waitForCount(3));
  pair->server->disconnect();
  pair->delegate->flush();
  EXPECT_EQ(pair->delegate->events(),
            (Events{"write 3", "write 4", "write 5", "disconnect"}));
}

TEST_F(QueueSocketWriteTest, WriteLargerThanTheKernelTakesArrivesWhole) {
  auto pair = ConnectedPair::open(RecordingDelegate::kAll);
  ASSERT_TRUE(pair);
  const std::string payload = largePayload();
  pair->server->writeData(bytesOf(payload), 30, 7);
  pair->server->writeData(bytesOf("end"), 30, 8);
  EXPECT_TRUE(pair->client.receive(payload.size() + 3) == payload + "end");
  ASSERT_TRUE(pair->delegate->waitForEvent("write 8"));

  // Some passes took only part of the write; then one completion each.
  const Events events = pair->delegate->events();
  ASSERT_GE(events.size(), 3u);
  for (size_t i = 0; i + 2 < events.size(); ++i) {
    EXPECT_EQ(events[i], "partial-write 7");
  }
  EXPECT_EQ(events[events.size() - 2], "write 7");
  EXPECT_EQ(events.back(), "write 8");
  // Writability is watched only while a write is blocked: once nothing is
  // left to send, the write source goes back to sleep.
  EXPECT_TRUE(waitForFlags(
      *pair->server,
      QueueSocket::kCanWrite | QueueSocket::kWriteSourceSuspended,
      QueueSocket::kCanWrite | QueueSocket::kWriteSourceSuspended));
}

TEST_F(QueueSocketWriteTest, WriteTimeouts) {
  const struct {
    const char* name;
    std::vector<double> extensions;
    Events expected;
    uint32_t offered;
  } kCases[] = {
      {"no question, no extension",
       {},
       {"disconnect 5 Write operation timed out"},
       kNoPartialWrites &
           ~QueueSocketDelegate::kSocketShouldTimeoutWriteWithTag},
      {"delegate grants more time once",
       {0.3},
       {"timeout-write 1 0.4 1", "timeout-write 1 0.7 1",
        "disconnect 5 Write operation timed out"},
       kNoPartialWrites},
  };
  const std::string payload = largePayload();
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    auto pair = ConnectedPair::open(c.offered);
    ASSERT_TRUE(pair);
    pair->delegate->setExtensions({}, c.extensions);
    // The client never reads: some bytes go out, the rest never does.
    pair->server->writeData(bytesOf(payload), 0.4, 1);
    pair->server->writeData(bytesOf("never"), 0.4, 2);
    ASSERT_TRUE(pair->delegate->waitForEvent("disconnect"));
    pair->delegate->flush();
    EXPECT_EQ(pair->delegate->events(), c.expected);
  }
}

TEST_F(QueueSocketWriteTest, PeerResetDuringALargeWriteIsAnErrorNotASignal) {
  // With SIGPIPE at its default action a send without MSG_NOSIGNAL would
  // end this test process.
  struct sigaction defaultAction {};
  defaultAction.sa_handler = SIG_DFL;
  struct sigaction previous {};
  sigaction(SIGPIPE, &defaultAction, &previous);

  auto pair = ConnectedPair::open(kNoPartialWrites);
  ASSERT_TRUE(pair);
  // One unread byte suspends the read source (nobody reads it), so the
  // reset shows up at the next write rather than as an end of stream.
  ASSERT_TRUE(pair->client.sendAll("x"));
  pair->server->writeData(bytesOf(largePayload()), -1, 1);
  pair->server->writeData(bytesOf("more"), -1, 2);
  // Let the write fill the buffers and block.
  ASSERT_TRUE(waitForFlags(
      *pair->server, QueueSocket::kReadSourceSuspended | QueueSocket::kCanWrite,
      QueueSocket::kReadSourceSuspended));
  pair->client.reset();
  ASSERT_TRUE(pair->delegate->waitForEvent("disconnect"));
  pair->delegate->flush();
  EXPECT_EQ(pair->delegate->events(),
            (Events{"disconnect posix Error in write() function"}));
  const std::optional<ErrorValue> error = pair->delegate->lastError();
  ASSERT_TRUE(error);
  EXPECT_TRUE(error->code == ECONNRESET || error->code == EPIPE)
      << error->toString();
  sigaction(SIGPIPE, &previous, nullptr);
}

TEST_F(QueueSocketWriteTest, DisconnectAfterRequests) {
  enum Request { kAfterReading, kAfterWriting, kAfterBoth, kNow };
  const struct {
    const char* name;
    int reads;   // line reads queued before the request
    int writes;  // writes queued before the request
    Request request;
    const char* peerSends;  // after the request
    Events expected;
  } kCases[] = {
      {"after writing: both writes, then the close",
       0,
       2,
       kAfterWriting,
       "",
       {"write 11", "write 12", "disconnect"}},
      {"after writing with nothing pending closes at once",
       0,
       0,
       kAfterWriting,
       "",
       {"disconnect"}},
      {"after writing drops pending reads at the close",
       1,
       1,
       kAfterWriting,
       "",
       {"write 11", "disconnect"}},
      {"after reading: both lines, then the close",
       2,
       0,
       kAfterReading,
       "a\nb\n",
       {"read 1 'a\\n'", "read 2 'b\\n'", "disconnect"}},
      {"after reading and writing waits for the read",
       1,
       0,
       kAfterBoth,
       "a\n",
       {"read 1 'a\\n'", "disconnect"}},
      {"after reading and writing waits for both",
       1,
       1,
       kAfterBoth,
       "a\n",
       {"write 11", "read 1 'a\\n'", "disconnect"}},
      {"disconnect drops everything pending", 2, 0, kNow, "", {"disconnect"}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const size_t descriptors = openDescriptorCount();
    {
      auto pair = ConnectedPair::open(kNoPartialWrites);
      ASSERT_TRUE(pair);
      QueueSocket& sock = *pair->server;
      for (int i = 1; i <= c.reads; ++i) {
        sock.readDataToData(QueueSocket::LFData(), -1, i);
      }
      for (int i = 1; i <= c.writes; ++i) {
        sock.writeData(bytesOf("w" + std::to_string(i)), -1, 10 + i);
      }
      switch (c.request) {
        case kAfterReading:
          sock.disconnectAfterReading();
          break;
        case kAfterWriting:
          sock.disconnectAfterWriting();
          break;
        case kAfterBoth:
          sock.disconnectAfterReadingAndWriting();
          break;
        case kNow:
          sock.disconnect();
          break;
      }
      // Requests after a disconnect-after request are ignored.
      sock.writeData(bytesOf("late"), -1, 99);
      sock.readDataToData(QueueSocket::LFData(), -1, 99);
      pair->client.sendAll(c.peerSends);
      ASSERT_TRUE(pair->delegate->waitForEvent("disconnect"));
      pair->delegate->flush();
      EXPECT_EQ(pair->delegate->events(), c.expected);
      if (c.request != kNow) {
        std::string written;
        for (int i = 1; i <= c.writes; ++i) written += "w" + std::to_string(i);
        EXPECT_EQ(pair->client.receiveUntilEOF(), written);
      }
    }
    EXPECT_EQ(waitForDescriptorCount(descriptors), descriptors);
  }
}

TEST_F(QueueSocketWriteTest, RequestsOnAnIdleSocketDoNothing) {
  auto delegate = std::make_shared<RecordingDelegate>(RecordingDelegate::kAll);
  auto sock = QueueSocket::create(delegate, delegate->queue());
  sock->readDataToData(QueueSocket::CRLFData(), 1, 1);
  sock->writeData(bytesOf("x"), 1, 2);
  sock->disconnectAfterReadingAndWriting();
  sock->disconnect();
  EXPECT_TRUE(sock->isDisconnected());
  EXPECT_FALSE(sock->isConnected());
  EXPECT_EQ(sock->localPort(), 0);
  delegate->flush();
  EXPECT_TRUE(delegate->events().empty());
}

}  // namespace
}  // namespace sockettest
