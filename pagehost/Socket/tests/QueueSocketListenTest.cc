// Listening and accepting: both families on one port, the configuration
// and interface checks, ports held by others, listening again on the same
// port, and accepted sockets that outlive their listener.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "pagehost/Socket/tests/QueueSocketTestSupport.h"

namespace sockettest {
namespace {

class QueueSocketListenTest : public SocketTest {};

constexpr uint32_t kListenerOps =
    QueueSocketDelegate::kSocketDidAcceptNewSocket |
    QueueSocketDelegate::kSocketDidDisconnect;

struct Listener {
  Listener(uint32_t offered = kListenerOps)
      : delegate(std::make_shared<RecordingDelegate>(offered)),
        sock(QueueSocket::create(delegate, delegate->queue())) {}
  ~Listener() {
    sock->disconnect();
    delegate->flush();
  }
  std::shared_ptr<RecordingDelegate> delegate;
  std::shared_ptr<QueueSocket> sock;
};

// A port that was free a moment ago.
uint16_t freePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  socklen_t length = sizeof(address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

// Checks that a client of the family reaches the listener and gets an
// echo of one byte through the accepted socket.
void expectServes(Listener& listener, uint16_t port, int family) {
  const size_t before = listener.delegate->acceptedCount();
  TestClient client = TestClient::connectTo(port, family);
  ASSERT_GE(client.fd(), 0) << "family " << family;
  ASSERT_TRUE(listener.delegate->waitForAccepted(before + 1));
  std::shared_ptr<QueueSocket> sock = listener.delegate->takeAccepted();
  ASSERT_TRUE(sock);
  EXPECT_TRUE(sock->isConnected());
  sock->writeData(bytesOf("!"), -1, 1);
  EXPECT_EQ(client.receive(1), "!");
  sock->synchronouslySetDelegate(std::weak_ptr<QueueSocketDelegate>(), nullptr);
  sock->disconnect();
}

TEST_F(QueueSocketListenTest, AnyAddressServesBothFamiliesOnOnePort) {
  Listener listener;
  ErrorValue error;
  ASSERT_TRUE(listener.sock->acceptOnPort(0, &error)) << error.toString();
  const uint16_t port = listener.sock->localPort();
  EXPECT_NE(port, 0);
  EXPECT_EQ(listener.sock->localPort4(), port);
  EXPECT_EQ(listener.sock->localPort6(), port);
  EXPECT_FALSE(listener.sock->isDisconnected());
  EXPECT_FALSE(listener.sock->isConnected());
  expectServes(listener, port, AF_INET);
  expectServes(listener, port, AF_INET6);
}

TEST_F(QueueSocketListenTest, InterfaceTexts) {
  const uint16_t textPort = freePort();
  const struct {
    const char* name;
    std::optional<std::string> interface;
    bool hasIPv4;
    bool hasIPv6;
    bool portFromText;
  } kCases[] = {
      {"no interface", std::nullopt, true, true, false},
      {"empty text", "", true, true, false},
      {"localhost", "localhost", true, true, false},
      {"loopback", "loopback", true, true, false},
      {"interface name", "lo", true, true, false},
      {"numeric IPv4 address", "127.0.0.1", true, false, false},
      {"port in the text", "localhost:" + std::to_string(textPort), true, true,
       true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    Listener listener;
    ErrorValue error;
    ASSERT_TRUE(listener.sock->acceptOnInterface(c.interface, 0, &error))
        << error.toString();
    const uint16_t port = listener.sock->localPort();
    if (c.portFromText) {
      EXPECT_EQ(port, textPort);
    }
    EXPECT_EQ(listener.sock->localPort4(), c.hasIPv4 ? port : 0);
    EXPECT_EQ(listener.sock->localPort6(), c.hasIPv6 ? port : 0);
    if (c.hasIPv4) {
      expectServes(listener, port, AF_INET);
    }
    if (c.hasIPv6) {
      expectServes(listener, port, AF_INET6);
    }
  }
}

TEST_F(QueueSocketListenTest, RefusedSetUps) {
  enum Setup {
    kNoDelegate,
    kNoDelegateQueue,
    kBothDisabled,
    kIPv6Only,
    kPlain
  };
  const struct {
    const char* name;
    Setup setup;
    const char* interface;
    int64_t code;
    const char* text;
  } kCases[] = {
      {"no delegate", kNoDelegate, nullptr, 1,
       "Attempting to accept without a delegate. Set a delegate first."},
      {"no delegate queue", kNoDelegateQueue, nullptr, 1,
       "Attempting to accept without a delegate queue. Set a delegate queue "
       "first."},
      {"both families disabled", kBothDisabled, nullptr, 1,
       "Both IPv4 and IPv6 have been disabled. Must enable at least one "
       "protocol first."},
      {"unknown interface", kPlain, "no-such-interface0", 2,
       "Unknown interface. Specify valid interface by name (e.g. \"en1\") or "
       "IP address."},
      {"IPv4 disabled, IPv4-only interface", kIPv6Only, "127.0.0.1", 2,
       "IPv4 has been disabled and specified interface doesn't support "
       "IPv6."},
  };
  const size_t descriptors = openDescriptorCount();
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    Listener listener;
    switch (c.setup) {
      case kNoDelegate:
        listener.sock->setDelegate(std::weak_ptr<QueueSocketDelegate>());
        break;
      case kNoDelegateQueue:
        listener.sock->setDelegateQueue(nullptr);
        break;
      case kBothDisabled:
        listener.sock->setIPv4Enabled(false);
        listener.sock->setIPv6Enabled(false);
        break;
      case kIPv6Only:
        listener.sock->setIPv4Enabled(false);
        break;
      case kPlain:
        break;
    }
    std::optional<std::string> interface;
    if (c.interface) interface = c.interface;
    ErrorValue error;
    EXPECT_FALSE(listener.sock->acceptOnInterface(interface, 0, &error));
    EXPECT_EQ(error.domain, kQueueSocketErrorDomain);
    EXPECT_EQ(error.code, c.code);
    EXPECT_EQ(error.description, c.text);
    EXPECT_TRUE(listener.sock->isDisconnected());
    EXPECT_EQ(listener.sock->localPort(), 0);
    // No error location: still just false.
    EXPECT_FALSE(listener.sock->acceptOnInterface(interface, 0, nullptr));
  }
  EXPECT_EQ(openDescriptorCount(), descriptors);
}

TEST_F(QueueSocketListenTest, OneFamilyDisabled) {
  Listener listener;
  listener.sock->setIPv6Enabled(false);
  ErrorValue error;
  ASSERT_TRUE(listener.sock->acceptOnPort(0, &error)) << error.toString();
  EXPECT_NE(listener.sock->localPort4(), 0);
  EXPECT_EQ(listener.sock->localPort6(), 0);
  expectServes(listener, listener.sock->localPort(), AF_INET);
}

TEST_F(QueueSocketListenTest, AcceptingTwiceFailsAndTheFirstListenerGoesOn) {
  Listener listener;
  ErrorValue error;
  ASSERT_TRUE(listener.sock->acceptOnPort(0, &error));
  const uint16_t port = listener.sock->localPort();
  EXPECT_FALSE(listener.sock->acceptOnPort(0, &error));
  EXPECT_EQ(error.code, 1);
  EXPECT_EQ(error.description,
            "Attempting to accept while connected or accepting connections. "
            "Disconnect first.");
  EXPECT_EQ(listener.sock->localPort(), port);
  expectServes(listener, port, AF_INET);
}

TEST_F(QueueSocketListenTest, PortHeldElsewhereIsABindError) {
  Listener holder;
  ErrorValue error;
  ASSERT_TRUE(holder.sock->acceptOnPort(0, &error));
  const uint16_t port = holder.sock->localPort();

  const size_t descriptors = openDescriptorCount();
  const struct {
    const char* name;
    bool ipv6Only;
  } kCases[] = {{"first family fails", false}, {"second family fails", true}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    Listener listener;
    if (c.ipv6Only) listener.sock->setIPv4Enabled(false);
    EXPECT_FALSE(listener.sock->acceptOnPort(port, &error));
    EXPECT_EQ(error.domain, kPOSIXErrorDomain);
    EXPECT_EQ(error.code, EADDRINUSE);
    EXPECT_EQ(error.failureReason, "Error in bind() function");
    EXPECT_TRUE(listener.sock->isDisconnected());
    EXPECT_EQ(openDescriptorCount(), descriptors);
  }

  // IPv4 free but IPv6 taken: the IPv4 descriptor is closed again.
  Listener ipv6Holder;
  ipv6Holder.sock->setIPv4Enabled(false);
  const uint16_t otherPort = freePort();
  ASSERT_TRUE(ipv6Holder.sock->acceptOnPort(otherPort, &error))
      << error.toString();
  const size_t withHolder = openDescriptorCount();
  Listener listener;
  EXPECT_FALSE(listener.sock->acceptOnPort(otherPort, &error));
  EXPECT_EQ(error.failureReason, "Error in bind() function");
  EXPECT_EQ(openDescriptorCount(), withHolder);
}

TEST_F(QueueSocketListenTest, ListensAgainOnTheSamePortAfterDisconnect) {
  Listener listener;
  ErrorValue error;
  ASSERT_TRUE(listener.sock->acceptOnPort(0, &error));
  const uint16_t port = listener.sock->localPort();

  // A connection that lives on across the listener's restarts, and one
  // closed by the server (which leaves the port's old connection in
  // TIME_WAIT).
  TestClient survivor = TestClient::connectTo(port);
  ASSERT_TRUE(listener.delegate->waitForEvent("accept"));
  std::shared_ptr<QueueSocket> accepted = listener.delegate->takeAccepted();
  auto delegate = std::make_shared<RecordingDelegate>(RecordingDelegate::kAll);
  accepted->synchronouslySetDelegate(delegate, delegate->queue());
  expectServes(listener, port, AF_INET);

  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    listener.sock->disconnect();
    EXPECT_TRUE(listener.sock->isDisconnected());
    ASSERT_TRUE(listener.sock->acceptOnPort(port, &error)) << error.toString();
    EXPECT_EQ(listener.sock->localPort(), port);
    expectServes(listener, port, AF_INET6);
  }
  listener.sock->disconnect();

  // Accepted sockets live on without their listener.
  accepted->readDataToData(QueueSocket::LFData(), -1, 1);
  accepted->writeData(bytesOf("still\n"), -1, 2);
  ASSERT_TRUE(survivor.sendAll("ping\n"));
  EXPECT_EQ(survivor.receive(6), "still\n");
  ASSERT_TRUE(delegate->waitForEvent("read 1"));
  accepted->disconnect();
  delegate->flush();
  EXPECT_EQ(
      delegate->events(),
      (std::vector<std::string>{"write 2", "read 1 'ping\\n'", "disconnect"}));
  // Each of the listener's closes gave one notice.
  std::vector<std::string> expected{"accept", "accept"};
  for (int round = 0; round < 3; ++round) {
    expected.insert(expected.end(), {"disconnect", "accept"});
  }
  expected.push_back("disconnect");
  listener.delegate->flush();
  EXPECT_EQ(listener.delegate->events(), expected);
}

TEST_F(QueueSocketListenTest, PeerThatConnectsAndClosesAtOnce) {
  Listener listener;
  ErrorValue error;
  ASSERT_TRUE(listener.sock->acceptOnInterface("localhost", 0, &error));
  TestClient::connectTo(listener.sock->localPort()).close();
  // The accepted socket keeps the listener's delegate; it closes as soon as
  // it sees the end of stream.
  ASSERT_TRUE(listener.delegate->waitForEvent("disconnect 7"));
  listener.delegate->flush();
  EXPECT_EQ(listener.delegate->events(),
            (std::vector<std::string>{
                "accept", "disconnect 7 Socket closed by remote peer"}));
}

TEST_F(QueueSocketListenTest, AcceptWithoutTakerClosesTheConnection) {
  Listener listener(QueueSocketDelegate::kSocketDidDisconnect);
  ErrorValue error;
  ASSERT_TRUE(listener.sock->acceptOnInterface("localhost", 0, &error));
  const size_t descriptors = openDescriptorCount();
  TestClient client = TestClient::connectTo(listener.sock->localPort());
  EXPECT_EQ(client.receiveUntilEOF(), "");
  client.close();
  EXPECT_EQ(waitForDescriptorCount(descriptors), descriptors);
}

TEST_F(QueueSocketListenTest, AcceptedSocketRunsOnTheQueueTheDelegateGives) {
  Listener listener(
      kListenerOps |
      QueueSocketDelegate::kNewSocketQueueForConnectionFromAddress);
  ErrorValue error;
  ASSERT_TRUE(listener.sock->acceptOnInterface("localhost", 0, &error));
  expectServes(listener, listener.sock->localPort(), AF_INET);
}

}  // namespace
}  // namespace sockettest
