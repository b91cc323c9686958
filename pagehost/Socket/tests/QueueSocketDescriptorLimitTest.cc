// A process that runs out of descriptors while a connection waits to be
// accepted: the listener must pick the connection up once descriptors are
// free again.
//
// A binary of its own, kept out of the ASan+UBSan run: with no descriptor
// left, UBSan's own checks (which open a pipe) report false errors.
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "gtest/gtest.h"
#include "pagehost/Socket/tests/QueueSocketTestSupport.h"

namespace sockettest {
namespace {

class QueueSocketDescriptorLimitTest : public SocketTest {};

TEST_F(QueueSocketDescriptorLimitTest,
       AcceptingResumesAfterRunningOutOfDescriptors) {
  auto delegate = std::make_shared<RecordingDelegate>(
      QueueSocketDelegate::kSocketDidAcceptNewSocket);
  auto listener = QueueSocket::create(delegate, delegate->queue());
  ErrorValue error;
  ASSERT_TRUE(listener->acceptOnInterface("localhost", 0, &error));
  const uint16_t port = listener->localPort();

  // The client's descriptor exists before the limit drops; connecting
  // needs no new one, but accepting does.
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  rlimit none = limit;
  none.rlim_cur = 0;
  ::setrlimit(RLIMIT_NOFILE, &none);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  const int connected =
      ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  // Give the listener time to fail at least once while nothing is left.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ::setrlimit(RLIMIT_NOFILE, &limit);
  ASSERT_EQ(connected, 0);

  EXPECT_TRUE(delegate->waitForAccepted(1));
  std::shared_ptr<QueueSocket> accepted = delegate->takeAccepted();
  ASSERT_TRUE(accepted);
  accepted->writeData(bytesOf("ok"), -1, 1);
  char reply[2] = {};
  EXPECT_EQ(::recv(fd, reply, 2, MSG_WAITALL), 2);
  EXPECT_EQ(std::string(reply, 2), "ok");
  ::close(fd);
  accepted->disconnect();
  listener->disconnect();
}

}  // namespace
}  // namespace sockettest
