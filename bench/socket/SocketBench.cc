// Line echo over loopback: the LineEchoServer (QueueSocket on the dispatch
// queues) against a minimal single-threaded non-blocking epoll echo loop,
// and against the least any server on the dispatch library can do (a read
// source per connection echoing in its handler), which shows what part of
// the gap is the queue library's own.
// Each server runs in a child process of its own so that its memory can be
// read from /proc; this process is the load generator: N client
// connections to 127.0.0.1, each sending a 64-byte line and waiting for
// its echo before it sends the next (closed loop), for a fixed time.
//
// Reported per run: requests per second, the server's resident memory per
// idle connection (all N connected, each having made one round trip, then
// quiet) and its peak resident memory.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "dispatch/ReadinessSource.h"
#include "dispatch/SerialQueue.h"
#include "pagehost/Socket/tests/LineEchoServer.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kLineLength = 64;
constexpr auto kLoadTime = std::chrono::seconds(2);
constexpr int kMaxConnections = 1000;

enum class ServerKind { kQueueSocket, kEpollLoop, kDispatchFloor };

// --- Servers (in the child process).

uint16_t boundPort(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof(address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

void reportPort(int portFd, uint16_t port) {
  if (write(portFd, &port, sizeof(port)) != sizeof(port)) _exit(2);
  close(portFd);
}

// Waits until the parent closes its end of the stop pipe.
void waitForStop(int stopFd) {
  char byte;
  while (read(stopFd, &byte, 1) < 0 && errno == EINTR) {
  }
}

void runQueueSocketServer(int portFd, int stopFd) {
  // The HTTP server's settings: 30-second limits on each line and echo.
  auto server = LineEchoServer::create(
      {.maxLineLength = 8190, .readTimeout = 30, .writeTimeout = 30});
  ErrorValue error;
  if (!server->start("127.0.0.1", 0, &error)) {
    std::fprintf(stderr, "%s\n", error.toString().c_str());
    _exit(1);
  }
  reportPort(portFd, server->port());
  waitForStop(stopFd);
  _exit(0);
}

// The smallest sound echo loop: level-triggered epoll, one shared read
// buffer, bytes a client does not take at once kept for it until it does.
void runEpollLoop(int portFd, int stopFd) {
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  const int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) ||
      listen(listener, 1024)) {
    _exit(1);
  }
  const int epoll = epoll_create1(EPOLL_CLOEXEC);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = listener;
  epoll_ctl(epoll, EPOLL_CTL_ADD, listener, &event);
  event.data.fd = stopFd;
  epoll_ctl(epoll, EPOLL_CTL_ADD, stopFd, &event);
  reportPort(portFd, boundPort(listener));

  std::unordered_map<int, std::string> unsent;
  static char buffer[65536];
  epoll_event ready[256];
  for (;;) {
    const int count = epoll_wait(epoll, ready, 256, -1);
    for (int i = 0; i < count; ++i) {
      const int fd = ready[i].data.fd;
      if (fd == stopFd) _exit(0);
      if (fd == listener) {
        int client;
        while ((client = accept4(listener, nullptr, nullptr,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0) {
          event.events = EPOLLIN;
          event.data.fd = client;
          epoll_ctl(epoll, EPOLL_CTL_ADD, client, &event);
        }
        continue;
      }
      auto closeClient = [&] {
        unsent.erase(fd);
        close(fd);
      };
      std::string* pending = nullptr;
      if (auto found = unsent.find(fd); found != unsent.end()) {
        pending = &found->second;
      }
      if (pending != nullptr) {
        // Writable again: send what is left before reading more.
        ssize_t sent = send(fd, pending->data(), pending->size(), MSG_NOSIGNAL);
        if (sent < 0 && errno != EAGAIN) {
          closeClient();
          continue;
        }
        if (sent > 0) pending->erase(0, static_cast<size_t>(sent));
        if (pending->empty()) {
          unsent.erase(fd);
          event.events = EPOLLIN;
          event.data.fd = fd;
          epoll_ctl(epoll, EPOLL_CTL_MOD, fd, &event);
        }
        continue;
      }
      const ssize_t got = read(fd, buffer, sizeof(buffer));
      if (got == 0 || (got < 0 && errno != EAGAIN)) {
        closeClient();
        continue;
      }
      if (got < 0) continue;
      ssize_t sent = send(fd, buffer, static_cast<size_t>(got), MSG_NOSIGNAL);
      if (sent < 0 && errno != EAGAIN) {
        closeClient();
        continue;
      }
      if (sent < got) {
        unsent[fd].assign(buffer + std::max<ssize_t>(sent, 0), buffer + got);
        event.events = EPOLLOUT;
        event.data.fd = fd;
        epoll_ctl(epoll, EPOLL_CTL_MOD, fd, &event);
      }
    }
  }
}

// The least any server on the dispatch library does per request: one read
// source per connection, on a serial queue of its own, whose handler reads
// and echoes at once. No socket object, no delegate, no queued requests.
void runDispatchFloor(int portFd, int stopFd) {
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) ||
      listen(listener, 1024)) {
    _exit(1);
  }
  struct Connection {
    int fd;
    std::shared_ptr<dispatch::ReadinessSource> source;
  };
  auto acceptQueue = dispatch::SerialQueue::create("floor.accept");
  auto connections =
      std::make_shared<std::vector<std::shared_ptr<Connection>>>();
  auto acceptSource = dispatch::ReadinessSource::create(
      listener, dispatch::SourceKind::kAccept, acceptQueue);
  acceptSource->setEventHandler([=](size_t) {
    int fd;
    while ((fd = accept4(listener, nullptr, nullptr,
                         SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0) {
      auto connection = std::make_shared<Connection>();
      connection->fd = fd;
      connection->source = dispatch::ReadinessSource::create(
          fd, dispatch::SourceKind::kRead,
          dispatch::SerialQueue::create("floor.connection"));
      Connection* raw = connection.get();
      connection->source->setEventHandler([raw](size_t) {
        char buffer[4096];
        const ssize_t got = read(raw->fd, buffer, sizeof(buffer));
        if (got > 0) {
          send(raw->fd, buffer, static_cast<size_t>(got), MSG_NOSIGNAL);
        } else if (got == 0 || errno != EAGAIN) {
          raw->source->cancel();
        }
      });
      connection->source->setCancelHandler([raw] { close(raw->fd); });
      connection->source->resume();
      connections->push_back(std::move(connection));
    }
  });
  acceptSource->resume();
  reportPort(portFd, boundPort(listener));
  waitForStop(stopFd);
  _exit(0);
}

// --- The server process.

struct ServerProcess {
  pid_t pid = -1;
  int stopFd = -1;
  uint16_t port = 0;
};

ServerProcess spawnServer(ServerKind kind) {
  int portPipe[2];
  int stopPipe[2];
  if (pipe2(portPipe, O_CLOEXEC) || pipe2(stopPipe, O_CLOEXEC)) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    close(portPipe[0]);
    close(stopPipe[1]);
    switch (kind) {
      case ServerKind::kQueueSocket:
        runQueueSocketServer(portPipe[1], stopPipe[0]);
        break;
      case ServerKind::kEpollLoop:
        runEpollLoop(portPipe[1], stopPipe[0]);
        break;
      case ServerKind::kDispatchFloor:
        runDispatchFloor(portPipe[1], stopPipe[0]);
        break;
    }
  }
  close(portPipe[1]);
  close(stopPipe[0]);
  ServerProcess server{pid, stopPipe[1], 0};
  if (read(portPipe[0], &server.port, sizeof(server.port)) !=
      sizeof(server.port)) {
    server.port = 0;
  }
  close(portPipe[0]);
  return server;
}

void stopServer(ServerProcess& server) {
  close(server.stopFd);
  int status;
  waitpid(server.pid, &status, 0);
}

// A field of /proc/PID/status in bytes ("VmRSS", "VmHWM").
long statusBytes(pid_t pid, const char* field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  const std::string prefix = std::string(field) + ":";
  while (std::getline(status, line)) {
    if (line.compare(0, prefix.size(), prefix) == 0) {
      return std::atol(line.c_str() + prefix.size()) * 1024;
    }
  }
  return 0;
}

// --- The load generator (this process).

struct Client {
  int fd = -1;
  size_t received = 0;   // bytes of the echo awaited
  bool waiting = false;  // a line is out and its echo not yet back
};

int connectClient(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address))) {
    close(fd);
    return -1;
  }
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  return fd;
}

