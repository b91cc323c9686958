// QueueSocket: listening on an interface and port, and turning each
// accepted connection into a new connected QueueSocket for the delegate.
#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string_view>
#include <vector>

#include "base/RetryOnEintr.h"
#include "pagehost/Socket/QueueSocket.h"

namespace {

constexpr int kListenBacklog = 1024;

// How long accepting rests after the process ran out of descriptors or
// memory; by then a connection may have closed and freed one.
constexpr std::chrono::milliseconds kAcceptRetryDelay{100};

// The addresses an interface text stands for, each with the port set (in
// network byte order). Either may be absent.
struct InterfaceAddresses {
  std::optional<sockaddr_in> v4;
  std::optional<sockaddr_in6> v6;
};

// Reads a leading decimal number the lenient way: leading white space and
// one sign are skipped, digits are read up to the first non-digit, and
// anything else gives 0. Values too large to matter saturate.
long leadingDecimal(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) {
    ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  long value = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]));
       ++i) {
    value = std::min(value * 10 + (text[i] - '0'), 1L << 40);
  }
  return negative ? -value : value;
}

sockaddr_in ipv4Address(in_addr_t hostOrderAddress, uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(hostOrderAddress);
  address.sin_port = htons(port);
  return address;
}

sockaddr_in6 ipv6Address(const in6_addr& host, uint16_t port) {
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = host;
  address.sin6_port = htons(port);
  return address;
}

// Walks the machine's interface addresses in order; the first entry of each
// family whose interface name or numeric address equals name wins.
InterfaceAddresses interfaceAddressesNamed(const std::string& name,
                                           uint16_t port) {
  InterfaceAddresses found;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return found;
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    const sockaddr* address = entry->ifa_addr;
    if (address == nullptr) continue;
    char numeric[INET6_ADDRSTRLEN] = "";
    if (address->sa_family == AF_INET && !found.v4) {
      sockaddr_in v4;
      std::memcpy(&v4, address, sizeof(v4));
      inet_ntop(AF_INET, &v4.sin_addr, numeric, sizeof(numeric));
      if (name == entry->ifa_name || name == numeric) {
        v4.sin_port = htons(port);
        found.v4 = v4;
      }
    } else if (address->sa_family == AF_INET6 && !found.v6) {
      sockaddr_in6 v6;
      std::memcpy(&v6, address, sizeof(v6));
      inet_ntop(AF_INET6, &v6.sin6_addr, numeric, sizeof(numeric));
      if (name == entry->ifa_name || name == numeric) {
        v6.sin6_port = htons(port);
        found.v6 = v6;
      }
    }
  }
  freeifaddrs(list);
  return found;
}

// The interface text is "[interface][:port[:...]]"; the port in the text
// counts only when the port argument is 0.
InterfaceAddresses getInterfaceAddresses(
    const std::optional<std::string>& description, uint16_t port) {
  std::string interface;
  if (description) {
    std::vector<std::string_view> pieces;
    std::string_view rest = *description;
    for (size_t colon; (colon = rest.find(':')) != std::string_view::npos;) {
      pieces.push_back(rest.substr(0, colon));
      rest.remove_prefix(colon + 1);
    }
    pieces.push_back(rest);
    interface = pieces[0];
    if (port == 0 && pieces.size() >= 2) {
      long textPort = leadingDecimal(pieces[1]);
      if (textPort >= 1 && textPort <= 65535) {
        port = static_cast<uint16_t>(textPort);
      }
    }
  }

  if (interface.empty()) {
    return {ipv4Address(INADDR_ANY, port), ipv6Address(in6addr_any, port)};
  }
  if (interface == "localhost" || interface == "loopback") {
    return {ipv4Address(INADDR_LOOPBACK, port),
            ipv6Address(in6addr_loopback, port)};
  }
  return interfaceAddressesNamed(interface, port);
}

// The steps that turn a fresh stream socket into a listening one, each with
// the failure reason reported when it fails.
struct ListenStep {
  const char* failureReason;
  bool (*run)(int fd, const sockaddr* address, socklen_t length);
};

bool makeNonBlocking(int fd, const sockaddr*, socklen_t) {
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool enableAddressReuse(int fd, const sockaddr*, socklen_t) {
  const int on = 1;
  return setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) == 0;
}

// Linux lets an IPv6 any-address socket take IPv4 connections too, and then
// refuses the IPv4 socket's port; the IPv4 socket serves IPv4 on its own.
bool limitToIPv6(int fd, const sockaddr* address, socklen_t) {
  if (address->sa_family != AF_INET6) return true;
  const int on = 1;
  return setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on)) == 0;
}

bool bindTo(int fd, const sockaddr* address, socklen_t length) {
  return bind(fd, address, length) == 0;
}

