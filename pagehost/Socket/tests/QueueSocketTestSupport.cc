#include "pagehost/Socket/tests/QueueSocketTestSupport.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

#include "dispatch/Semaphore.h"
#include "dispatch/Timer.h"
#include "gtest/gtest.h"

namespace sockettest {
namespace {

using Clock = std::chrono::steady_clock;

const char* errorText(const std::optional<ErrorValue>& error) {
  return error ? error->description.c_str() : "";
}

// The descriptors open once the reactor and the worker pool exist.
size_t settledDescriptors = 0;

// Starts the reactor (which keeps descriptors of its own for good) before
// any test counts descriptors.
class WarmUp : public ::testing::Environment {
 public:
  void SetUp() override {
    auto queue = dispatch::SerialQueue::create("test.warm-up");
    dispatch::Semaphore fired(0);
    auto timer = dispatch::Timer::oneShot(std::chrono::milliseconds(1), queue,
                                          [&fired] { fired.signal(); });
    fired.wait();
    settledDescriptors = openDescriptorCount();
  }
};

const auto* const kWarmUp = ::testing::AddGlobalTestEnvironment(new WarmUp);

}  // namespace

// --- RecordingDelegate.

RecordingDelegate::RecordingDelegate(uint32_t offered)
    : QueueSocketDelegate(offered),
      queue_(dispatch::SerialQueue::create("test.delegate")) {}

void RecordingDelegate::check(Operation op,
                              const std::shared_ptr<QueueSocket>& sock) {
  EXPECT_TRUE(offers(op)) << "operation " << op << " is not offered";
  EXPECT_TRUE(queue_->isCurrent()) << "notice off the delegate queue";
  std::lock_guard lock(mutex_);
  auto same = [&](const std::weak_ptr<QueueSocket>& gone) {
    return !gone.owner_before(sock) && !sock.owner_before(gone);
  };
  // A listener may listen again after its close; a connection never comes
  // back.
  if (op == kSocketDidAcceptNewSocket ||
      op == kNewSocketQueueForConnectionFromAddress) {
    std::erase_if(disconnected_, same);
  }
  for (const std::weak_ptr<QueueSocket>& gone : disconnected_) {
    EXPECT_FALSE(same(gone)) << "notice after the disconnect notice";
  }
}

void RecordingDelegate::record(std::string event) {
  std::function<void(const std::string&)> observer;
  {
    std::lock_guard lock(mutex_);
    events_.push_back(event);
    observer = observer_;
  }
  changed_.notify_all();
  if (observer) observer(event);
}

std::vector<std::string> RecordingDelegate::events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

bool RecordingDelegate::waitUntil(const std::function<bool()>& done) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::seconds(kHangSeconds), done);
}

bool RecordingDelegate::waitForEvent(std::string_view prefix) {
  return waitUntil([&] {
    for (const std::string& event : events_) {
      if (event.compare(0, prefix.size(), prefix) == 0) return true;
    }
    return false;
  });
}

bool RecordingDelegate::waitForCount(size_t count) {
  return waitUntil([&] { return events_.size() >= count; });
}

bool RecordingDelegate::waitForAccepted(size_t count) {
  return waitUntil([&] { return acceptedCount_ >= count; });
}

void RecordingDelegate::flush() {
  queue_->sync([] {});
}

std::shared_ptr<QueueSocket> RecordingDelegate::takeAccepted() {
  std::lock_guard lock(mutex_);
  if (accepted_.empty()) return nullptr;
  std::shared_ptr<QueueSocket> sock = std::move(accepted_.front());
  accepted_.pop_front();
  return sock;
}

size_t RecordingDelegate::acceptedCount() const {
  std::lock_guard lock(mutex_);
  return acceptedCount_;
}

std::optional<ErrorValue> RecordingDelegate::lastError() const {
  std::lock_guard lock(mutex_);
  return lastError_;
}

void RecordingDelegate::setExtensions(std::vector<double> read,
                                      std::vector<double> write) {
  std::lock_guard lock(mutex_);
  readExtensions_.assign(read.begin(), read.end());
  writeExtensions_.assign(write.begin(), write.end());
}

void RecordingDelegate::setObserver(
    std::function<void(const std::string&)> observer) {
  std::lock_guard lock(mutex_);
  observer_ = std::move(observer);
}

