#include "pagehost/Socket/tests/LineEchoServer.h"

#include <chrono>
#include <utility>
#include <vector>

namespace {
constexpr uint32_t kOffered = QueueSocketDelegate::kSocketDidAcceptNewSocket |
                              QueueSocketDelegate::kSocketDidReadData |
                              QueueSocketDelegate::kSocketDidWriteDataWithTag |
                              QueueSocketDelegate::kSocketDidDisconnect;
}  // namespace

LineEchoServer::LineEchoServer(Options options)
    : QueueSocketDelegate(kOffered),
      options_(options),
      serverQueue_(dispatch::SerialQueue::create("LineEchoServer")),
      connectionQueue_(dispatch::SerialQueue::create("LineEchoConnection")) {}

std::shared_ptr<LineEchoServer> LineEchoServer::create(Options options) {
  std::shared_ptr<LineEchoServer> server(new LineEchoServer(options));
  server->listener_ = QueueSocket::create(server, server->serverQueue_);
  return server;
}

LineEchoServer::~LineEchoServer() {
  // Connections hold this server only weakly; closing them here leaves
  // nobody to notify.
  listener_->synchronouslySetDelegate(std::weak_ptr<QueueSocketDelegate>(),
                                      nullptr);
  listener_->disconnect();
  std::map<const QueueSocket*, std::shared_ptr<QueueSocket>> connections;
  {
    std::lock_guard lock(mutex_);
    connections.swap(connections_);
  }
  for (auto& [key, sock] : connections) sock->disconnect();
}

bool LineEchoServer::start(std::optional<std::string> interface, uint16_t port,
                           ErrorValue* error) {
  return listener_->acceptOnInterface(std::move(interface), port, error);
}

void LineEchoServer::stop() {
  listener_->disconnect();
  // Connections accepted before the listener closed may still be on their
  // way to the registry.
  serverQueue_->sync([] {});
  std::vector<std::shared_ptr<QueueSocket>> open;
  {
    std::lock_guard lock(mutex_);
    for (auto& [key, sock] : connections_) open.push_back(sock);
  }
  // Each connection leaves the registry through its disconnect notice.
  for (auto& sock : open) sock->disconnect();
}

size_t LineEchoServer::connectionCount() const {
  std::lock_guard lock(mutex_);
  return connections_.size();
}

uint64_t LineEchoServer::linesEchoed() const {
  std::lock_guard lock(mutex_);
  return linesEchoed_;
}

uint64_t LineEchoServer::acceptedCount() const {
  std::lock_guard lock(mutex_);
  return accepted_;
}

std::map<int64_t, uint64_t> LineEchoServer::endings() const {
  std::lock_guard lock(mutex_);
  return endings_;
}

bool LineEchoServer::waitForConnectionCount(size_t count,
                                            double timeoutSeconds) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                           [&] { return connections_.size() == count; });
}

bool LineEchoServer::waitForEndings(uint64_t count, double timeoutSeconds) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                           [&] { return ended_ >= count; });
}

void LineEchoServer::readNextLine(QueueSocket& sock) {
  sock.readDataToData(QueueSocket::LFData(), options_.readTimeout,
                      options_.maxLineLength, 0);
}

void LineEchoServer::socketDidAcceptNewSocket(
    const std::shared_ptr<QueueSocket>&,
    std::shared_ptr<QueueSocket> newSocket) {
  {
    // Registered before it can do anything, so that stop() finds it.
    std::lock_guard lock(mutex_);
    ++accepted_;
    connections_.emplace(newSocket.get(), newSocket);
    changed_.notify_all();
  }
  // Both requests reach the new socket's queue in this order, so the first
  // line's notice already goes to the connection queue.
  newSocket->setDelegate(weak_from_this(), connectionQueue_);
  readNextLine(*newSocket);
}

void LineEchoServer::socketDidReadData(const std::shared_ptr<QueueSocket>& sock,
                                       Bytes data, int64_t) {
  sock->writeData(std::move(data), options_.writeTimeout, 0);
  std::lock_guard lock(mutex_);
  ++linesEchoed_;
}

void LineEchoServer::socketDidWriteDataWithTag(
    const std::shared_ptr<QueueSocket>& sock, int64_t) {
  readNextLine(*sock);
}

void LineEchoServer::socketDidDisconnect(
    const std::shared_ptr<QueueSocket>& sock,
    const std::optional<ErrorValue>& error) {
  if (sock == listener_) return;
  std::lock_guard lock(mutex_);
  auto found = connections_.find(sock.get());
  if (found == connections_.end()) return;
  // The caller's reference keeps the socket alive past the lock.
  connections_.erase(found);
  ++ended_;
  ++endings_[error ? error->code : 0];
  changed_.notify_all();
}
