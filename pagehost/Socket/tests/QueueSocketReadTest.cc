// The read queue over real loopback connections: each case is a script of
// read requests, bytes the peer sends and notices to wait for, and the
// exact notices the socket's delegate must get.
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "pagehost/Socket/tests/QueueSocketTestSupport.h"

namespace sockettest {
namespace {

class QueueSocketReadTest : public SocketTest {};

struct Step {
  enum Kind {
    kReadTerm,
    kReadLength,
    kReadAvailable,
    kSend,
    kEnd,
    kAwait,
    kPause
  };
  Kind kind;
  std::string text;     // terminator, bytes to send, or notice to wait for
  uint64_t number = 0;  // length, or maximum length
  int64_t tag = 0;
  double timeout = -1;
};

Step readLine(int64_t tag, uint64_t maxLength = 0, double timeout = -1) {
  return {Step::kReadTerm, "\r\n", maxLength, tag, timeout};
}
Step readTo(std::string term, int64_t tag, uint64_t maxLength = 0) {
  return {Step::kReadTerm, std::move(term), maxLength, tag};
}
Step readLength(uint64_t length, int64_t tag) {
  return {Step::kReadLength, "", length, tag};
}
Step readAvailable(int64_t tag) { return {Step::kReadAvailable, "", 0, tag}; }
Step send(std::string bytes) { return {Step::kSend, std::move(bytes)}; }
// The peer ends its stream (an orderly close of its sending side).
Step endStream() { return {Step::kEnd, ""}; }
// Waits for a notice beginning with prefix, so that what follows happens
// after the socket has dealt with everything before.
Step await(std::string prefix) { return {Step::kAwait, std::move(prefix)}; }
// Lets time pass, so that a timer that should not exist would have fired.
Step pause(double seconds) { return {Step::kPause, "", 0, 0, seconds}; }

struct ReadCase {
  const char* name;
  std::vector<Step> steps;
  std::vector<std::string> expected;
  uint32_t offered = RecordingDelegate::kAll;
  std::vector<double> extensions = {};
};

void perform(ConnectedPair& pair, const Step& step) {
  QueueSocket& sock = *pair.server;
  switch (step.kind) {
    case Step::kReadTerm:
      sock.readDataToData(bytesOf(step.text), step.timeout, step.number,
                          step.tag);
      break;
    case Step::kReadLength:
      sock.readDataToLength(step.number, step.timeout, step.tag);
      break;
    case Step::kReadAvailable:
      sock.readDataWithTimeout(step.timeout, step.tag);
      break;
    case Step::kSend:
      ASSERT_TRUE(pair.client.sendAll(step.text));
      break;
    case Step::kEnd:
      pair.client.shutdownWrite();
      break;
    case Step::kAwait:
      ASSERT_TRUE(pair.delegate->waitForEvent(step.text)) << step.text;
      break;
    case Step::kPause:
      std::this_thread::sleep_for(std::chrono::duration<double>(step.timeout));
      break;
  }
}

// Runs the script, then closes the socket if it is still open, and compares
// every notice. A script that does not end in a disconnect notice gets the
// plain one of the requested close.
void runCase(const ReadCase& c) {
  SCOPED_TRACE(c.name);
  const size_t descriptors = openDescriptorCount();
  {
    auto pair = ConnectedPair::open(c.offered);
    ASSERT_TRUE(pair);
    pair->delegate->setExtensions(c.extensions, {});
    for (const Step& step : c.steps) perform(*pair, step);
    pair->delegate->waitForCount(c.expected.size());
    pair->server->disconnect();
    pair->delegate->flush();

    std::vector<std::string> expected = c.expected;
    if (expected.empty() || expected.back().rfind("disconnect", 0) != 0) {
      expected.push_back("disconnect");
    }
    EXPECT_EQ(pair->delegate->events(), expected);
    EXPECT_TRUE(pair->server->isDisconnected());
  }
  EXPECT_EQ(waitForDescriptorCount(descriptors), descriptors);
}

const char kClosed[] = "disconnect 7 Socket closed by remote peer";
const char kMaxedOut[] =
    "disconnect 6 Read operation reached set maximum length";
const char kTimedOut[] = "disconnect 4 Read operation timed out";

TEST_F(QueueSocketReadTest, Lines) {
  const ReadCase kCases[] = {
      {"two lines in one segment",
       {readLine(1), readLine(2), send("GET / HTTP/1.1\r\nHost: a\r\n")},
       {"read 1 'GET / HTTP/1.1\\r\\n'", "read 2 'Host: a\\r\\n'"}},
      {"second line waits in the pre-buffer for a later read",
       {readLine(1), send("a\r\nb\r\n"), await("read 1"), readLine(2)},
       {"read 1 'a\\r\\n'", "read 2 'b\\r\\n'"}},
      {"terminator split across segments",
       {readLine(1), send("abc\r"), await("partial-read"), send("\ndef\r\n"),
        await("read 1"), readLine(2)},
       {"partial-read 1 4", "read 1 'abc\\r\\n'", "read 2 'def\\r\\n'"}},
      {"long terminator split across segments",
       {readTo("\r\n\r\n", 1), send("a\r\n\r"), await("partial-read"),
        send("\n")},
       {"partial-read 1 4", "read 1 'a\\r\\n\\r\\n'"}},
      {"line of exactly the maximum",
       {readLine(1, 8), send("123456\r\n")},
       {"read 1 '123456\\r\\n'"}},
      {"no terminator within the maximum",
       {readLine(1, 8), send("12345678")},
       {"partial-read 1 8", kMaxedOut}},
      {"terminator straddling the maximum",
       {readLine(1, 8), send("1234567\r\n")},
       {"partial-read 1 8", kMaxedOut}},
      {"maximum reached over two segments",
       {readLine(1, 8), send("1234"), await("partial-read"), send("5678\r\n")},
       {"partial-read 1 4", "partial-read 1 4", kMaxedOut}},
      {"mixed kinds share one segment",
       {readLength(3, 1), readLine(2), readAvailable(3), send("abcdef\r\nxyz")},
       {"read 1 'abc'", "read 2 'def\\r\\n'", "read 3 'xyz'"}},
      {"length read leaves the rest for the next read",
       {readLength(4, 1), send("abcdefg"), await("read 1"), readLength(3, 2)},
       {"read 1 'abcd'", "read 2 'efg'"}},
      {"length read across segments",
       {readLength(6, 1), send("abc"), await("partial-read"), send("defgh"),
        await("read 1"), readAvailable(2)},
       {"partial-read 1 3", "read 1 'abcdef'", "read 2 'gh'"}},
      {"invalid requests are ignored",
       {readLength(0, 1), readLine(2, 1), readTo("", 3), readLine(4),
        send("ok\r\n")},
       {"read 4 'ok\\r\\n'"}},
      {"line before the end of stream is still delivered",
       {send("last\r\n"), endStream(), readLine(1)},
       {"read 1 'last\\r\\n'", kClosed}},
      {"end of stream in the middle of a line",
       {readLine(1), send("partial"), endStream()},
       {"partial-read 1 7", kClosed}},
      {"end of stream with no read pending",
       {endStream(), await("disconnect")},
       {kClosed}},
  };
  for (const ReadCase& c : kCases) runCase(c);
}

TEST_F(QueueSocketReadTest, Timeouts) {
  const uint32_t kNoTimeoutQuestion =
      RecordingDelegate::kAll &
      ~QueueSocketDelegate::kSocketShouldTimeoutReadWithTag;
  const ReadCase kCases[] = {
      {"read without data times out",
       {readLine(1, 0, 0.2)},
       {kTimedOut},
       kNoTimeoutQuestion},
      {"partial line times out and is dropped",
       {send("abc"), readLine(1, 0, 0.5)},
       {"partial-read 1 3", kTimedOut},
       kNoTimeoutQuestion},
      {"delegate declines more time",
       {readLine(1, 0, 0.2)},
       {"timeout-read 1 0.2 0", kTimedOut}},
      {"delegate grants more time once",
       {send("ab"), readLine(1, 0, 0.5)},
       {"partial-read 1 2", "timeout-read 1 0.5 2", "timeout-read 1 0.8 2",
        kTimedOut},
       RecordingDelegate::kAll,
       {0.3}},
      {"granted time lets the read complete",
       {readLine(1, 0, 0.2), await("timeout-read"), send("late\r\n")},
       {"timeout-read 1 0.2 0", "read 1 'late\\r\\n'"},
       RecordingDelegate::kAll,
       {60}},
      // Read 1's timer must end with read 1; read 2 has no time limit and
      // waits as long as it takes.
      {"a completed read's timer never fires",
       {readLine(1, 0, 0.2), send("quick\r\n"), await("read 1"),
        readLine(2, 0, -1), pause(0.5), send("slow\r\n")},
       {"read 1 'quick\\r\\n'", "read 2 'slow\\r\\n'"},
       RecordingDelegate::kAll,
       {60}},
      // Each read's limit counts from when it became current, whatever
      // timer an earlier read had.
      {"an earlier read's shorter limit does not cut a later read short",
       {readLine(1, 0, 0.2), send("quick\r\n"), await("read 1"),
        readLine(2, 0, 1.0), pause(0.5), send("slow\r\n")},
       {"read 1 'quick\\r\\n'", "read 2 'slow\\r\\n'"},
       kNoTimeoutQuestion},
      {"a later read's shorter limit is kept",
       {readLine(1, 0, 30), send("quick\r\n"), await("read 1"),
        readLine(2, 0, 0.2)},
       {"read 1 'quick\\r\\n'", kTimedOut},
       kNoTimeoutQuestion},
  };
  for (const ReadCase& c : kCases) runCase(c);
}

TEST_F(QueueSocketReadTest, LengthReadGathersALargeBodyExactly) {
  auto pair = ConnectedPair::open(QueueSocketDelegate::kSocketDidReadData |
                                  QueueSocketDelegate::kSocketDidDisconnect);
  ASSERT_TRUE(pair);
  std::string body;
  for (int i = 0; body.size() < 3 * 1024 * 1024; ++i) {
    body += std::to_string(i) + ",";
  }
  pair->server->readDataToLength(body.size() - 10, -1, 1);
  pair->server->readDataToLength(10, -1, 2);
  ASSERT_TRUE(pair->client.sendAll(body));
  ASSERT_TRUE(pair->delegate->waitForEvent("read 2"));
  const auto events = pair->delegate->events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0], "read 1 '" + body.substr(0, body.size() - 10) + "'");
  EXPECT_EQ(events[1], "read 2 '" + body.substr(body.size() - 10) + "'");
}

TEST_F(QueueSocketReadTest, HalfDuplexKeepsWritingAfterThePeerEnds) {
  auto pair = ConnectedPair::open(RecordingDelegate::kAll);
  ASSERT_TRUE(pair);
  pair->server->setAutoDisconnectOnClosedReadStream(false);
  pair->server->readDataToData(QueueSocket::CRLFData(), -1, 1);
  ASSERT_TRUE(pair->client.sendAll("bye\r\n"));
  pair->client.shutdownWrite();
  ASSERT_TRUE(pair->delegate->waitForEvent("read-stream-closed"));
  pair->server->writeData(bytesOf("still here"), -1, 2);
  EXPECT_EQ(pair->client.receive(10), "still here");
  ASSERT_TRUE(pair->delegate->waitForEvent("write 2"));
  pair->server->disconnect();
  pair->delegate->flush();
  EXPECT_EQ(
      pair->delegate->events(),
      (std::vector<std::string>{"read 1 'bye\\r\\n'", "read-stream-closed",
                                "write 2", "disconnect"}));
  EXPECT_EQ(pair->client.receiveUntilEOF(), "");
}

}  // namespace
}  // namespace sockettest
