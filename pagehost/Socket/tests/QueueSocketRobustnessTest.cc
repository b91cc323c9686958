// Whole conversations and hostile peers, against the line-echo server:
// many clients at once, garbage, a client that never reads, a thousand
// silent connections, and sockets let go mid-traffic.
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "pagehost/Socket/tests/LineEchoServer.h"
#include "pagehost/Socket/tests/QueueSocketTestSupport.h"

namespace sockettest {
namespace {

class QueueSocketRobustnessTest : public SocketTest {};

std::shared_ptr<LineEchoServer> startEchoServer(
    LineEchoServer::Options options = {}) {
  auto server = LineEchoServer::create(options);
  ErrorValue error;
  EXPECT_TRUE(server->start("localhost", 0, &error)) << error.toString();
  return server;
}

// Lines of random length and content (never LF inside), sent in random
// pieces.
std::string randomLines(std::mt19937* random, int count, size_t maxLength) {
  std::string text;
  std::uniform_int_distribution<size_t> length(0, maxLength);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int i = 0; i < count; ++i) {
    const size_t n = length(*random);
    for (size_t j = 0; j < n; ++j) {
      char c = static_cast<char>(byte(*random));
      text += c == '\n' ? '\r' : c;
    }
    text += '\n';
  }
  return text;
}

TEST_F(QueueSocketRobustnessTest, ManyClientsGetEveryByteBackInOrder) {
  auto server = startEchoServer();
  constexpr int kClients = 8;
  std::vector<std::thread> clients;
  std::vector<int> mismatches(kClients, 0);
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&, i] {
      std::mt19937 random(1234 + i);
      const std::string text = randomLines(&random, 1500, 400);
      TestClient client = TestClient::connectTo(server->port(), AF_INET6);
      std::thread sender([&] {
        std::uniform_int_distribution<size_t> piece(1, 3000);
        for (size_t at = 0; at < text.size();) {
          const size_t n = std::min(piece(random), text.size() - at);
          if (!client.sendAll(std::string_view(text).substr(at, n))) break;
          at += n;
        }
      });
      const std::string echoed = client.receive(text.size());
      sender.join();
      if (echoed != text) mismatches[i] = 1;
    });
  }
  for (auto& client : clients) client.join();
  EXPECT_EQ(mismatches, std::vector<int>(kClients, 0));
  EXPECT_EQ(server->linesEchoed(), kClients * 1500u);
  EXPECT_TRUE(server->waitForEndings(kClients, kHangSeconds));
  EXPECT_EQ(server->endings(), (std::map<int64_t, uint64_t>{{7, kClients}}));
  server->stop();
  server.reset();
}

TEST_F(QueueSocketRobustnessTest, GarbageWithoutLineEndsIsCutOffAtTheMaximum) {
  auto server = startEchoServer({.maxLineLength = 1000});
  {
    TestClient polite = TestClient::connectTo(server->port());
    TestClient rude = TestClient::connectTo(server->port());
    std::mt19937 random(99);
    std::string garbage;
    while (garbage.size() < 20000) {
      const char c = static_cast<char>(random());
      if (c != '\n') garbage += c;
    }
    rude.sendAll(garbage);
    ASSERT_TRUE(server->waitForEndings(1, kHangSeconds));
    EXPECT_EQ(server->endings(), (std::map<int64_t, uint64_t>{{6, 1}}));

    ASSERT_TRUE(polite.sendAll("hello\n"));
    EXPECT_EQ(polite.receive(6), "hello\n");
  }
  server->stop();
  server.reset();
}

TEST_F(QueueSocketRobustnessTest, ClientThatNeverReadsTimesOutAlone) {
  auto server = startEchoServer({.maxLineLength = 100000, .writeTimeout = 0.5});
  {
    TestClient stuck = TestClient::connectTo(server->port());
    TestClient fine = TestClient::connectTo(server->port());
    // Sends until the connection ends: the echoes fill the client's receive
    // buffer, the server's echo blocks, it stops reading, and the sends
    // block too until the server gives up on the echo.
    std::thread sender([&stuck] {
      const std::string line = std::string(50000, 'x') + "\n";
      while (stuck.sendAll(line)) {
      }
    });
    ASSERT_TRUE(fine.sendAll("still served\n"));
    EXPECT_EQ(fine.receive(13), "still served\n");
    EXPECT_TRUE(server->waitForEndings(1, kHangSeconds));
    EXPECT_EQ(server->endings(), (std::map<int64_t, uint64_t>{{5, 1}}));
    stuck.shutdownWrite();
    sender.join();
  }
  server->stop();
  server.reset();
}

TEST_F(QueueSocketRobustnessTest, AThousandSilentConnections) {
  constexpr size_t kConnections = 1000;
  // Each connection costs two descriptors here: client and server side.
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  const rlim_t needed = openDescriptorCount() + 2 * kConnections + 64;
  if (limit.rlim_cur < needed) {
    rlimit raised = limit;
    raised.rlim_cur = std::min(needed, limit.rlim_max);
    ::setrlimit(RLIMIT_NOFILE, &raised);
  }

  auto server = startEchoServer();
  {
    std::vector<TestClient> clients;
    for (size_t i = 0; i < kConnections; ++i) {
      clients.push_back(TestClient::connectTo(server->port()));
      ASSERT_GE(clients.back().fd(), 0) << i;
    }
    ASSERT_TRUE(server->waitForConnectionCount(kConnections, kHangSeconds));
    // Still serving while a thousand others say nothing.
    TestClient talker = TestClient::connectTo(server->port());
    ASSERT_TRUE(talker.sendAll("hi\n"));
    EXPECT_EQ(talker.receive(3), "hi\n");

    server->stop();
    EXPECT_TRUE(server->waitForConnectionCount(0, kHangSeconds));
    EXPECT_EQ(server->endings(),
              (std::map<int64_t, uint64_t>{{0, kConnections + 1}}));
    EXPECT_EQ(clients.front().receiveUntilEOF(), "");
    EXPECT_EQ(clients.back().receiveUntilEOF(), "");
  }
  server.reset();
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

TEST_F(QueueSocketRobustnessTest, LettingGoMidTrafficClosesTheSocket) {
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    auto pair = ConnectedPair::open(RecordingDelegate::kAll);
    ASSERT_TRUE(pair);
    std::thread sender([&client = pair->client] {
      const std::string line(1000, 'y');
      for (int i = 0; i < 2000; ++i) {
        if (!client.sendAll(line + "\n")) break;
      }
    });
    for (int i = 0; i < 50; ++i) {
      pair->server->readDataToData(QueueSocket::LFData(), 5, 10000, i);
      pair->server->writeData(bytesOf(std::string(5000, 'z')), 5, i);
    }
    if (round % 2 == 1) pair->delegate->waitForEvent("read");
    // The last owner lets go while reads, writes and events are in flight:
    // once the tasks that still hold the socket have run, it closes.
    pair->server.reset();
    EXPECT_TRUE(pair->client.receiveUntilEOF());
    pair->client.shutdownWrite();
    sender.join();
  }
}

}  // namespace
}  // namespace sockettest