const std::string& line() {
  static const std::string kLine = std::string(kLineLength - 1, 'q') + "\n";
  return kLine;
}

// Runs the closed loop until the deadline (or, with rounds > 0, until every
// client made that many round trips); returns the round trips completed.
uint64_t runLoad(std::vector<Client>& clients, Clock::time_point deadline,
                 int rounds) {
  const int epoll = epoll_create1(EPOLL_CLOEXEC);
  for (size_t i = 0; i < clients.size(); ++i) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = i;
    epoll_ctl(epoll, EPOLL_CTL_ADD, clients[i].fd, &event);
    clients[i].received = 0;
    clients[i].waiting = true;
    send(clients[i].fd, line().data(), line().size(), MSG_NOSIGNAL);
  }
  uint64_t done = 0;
  const uint64_t target = rounds > 0 ? clients.size() * rounds : UINT64_MAX;
  std::vector<int> roundsLeft(clients.size(), rounds);
  size_t active = clients.size();
  epoll_event ready[256];
  char buffer[4096];
  while (done < target && active > 0 && Clock::now() < deadline) {
    const int count = epoll_wait(epoll, ready, 256, 100);
    for (int i = 0; i < count; ++i) {
      Client& client = clients[ready[i].data.u64];
      const ssize_t got = recv(client.fd, buffer, sizeof(buffer), 0);
      if (got <= 0) continue;
      client.received += static_cast<size_t>(got);
      if (client.received < kLineLength) continue;
      client.received = 0;
      client.waiting = false;
      ++done;
      int& left = roundsLeft[ready[i].data.u64];
      if (rounds > 0 && --left == 0) {
        --active;
        continue;
      }
      client.waiting = true;
      send(client.fd, line().data(), line().size(), MSG_NOSIGNAL);
    }
  }
  // Drain the echoes still on their way, so the next run starts clean.
  const auto drainUntil = Clock::now() + std::chrono::seconds(2);
  for (Client& client : clients) {
    while (client.waiting && Clock::now() < drainUntil) {
      const ssize_t got = recv(client.fd, buffer, sizeof(buffer), 0);
      if (got > 0) {
        client.received += static_cast<size_t>(got);
        client.waiting = client.received < kLineLength;
      } else if (got == 0 || errno != EAGAIN) {
        break;
      }
    }
    client.received = 0;
  }
  close(epoll);
  return done;
}