std::shared_ptr<dispatch::SerialQueue>
RecordingDelegate::newSocketQueueForConnectionFromAddress(
    const sockaddr_storage&, const std::shared_ptr<QueueSocket>& sock) {
  check(kNewSocketQueueForConnectionFromAddress, sock);
  return dispatch::SerialQueue::create("test.accepted");
}

void RecordingDelegate::socketDidAcceptNewSocket(
    const std::shared_ptr<QueueSocket>& sock,
    std::shared_ptr<QueueSocket> newSocket) {
  check(kSocketDidAcceptNewSocket, sock);
  {
    std::lock_guard lock(mutex_);
    accepted_.push_back(std::move(newSocket));
    ++acceptedCount_;
  }
  record("accept");
}

void RecordingDelegate::socketDidDisconnect(
    const std::shared_ptr<QueueSocket>& sock,
    const std::optional<ErrorValue>& error) {
  check(kSocketDidDisconnect, sock);
  {
    std::lock_guard lock(mutex_);
    disconnected_.push_back(sock);
    lastError_ = error;
  }
  if (!error) {
    record("disconnect");
  } else if (error->domain == kQueueSocketErrorDomain) {
    record("disconnect " + std::to_string(error->code) + " " +
           errorText(error));
  } else {
    EXPECT_EQ(error->domain, kPOSIXErrorDomain);
    record("disconnect posix " + error->failureReason.value_or("?"));
  }
}

void RecordingDelegate::socketDidReadData(
    const std::shared_ptr<QueueSocket>& sock, Bytes data, int64_t tag) {
  check(kSocketDidReadData, sock);
  record("read " + std::to_string(tag) + " '" +
         printable(std::string_view(reinterpret_cast<const char*>(data.data()),
                                    data.size())) +
         "'");
}

void RecordingDelegate::socketDidReadPartialDataOfLength(
    const std::shared_ptr<QueueSocket>& sock, uint64_t length, int64_t tag) {
  check(kSocketDidReadPartialDataOfLength, sock);
  record("partial-read " + std::to_string(tag) + " " + std::to_string(length));
}

namespace {
std::string timeoutEvent(const char* kind, int64_t tag, double elapsed,
                         uint64_t bytesDone) {
  char text[96];
  std::snprintf(text, sizeof(text), "timeout-%s %lld %.1f %llu", kind,
                static_cast<long long>(tag), elapsed,
                static_cast<unsigned long long>(bytesDone));
  return text;
}

double nextExtension(std::deque<double>* extensions) {
  if (extensions->empty()) return 0;
  double extension = extensions->front();
  extensions->pop_front();
  return extension;
}
}  // namespace

double RecordingDelegate::socketShouldTimeoutReadWithTag(
    const std::shared_ptr<QueueSocket>& sock, int64_t tag, double elapsed,
    uint64_t bytesDone) {
  check(kSocketShouldTimeoutReadWithTag, sock);
  record(timeoutEvent("read", tag, elapsed, bytesDone));
  std::lock_guard lock(mutex_);
  return nextExtension(&readExtensions_);
}

void RecordingDelegate::socketDidCloseReadStream(
    const std::shared_ptr<QueueSocket>& sock) {
  check(kSocketDidCloseReadStream, sock);
  record("read-stream-closed");
}

void RecordingDelegate::socketDidWriteDataWithTag(
    const std::shared_ptr<QueueSocket>& sock, int64_t tag) {
  check(kSocketDidWriteDataWithTag, sock);
  record("write " + std::to_string(tag));
}

void RecordingDelegate::socketDidWritePartialDataOfLength(
    const std::shared_ptr<QueueSocket>& sock, uint64_t length, int64_t tag) {
  check(kSocketDidWritePartialDataOfLength, sock);
  EXPECT_GT(length, 0u);
  record("partial-write " + std::to_string(tag));
}

double RecordingDelegate::socketShouldTimeoutWriteWithTag(
    const std::shared_ptr<QueueSocket>& sock, int64_t tag, double elapsed,
    uint64_t bytesDone) {
  check(kSocketShouldTimeoutWriteWithTag, sock);
  // Bytes done depends on the kernel's buffers; only its presence counts.
  record(timeoutEvent("write", tag, elapsed, bytesDone > 0 ? 1 : 0));
  std::lock_guard lock(mutex_);
  return nextExtension(&writeExtensions_);
}

// --- Bytes.

std::string printable(std::string_view bytes) {
  std::string text;
  for (char c : bytes) {
    if (c == '\r') {
      text += "\\r";
    } else if (c == '\n') {
      text += "\\n";
    } else {
      text += c;
    }
  }
  return text;
}

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