bool startListening(int fd, const sockaddr*, socklen_t) {
  return listen(fd, kListenBacklog) == 0;
}

constexpr ListenStep kListenSteps[] = {
    {"Error enabling non-blocking IO on socket (fcntl)", makeNonBlocking},
    {"Error enabling address reuse (setsockopt)", enableAddressReuse},
    {"Error limiting the socket to IPv6 (setsockopt)", limitToIPv6},
    {"Error in bind() function", bindTo},
    {"Error in listen() function", startListening},
};

// Returns the listening descriptor, or nullptr with *error set; a
// descriptor that fails a step is closed before returning.
std::shared_ptr<base::UniqueFd> createListeningSocket(const sockaddr* address,
                                                      socklen_t length,
                                                      ErrorValue* error) {
  base::UniqueFd fd(socket(address->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) {
    *error = ErrorValue::posix(errno, "Error in socket() function");
    return nullptr;
  }
  for (const ListenStep& step : kListenSteps) {
    if (!step.run(fd.get(), address, length)) {
      *error = ErrorValue::posix(errno, step.failureReason);
      return nullptr;
    }
  }
  return std::make_shared<base::UniqueFd>(std::move(fd));
}

// Failures of accept() that mean "the process has no room for another
// connection right now", as opposed to "no connection is waiting".
bool isOutOfResources(int errnum) {
  return errnum == EMFILE || errnum == ENFILE || errnum == ENOBUFS ||
         errnum == ENOMEM;
}

}  // namespace

bool QueueSocket::acceptOnPort(uint16_t port, ErrorValue* error) {
  return acceptOnInterface(std::nullopt, port, error);
}

bool QueueSocket::acceptOnInterface(std::optional<std::string> interface,
                                    uint16_t port, ErrorValue* error) {
  bool accepting = false;
  ErrorValue failure;
  runSync([&] { accepting = doAcceptOnInterface(interface, port, &failure); });
  if (!accepting && error != nullptr) *error = std::move(failure);
  return accepting;
}

bool QueueSocket::doAcceptOnInterface(
    const std::optional<std::string>& interface, uint16_t port,
    ErrorValue* error) {
  const bool ipv4Enabled = !(config_ & kIPv4Disabled);
  const bool ipv6Enabled = !(config_ & kIPv6Disabled);
  const struct {
    bool failed;
    const char* text;
  } kConfigChecks[] = {
      {delegate_.expired(),
       "Attempting to accept without a delegate. Set a delegate first."},
      {!delegateQueue_,
       "Attempting to accept without a delegate queue. Set a delegate queue "
       "first."},
      {!ipv4Enabled && !ipv6Enabled,
       "Both IPv4 and IPv6 have been disabled. Must enable at least one "
       "protocol first."},
      {(flags_ & kStarted) != 0,
       "Attempting to accept while connected or accepting connections. "
       "Disconnect first."},
  };
  for (const auto& check : kConfigChecks) {
    if (check.failed) {
      *error = badConfigError(check.text);
      return false;
    }
  }

  readQueue_.clear();
  writeQueue_.clear();

  InterfaceAddresses addresses = getInterfaceAddresses(interface, port);
  const struct {
    bool failed;
    const char* text;
  } kParamChecks[] = {
      {!addresses.v4 && !addresses.v6,
       "Unknown interface. Specify valid interface by name (e.g. \"en1\") or "
       "IP address."},
      {!ipv4Enabled && !addresses.v6,
       "IPv4 has been disabled and specified interface doesn't support "
       "IPv6."},
      {!ipv6Enabled && !addresses.v4,
       "IPv6 has been disabled and specified interface doesn't support "
       "IPv4."},
  };
  for (const auto& check : kParamChecks) {
    if (check.failed) {
      *error = badParamError(check.text);
      return false;
    }
  }

  const bool useIPv4 = ipv4Enabled && addresses.v4;
  const bool useIPv6 = ipv6Enabled && addresses.v6;
  SharedFd fd4;
  SharedFd fd6;
  if (useIPv4) {
    fd4 =
        createListeningSocket(reinterpret_cast<const sockaddr*>(&*addresses.v4),
                              sizeof(sockaddr_in), error);
    if (!fd4) return false;
  }
  if (useIPv6) {
    // Both families listen on one port: the one the system gave IPv4.
    if (useIPv4 && port == 0) {
      addresses.v6->sin6_port = htons(localPortOfFD(fd4->get()));
    }
    fd6 =
        createListeningSocket(reinterpret_cast<const sockaddr*>(&*addresses.v6),
                              sizeof(sockaddr_in6), error);
    if (!fd6) return false;  // fd4, if any, closes on the way out.
  }

  socket4FD_ = fd4;
  socket6FD_ = fd6;
  if (fd4) accept4Source_ = makeAcceptSource(fd4);
  if (fd6) accept6Source_ = makeAcceptSource(fd6);
  if ((fd4 && !accept4Source_) || (fd6 && !accept6Source_)) {
    *error = errnoErrorWithReason("Error watching the socket");
    tearDown();
    return false;
  }
  flags_ |= kStarted;
  return true;
}