void raiseDescriptorLimit() {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  const rlim_t wanted = 2 * kMaxConnections + 256;
  if (limit.rlim_cur < wanted && limit.rlim_max >= wanted) {
    limit.rlim_cur = wanted;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

void BM_LineEcho(benchmark::State& state, ServerKind kind) {
  const int connections = static_cast<int>(state.range(0));
  ServerProcess server = spawnServer(kind);
  if (server.port == 0) {
    state.SkipWithError("server did not start");
    return;
  }
  // Warm the server up (threads, allocator) with one conversation.
  {
    std::vector<Client> one{{connectClient(server.port)}};
    runLoad(one, Clock::now() + std::chrono::seconds(5), 10);
    close(one[0].fd);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const long baseRss = statusBytes(server.pid, "VmRSS");

  std::vector<Client> clients(connections);
  for (Client& client : clients) client.fd = connectClient(server.port);
  runLoad(clients, Clock::now() + std::chrono::seconds(10), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const long idleRss = statusBytes(server.pid, "VmRSS");

  uint64_t requests = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    requests = runLoad(clients, start + kLoadTime, 0);
    state.SetIterationTime(
        std::chrono::duration<double>(Clock::now() - start).count());
  }
  const long peakRss = statusBytes(server.pid, "VmHWM");
  for (Client& client : clients) close(client.fd);
  stopServer(server);

  state.SetItemsProcessed(static_cast<int64_t>(requests));
  state.counters["idle_rss_per_conn"] =
      static_cast<double>(idleRss - baseRss) / connections;
  state.counters["base_rss"] = static_cast<double>(baseRss);
  state.counters["peak_rss"] = static_cast<double>(peakRss);
  state.counters["peak_rss_per_conn"] =
      static_cast<double>(peakRss - baseRss) / connections;
}

}  // namespace

int main(int argc, char** argv) {
  // A client that vanished must not end the load generator.
  signal(SIGPIPE, SIG_IGN);
  raiseDescriptorLimit();
  for (const auto& [name, kind] :
       {std::pair{"queue_socket", ServerKind::kQueueSocket},
        std::pair{"epoll_loop", ServerKind::kEpollLoop},
        std::pair{"dispatch_floor", ServerKind::kDispatchFloor}}) {
    benchmark::RegisterBenchmark((std::string("line_echo/") + name).c_str(),
                                 BM_LineEcho, kind)
        ->Arg(1)
        ->Arg(64)
        ->Arg(kMaxConnections)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