// --- TestClient.

TestClient TestClient::connectTo(uint16_t port, int family) {
  int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return TestClient();
  int result;
  if (family == AF_INET6) {
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    address.sin6_port = htons(port);
    result =
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  } else {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    result =
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  }
  if (result != 0) {
    ::close(fd);
    return TestClient();
  }
  return TestClient(fd);
}

TestClient::TestClient(TestClient&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)) {}

TestClient& TestClient::operator=(TestClient&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

TestClient::~TestClient() { close(); }

bool TestClient::sendAll(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(sent));
  }
  return true;
}

std::string TestClient::receive(size_t count) {
  std::string received;
  const auto deadline = Clock::now() + std::chrono::seconds(kHangSeconds);
  char chunk[65536];
  while (received.size() < count && Clock::now() < deadline) {
    pollfd entry{fd_, POLLIN, 0};
    if (::poll(&entry, 1, 100) <= 0) continue;
    ssize_t got =
        ::recv(fd_, chunk, std::min(sizeof(chunk), count - received.size()), 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    received.append(chunk, static_cast<size_t>(got));
  }
  return received;
}

std::optional<std::string> TestClient::receiveUntilEOF() {
  std::string received;
  const auto deadline = Clock::now() + std::chrono::seconds(kHangSeconds);
  char chunk[65536];
  while (Clock::now() < deadline) {
    pollfd entry{fd_, POLLIN, 0};
    if (::poll(&entry, 1, 100) <= 0) continue;
    ssize_t got = ::recv(fd_, chunk, sizeof(chunk), 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return received;
    received.append(chunk, static_cast<size_t>(got));
  }
  return std::nullopt;
}

void TestClient::shutdownWrite() { ::shutdown(fd_, SHUT_WR); }

void TestClient::reset() {
  if (fd_ < 0) return;
  linger immediate{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &immediate, sizeof(immediate));
  close();
}

void TestClient::close() {
  if (fd_ >= 0) ::close(std::exchange(fd_, -1));
}

bool waitForFlags(const QueueSocket& sock, uint32_t mask, uint32_t expected) {
  const auto deadline = Clock::now() + std::chrono::seconds(kHangSeconds);
  while ((sock.flags() & mask) != expected) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// --- Descriptors.

size_t openDescriptorCount() {
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return 0;
  size_t count = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count - 1;  // The listing's own descriptor.
}

size_t waitForDescriptorCount(size_t count) {
  const auto deadline = Clock::now() + std::chrono::seconds(kHangSeconds);
  size_t now = openDescriptorCount();
  while (now != count && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    now = openDescriptorCount();
  }
  return now;
}

// --- SocketTest.

void SocketTest::SetUp() {
  descriptorsAtStart_ = waitForDescriptorCount(settledDescriptors);
}

void SocketTest::TearDown() {
  EXPECT_EQ(waitForDescriptorCount(descriptorsAtStart_), descriptorsAtStart_)
      << "descriptors left open";
}

// --- ConnectedPair.

std::unique_ptr<ConnectedPair> ConnectedPair::open(uint32_t offered) {
  auto pair = std::make_unique<ConnectedPair>();
  pair->listenerDelegate = std::make_shared<RecordingDelegate>(
      QueueSocketDelegate::kSocketDidAcceptNewSocket);
  pair->listener = QueueSocket::create(pair->listenerDelegate,
                                       pair->listenerDelegate->queue());
  ErrorValue error;
  if (!pair->listener->acceptOnInterface("localhost", 0, &error)) {
    ADD_FAILURE() << error.toString();
    return nullptr;
  }
  pair->client = TestClient::connectTo(pair->listener->localPort());
  if (pair->client.fd() < 0 ||
      !pair->listenerDelegate->waitForEvent("accept")) {
    ADD_FAILURE() << "no connection";
    return nullptr;
  }
  pair->server = pair->listenerDelegate->takeAccepted();
  pair->delegate = std::make_shared<RecordingDelegate>(offered);
  pair->server->synchronouslySetDelegate(pair->delegate,
                                         pair->delegate->queue());
  return pair;
}

ConnectedPair::~ConnectedPair() {
  if (server) {
    server->synchronouslySetDelegate(std::weak_ptr<QueueSocketDelegate>(),
                                     nullptr);
    server->disconnect();
  }
  if (listener) listener->disconnect();
  if (delegate) delegate->flush();
  listenerDelegate->flush();
}

}  // namespace sockettest