std::shared_ptr<dispatch::ReadinessSource> QueueSocket::makeAcceptSource(
    const SharedFd& fd) {
  auto source = dispatch::ReadinessSource::create(
      fd->get(), dispatch::SourceKind::kAccept, socketQueue_);
  if (!source) return nullptr;
  source->setEventHandler(
      whileAlive([listenFD = fd->get()](QueueSocket& self, size_t pending) {
        self.doAcceptLoop(listenFD, pending);
      }));
  // The source's cancellation closes the listening descriptor, once no
  // accept event can follow.
  source->setCancelHandler([owner = fd]() mutable { owner.reset(); });
  source->resume();
  return source;
}

void QueueSocket::doAcceptLoop(int listenFD, size_t pending) {
  if (!(flags_ & kStarted)) return;
  // As many accepts as the event reported pending, at least one; the first
  // failure ends the loop and the next event tries again.
  size_t calls = 0;
  bool accepted;
  do {
    accepted = doAccept(listenFD);
    ++calls;
  } while (accepted && calls < pending);
}

bool QueueSocket::doAccept(int listenFD) {
  sockaddr_storage address{};
  socklen_t length = sizeof(address);
  const int fd = base::retryOnEintr([&] {
    return accept4(listenFD, reinterpret_cast<sockaddr*>(&address), &length,
                   SOCK_NONBLOCK | SOCK_CLOEXEC);
  });
  if (fd < 0) {
    if (isOutOfResources(errno)) pauseAccepting();
    return false;
  }
  // Linux has no per-socket switch against SIGPIPE; every send passes
  // MSG_NOSIGNAL instead.
  SharedFd owner = std::make_shared<base::UniqueFd>(fd);

  // Without a delegate queue or a delegate nobody could take the new socket:
  // the connection closes again as owner goes.
  std::shared_ptr<Delegate> delegate = delegate_.lock();
  if (!delegateQueue_ || !delegate) return true;
  const int family =
      socket4FD_ && listenFD == socket4FD_->get() ? AF_INET : AF_INET6;
  delegateQueue_->async([listener = shared_from_this(),
                         delegate = std::move(delegate),
                         delegateQueue = delegateQueue_, address, family,
                         owner = std::move(owner)] {
    handOverAcceptedSocket(listener, delegate, delegateQueue, address, family,
                           owner);
  });
  return true;
}

void QueueSocket::pauseAccepting() {
  if (acceptRetryTimer_) return;
  for (const auto& source : {accept4Source_, accept6Source_}) {
    if (source) source->suspend();
  }
  acceptRetryTimer_ = dispatch::Timer::oneShot(
      kAcceptRetryDelay, socketQueue_, whileAlive([](QueueSocket& self) {
        if (!self.acceptRetryTimer_) return;
        self.acceptRetryTimer_.reset();
        for (const auto& source : {self.accept4Source_, self.accept6Source_}) {
          if (source) source->resume();
        }
      }));
}

void QueueSocket::handOverAcceptedSocket(
    const std::shared_ptr<QueueSocket>& listener,
    const std::shared_ptr<Delegate>& delegate,
    const std::shared_ptr<dispatch::SerialQueue>& delegateQueue,
    const sockaddr_storage& address, int family, const SharedFd& fd) {
  std::shared_ptr<dispatch::SerialQueue> socketQueue;
  if (delegate->offers(Delegate::kNewSocketQueueForConnectionFromAddress)) {
    socketQueue =
        delegate->newSocketQueueForConnectionFromAddress(address, listener);
  }
  std::shared_ptr<QueueSocket> accepted =
      create(delegate, delegateQueue, std::move(socketQueue));
  // Nobody else knows the new socket yet, so its fields can be set here;
  // the queue hand-off below orders them before its own tasks.
  (family == AF_INET ? accepted->socket4FD_ : accepted->socket6FD_) = fd;
  accepted->flags_ = kStarted | kConnected;
  // The set-up goes first, so that whatever the delegate asks of the new
  // socket runs after it.
  accepted->socketQueue_->async([accepted, rawFD = fd->get()] {
    accepted->setupReadAndWriteSourcesForNewlyConnectedSocket(rawFD);
  });
  if (delegate->offers(Delegate::kSocketDidAcceptNewSocket)) {
    delegate->socketDidAcceptNewSocket(listener, accepted);
  }
}
