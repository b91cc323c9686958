#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "dispatch/ReadinessSource.h"
#include "dispatch/Semaphore.h"
#include "dispatch/SerialQueue.h"
#include "base/UniqueFd.h"
#include "dispatch/tests/TestSupport.h"

namespace dispatch {
namespace {

using std::chrono::milliseconds;
using testing::kPatience;

class ReadinessSourceTest : public testing::LeakCheckedTest {};

struct FdPair {
  base::UniqueFd a;
  base::UniqueFd b;
};

FdPair makePipe() {
  int fds[2];
  EXPECT_EQ(::pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
  return {base::UniqueFd(fds[0]), base::UniqueFd(fds[1])};
}

FdPair makeSocketPair() {
  int fds[2];
  EXPECT_EQ(
      ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds),
      0);
  return {base::UniqueFd(fds[0]), base::UniqueFd(fds[1])};
}

void writeAll(int fd, const std::string& bytes) {
  ASSERT_EQ(::write(fd, bytes.data(), bytes.size()),
            static_cast<ssize_t>(bytes.size()));
}

size_t readUpTo(int fd, size_t count) {
  std::vector<char> buffer(count);
  ssize_t got = ::read(fd, buffer.data(), count);
  return got > 0 ? static_cast<size_t>(got) : 0;
}

// The cancellation handler owns the read end: it closes it, the way a
// socket closes its descriptor once both sources are gone.
TEST_F(ReadinessSourceTest, ReadEventsCarryBytesWaitingAndZeroAtEnd) {
  auto queue = SerialQueue::create("reader");
  FdPair pipe = makePipe();
  const int readFd = pipe.a.release();
  struct Shared {
    std::vector<size_t> estimates;  // Only on the queue.
    bool cancelRan = false;
  };
  auto shared = std::make_shared<Shared>();
  Semaphore step(0);
  Semaphore cancelled(0);
  auto source = ReadinessSource::create(readFd, SourceKind::kRead, queue);
  ASSERT_NE(source, nullptr);
  source->setEventHandler([&, shared, readFd](size_t estimate) {
    EXPECT_TRUE(queue->isCurrent());
    EXPECT_FALSE(shared->cancelRan);
    shared->estimates.push_back(estimate);
    if (estimate == 0) {
      source->cancel();
    } else {
      EXPECT_EQ(readUpTo(readFd, estimate), estimate);
    }
    step.signal();
  });
  source->setCancelHandler([&, shared, readFd] {
    EXPECT_TRUE(queue->isCurrent());
    shared->cancelRan = true;
    ::close(readFd);
    cancelled.signal();
  });
  source->resume();
  writeAll(pipe.b.get(), "hello");
  ASSERT_TRUE(step.waitFor(kPatience));
  writeAll(pipe.b.get(), "abc");
  ASSERT_TRUE(step.waitFor(kPatience));
  pipe.b.reset();
  ASSERT_TRUE(step.waitFor(kPatience));
  ASSERT_TRUE(cancelled.waitFor(kPatience));
  queue->sync([&] {
    EXPECT_EQ(shared->estimates, (std::vector<size_t>{5, 3, 0}));
  });
  source.reset();
}

// While a handler runs, more data arriving does not queue more events: the
// next handler run sees all of it at once, and nothing more follows.
TEST_F(ReadinessSourceTest, HighLevelGivesOneEventPerHandlerRun) {
  auto queue = SerialQueue::create("reader");
  FdPair pair = makeSocketPair();
  Semaphore inFirst(0);
  Semaphore release(0);
  Semaphore cancelled(0);
  std::vector<size_t> estimates;  // Only on the queue.
  std::atomic<bool> inside{false};
  auto source = ReadinessSource::create(pair.a.get(), SourceKind::kRead, queue);
  ASSERT_NE(source, nullptr);
  source->setEventHandler([&](size_t estimate) {
    EXPECT_FALSE(inside.exchange(true));
    estimates.push_back(estimate);
    if (estimates.size() == 1) {
      inFirst.signal();
      release.wait();  // The byte stays unread meanwhile.
    } else {
      EXPECT_EQ(readUpTo(pair.a.get(), 1000), estimate);
      source->cancel();
    }
    inside = false;
  });
  source->setCancelHandler([&] { cancelled.signal(); });
  source->resume();
  writeAll(pair.b.get(), "x");
  ASSERT_TRUE(inFirst.waitFor(kPatience));
  for (int i = 0; i < 100; ++i) writeAll(pair.b.get(), "y");
  // Give a faulty reactor time to queue surplus events.
  std::this_thread::sleep_for(milliseconds(20));
  release.signal();
  ASSERT_TRUE(cancelled.waitFor(kPatience));
  queue->sync([&] { EXPECT_EQ(estimates, (std::vector<size_t>{1, 101})); });
}

TEST_F(ReadinessSourceTest, SuspendedSourceGetsNothingUntilResumed) {
  auto queue = SerialQueue::create("reader");
  FdPair pair = makeSocketPair();
  std::atomic<bool> mayRun{true};
  std::atomic<int> calls{0};
  Semaphore event(0);
  Semaphore cancelled(0);
  auto source = ReadinessSource::create(pair.a.get(), SourceKind::kRead, queue);
  ASSERT_NE(source, nullptr);
  source->setEventHandler([&](size_t estimate) {
    EXPECT_TRUE(mayRun.load()) << "event delivered while suspended";
    ++calls;
    readUpTo(pair.a.get(), estimate);
    event.signal();
  });
  source->setCancelHandler([&] { cancelled.signal(); });
  source->resume();
  source->resume();  // Does not nest: one suspend() below is enough.
  writeAll(pair.b.get(), "1");
  ASSERT_TRUE(event.waitFor(kPatience));

  // Suspended from a task on the target queue while an event for the data
  // is probably already queued behind that task: it must be dropped.
  Semaphore gate(0);
  queue->async([&] {
    gate.wait();
    mayRun = false;
    source->suspend();
    source->suspend();
  });
  writeAll(pair.b.get(), "22");
  std::this_thread::sleep_for(milliseconds(20));
  gate.signal();
  writeAll(pair.b.get(), "333");
  std::this_thread::sleep_for(milliseconds(20));
  queue->sync([&] { mayRun = true; });
  source->resume();
  ASSERT_TRUE(event.waitFor(kPatience));
  source->cancel();
  ASSERT_TRUE(cancelled.waitFor(kPatience));
  EXPECT_EQ(calls.load(), 2);
}

double processCpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Levels that stay high for sources that do not want them now (a suspended
// source with bytes waiting, a hung-up socket whose handler is still
// running) are reported again and again unless the reactor stops asking:
// the process must stay idle meanwhile instead of spinning in the poller.
TEST_F(ReadinessSourceTest, UnwantedLevelsDoNotKeepThePollerBusy) {
  auto queue = SerialQueue::create("suspended");
  auto busyQueue = SerialQueue::create("busy");
  FdPair data = makeSocketPair();
  FdPair hungUp = makeSocketPair();
  Semaphore cancelled(0);

  auto suspended =
      ReadinessSource::create(data.a.get(), SourceKind::kRead, queue);
  ASSERT_NE(suspended, nullptr);
  suspended->setEventHandler(
      [](size_t) { ADD_FAILURE() << "event delivered while suspended"; });
  suspended->setCancelHandler([&] { cancelled.signal(); });
  // Resumed and suspended again within one task: any event waits behind it
  // and is dropped.
  queue->sync([&] {
    suspended->resume();
    suspended->suspend();
  });
  writeAll(data.b.get(), "waiting");

  Semaphore entered(0);
  Semaphore release(0);
  auto busy =
      ReadinessSource::create(hungUp.a.get(), SourceKind::kRead, busyQueue);
  ASSERT_NE(busy, nullptr);
  busy->setEventHandler([&](size_t) {
    entered.signal();
    EXPECT_TRUE(release.waitFor(kPatience));
  });
  busy->setCancelHandler([&] { cancelled.signal(); });
  busy->resume();
  hungUp.b.reset();
  ASSERT_TRUE(entered.waitFor(kPatience));

  const double before = processCpuSeconds();
  std::this_thread::sleep_for(milliseconds(300));
  const double used = processCpuSeconds() - before;
  // A spinning poller would use the whole 0.3 s of a processor.
  EXPECT_LT(used, 0.15);

  busyQueue->async([&] { busy->cancel(); });
  release.signal();
  suspended->cancel();
  ASSERT_TRUE(cancelled.waitFor(kPatience));
  ASSERT_TRUE(cancelled.waitFor(kPatience));
}

// The worker that polls also runs handlers; one that blocks (here outside
// the library, on a std::future) must not leave the other sources unwatched.
TEST_F(ReadinessSourceTest, HandlerWaitingForAnotherSourcesEvent) {
  auto waiterQueue = SerialQueue::create("waiter");
  auto otherQueue = SerialQueue::create("other");
  FdPair first = makePipe();
  FdPair second = makePipe();
  std::promise<void> secondFired;
  Semaphore firstDone(0);
  Semaphore cancelled(0);
  auto waiter =
      ReadinessSource::create(first.a.get(), SourceKind::kRead, waiterQueue);
  auto other =
      ReadinessSource::create(second.a.get(), SourceKind::kRead, otherQueue);
  ASSERT_NE(waiter, nullptr);
  ASSERT_NE(other, nullptr);
  waiter->setEventHandler([&](size_t estimate) {
    readUpTo(first.a.get(), estimate);
    writeAll(second.b.get(), "y");
    EXPECT_EQ(secondFired.get_future().wait_for(kPatience),
              std::future_status::ready);
    firstDone.signal();
  });
  other->setEventHandler([&](size_t estimate) {
    readUpTo(second.a.get(), estimate);
    secondFired.set_value();
  });
  for (auto* source : {&waiter, &other}) {
    (*source)->setCancelHandler([&] { cancelled.signal(); });
    (*source)->resume();
  }
  writeAll(first.b.get(), "x");
  ASSERT_TRUE(firstDone.waitFor(kPatience));
  waiter->cancel();
  other->cancel();
  ASSERT_TRUE(cancelled.waitFor(kPatience));
  ASSERT_TRUE(cancelled.waitFor(kPatience));
}

// A source gets its event even while workers are never out of jobs.
TEST_F(ReadinessSourceTest, EventsArriveAmidEndlessWork) {
  struct Chain {
    std::shared_ptr<SerialQueue> queue = SerialQueue::create("endless");
    std::atomic<bool> stop{false};
    void step(const std::shared_ptr<Chain>& self) {
      if (!stop.load()) queue->async([self] { self->step(self); });
    }
  };
  std::vector<std::shared_ptr<Chain>> chains;
  for (int i = 0; i < 8; ++i) {
    chains.push_back(std::make_shared<Chain>());
    chains.back()->step(chains.back());
  }
  auto queue = SerialQueue::create("reader");
  FdPair pair = makePipe();
  Semaphore event(0);
  Semaphore cancelled(0);
  auto source = ReadinessSource::create(pair.a.get(), SourceKind::kRead, queue);
  ASSERT_NE(source, nullptr);
  source->setEventHandler([&](size_t estimate) {
    readUpTo(pair.a.get(), estimate);
    event.signal();
  });
  source->setCancelHandler([&] { cancelled.signal(); });
  source->resume();
  for (int i = 0; i < 10; ++i) {
    writeAll(pair.b.get(), "x");
    EXPECT_TRUE(event.waitFor(kPatience));
  }
  source->cancel();
  ASSERT_TRUE(cancelled.waitFor(kPatience));
  for (auto& chain : chains) chain->stop = true;
  for (auto& chain : chains) chain->queue->sync([] {});
}

TEST_F(ReadinessSourceTest, WriteEventsFollowTheBufferDraining) {
  auto queue = SerialQueue::create("writer");
  FdPair pair = makeSocketPair();
  Semaphore full(0);
  Semaphore cancelled(0);
  int events = 0;  // Only on the queue.
  auto source =
      ReadinessSource::create(pair.a.get(), SourceKind::kWrite, queue);
  ASSERT_NE(source, nullptr);
  source->setEventHandler([&](size_t estimate) {
    EXPECT_GT(estimate, 0u);
    if (++events == 2) {
      source->cancel();
      return;
    }
    // Fill the socket until it refuses; the next event must wait for the
    // peer to read.
    std::string chunk(4096, 'z');
    while (::write(pair.a.get(), chunk.data(), chunk.size()) > 0) {
    }
    EXPECT_EQ(errno, EAGAIN);
    full.signal();
  });
  source->setCancelHandler([&] { cancelled.signal(); });
  source->resume();
  ASSERT_TRUE(full.waitFor(kPatience));
  queue->sync([&] { EXPECT_EQ(events, 1); });
  while (readUpTo(pair.b.get(), 65536) > 0) {
  }
  ASSERT_TRUE(cancelled.waitFor(kPatience));
  queue->sync([&] { EXPECT_EQ(events, 2); });
}

// A socket has a read and a write source on one descriptor; each gets its
// own events, and cancelling one leaves the other working.
TEST_F(ReadinessSourceTest, ReadAndWriteSourcesShareADescriptor) {
  auto queue = SerialQueue::create("socket");
  FdPair pair = makeSocketPair();
  const int fd = pair.a.release();
  std::atomic<int> reads{0};
  std::atomic<int> writes{0};
  std::atomic<int> cancels{0};
  Semaphore event(0);
  Semaphore closed(0);
  auto reader = ReadinessSource::create(fd, SourceKind::kRead, queue);
  auto writer = ReadinessSource::create(fd, SourceKind::kWrite, queue);
  ASSERT_NE(reader, nullptr);
  ASSERT_NE(writer, nullptr);
  reader->setEventHandler([&](size_t estimate) {
    ++reads;
    readUpTo(fd, estimate);
    event.signal();
  });
  writer->setEventHandler([&](size_t) {
    ++writes;
    writer->suspend();  // Writable stays writable: ask only once.
    event.signal();
  });
  auto closeWhenBothGone = [&] {
    if (++cancels == 2) {
      ::close(fd);
      closed.signal();
    }
  };
  reader->setCancelHandler(closeWhenBothGone);
  writer->setCancelHandler(closeWhenBothGone);
  reader->resume();
  writer->resume();
  ASSERT_TRUE(event.waitFor(kPatience));  // The write event.
  writeAll(pair.b.get(), "ping");
  ASSERT_TRUE(event.waitFor(kPatience));  // The read event.
  queue->sync([&] {
    EXPECT_EQ(reads.load(), 1);
    EXPECT_EQ(writes.load(), 1);
  });
  writer->cancel();
  writeAll(pair.b.get(), "again");
  ASSERT_TRUE(event.waitFor(kPatience));
  EXPECT_EQ(reads.load(), 2);
  EXPECT_EQ(cancels.load(), 1);
  reader->cancel();
  ASSERT_TRUE(closed.waitFor(kPatience));
  EXPECT_EQ(writes.load(), 1);
}

TEST_F(ReadinessSourceTest, DescriptorsEpollRefusesGiveNoSource) {
  auto queue = SerialQueue::create("q");
  const char* paths[] = {"/dev/null", "/proc/self/status"};
  for (const char* path : paths) {
    SCOPED_TRACE(path);
    base::UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(fd);
    errno = 0;
    EXPECT_EQ(ReadinessSource::create(fd.get(), SourceKind::kRead, queue),
              nullptr);
    EXPECT_NE(errno, 0);
  }
}

// A source cancelled while suspended (or never resumed) still completes its
// cancellation, once.
TEST_F(ReadinessSourceTest, CancelWithoutResumeStillRunsTheCancelHandler) {
  auto queue = SerialQueue::create("q");
  FdPair pair = makeSocketPair();
  std::atomic<int> cancels{0};
  Semaphore cancelled(0);
  for (bool resumeFirst : {false, true}) {
    auto source =
        ReadinessSource::create(pair.a.get(), SourceKind::kRead, queue);
    ASSERT_NE(source, nullptr);
    source->setEventHandler([](size_t) { ADD_FAILURE() << "no data sent"; });
    source->setCancelHandler([&] {
      ++cancels;
      cancelled.signal();
    });
    if (resumeFirst) {
      source->resume();
      source->suspend();
    }
    source->cancel();
    source->cancel();
    source->resume();  // After cancel: nothing.
    source.reset();    // The caller may let go right after cancel().
    ASSERT_TRUE(cancelled.waitFor(kPatience));
  }
  queue->sync([] {});
  EXPECT_EQ(cancels.load(), 2);
}

// Closing the descriptor in the cancellation handler and reusing its number
// at once must work: epoll no longer refers to the old one.
TEST_F(ReadinessSourceTest, DescriptorNumberReusedAfterCancellation) {
  auto queue = SerialQueue::create("q");
  for (int round = 0; round < 50; ++round) {
    FdPair pair = makeSocketPair();
    const int fd = pair.a.release();
    Semaphore event(0);
    Semaphore cancelled(0);
    auto source = ReadinessSource::create(fd, SourceKind::kRead, queue);
    ASSERT_NE(source, nullptr);
    source->setEventHandler([&](size_t estimate) {
      EXPECT_EQ(readUpTo(fd, estimate), 3u);
      source->cancel();
      event.signal();
    });
    source->setCancelHandler([&, fd] {
      ::close(fd);
      cancelled.signal();
    });
    source->resume();
    writeAll(pair.b.get(), "abc");
    ASSERT_TRUE(event.waitFor(kPatience));
    ASSERT_TRUE(cancelled.waitFor(kPatience));
  }
}

base::UniqueFd listenOnLoopback(uint16_t port, sockaddr_in* bound) {
  base::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  int on = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(fd.get(), 16) != 0) {
    return base::UniqueFd();
  }
  socklen_t len = sizeof *bound;
  ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(bound), &len);
  return fd;
}

base::UniqueFd connectTo(const sockaddr_in& addr) {
  base::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  EXPECT_EQ(::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr),
                      sizeof addr),
            0);
  return fd;
}

// Accepting, then closing the listener from its cancellation handler: a
// task submitted after cancel() on the target queue finds the port free.
TEST_F(ReadinessSourceTest, AcceptSourceThenListenAgainOnTheSamePort) {
  auto queue = SerialQueue::create("listener");
  sockaddr_in addr{};
  base::UniqueFd listener = listenOnLoopback(0, &addr);
  ASSERT_TRUE(listener);
  const int listenFd = listener.release();
  std::vector<base::UniqueFd> accepted;  // Only on the queue.
  Semaphore gotAll(0);
  auto source = ReadinessSource::create(listenFd, SourceKind::kAccept, queue);
  ASSERT_NE(source, nullptr);
  bool listenerClosed = false;
  source->setEventHandler([&](size_t estimate) {
    EXPECT_GT(estimate, 0u);
    for (;;) {
      int fd =
          ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) break;
      accepted.emplace_back(fd);
    }
    if (accepted.size() == 3) gotAll.signal();
  });
  source->setCancelHandler([&] {
    ::close(listenFd);
    listenerClosed = true;
  });
  source->resume();
  std::vector<base::UniqueFd> clients;
  for (int i = 0; i < 3; ++i) clients.push_back(connectTo(addr));
  ASSERT_TRUE(gotAll.waitFor(kPatience));

  Semaphore relistened(0);
  base::UniqueFd second;
  queue->async([&] {
    source->cancel();
    queue->async([&] {
      EXPECT_TRUE(listenerClosed);
      sockaddr_in again{};
      second = listenOnLoopback(ntohs(addr.sin_port), &again);
      EXPECT_TRUE(second) << "port still taken";
      relistened.signal();
    });
  });
  ASSERT_TRUE(relistened.waitFor(kPatience));
  queue->sync([&] { accepted.clear(); });
  source.reset();
}

// Cancellation racing with events, from another thread and from the target
// queue: the cancellation handler runs exactly once, after the last event
// handler, and never overlaps one.
TEST_F(ReadinessSourceTest, CancelRacingWithEvents) {
  auto queue = SerialQueue::create("race");
  for (int round = 0; round < 300; ++round) {
    FdPair pair = makeSocketPair();
    const int fd = pair.a.release();
    struct Shared {
      std::atomic<int> events{0};
      std::atomic<int> cancels{0};
      std::atomic<bool> inHandler{false};
    };
    auto shared = std::make_shared<Shared>();
    Semaphore cancelled(0);
    auto source = ReadinessSource::create(fd, SourceKind::kRead, queue);
    ASSERT_NE(source, nullptr);
    std::weak_ptr<ReadinessSource> weak = source;
    source->setEventHandler([shared, fd, weak, round](size_t estimate) {
      EXPECT_EQ(shared->cancels.load(), 0) << "event after cancellation";
      shared->inHandler = true;
      readUpTo(fd, estimate);
      if (round % 3 == 2 && ++shared->events == 3) {
        if (auto self = weak.lock()) self->cancel();
      } else {
        ++shared->events;
      }
      shared->inHandler = false;
    });
    source->setCancelHandler([shared, fd, &cancelled] {
      EXPECT_FALSE(shared->inHandler.load());
      ++shared->cancels;
      ::close(fd);
      cancelled.signal();
    });
    source->resume();
    std::atomic<bool> stop{false};
    std::thread writer([&] {
      while (!stop.load()) {
        if (::send(pair.b.get(), "d", 1, MSG_NOSIGNAL) < 0) {
          std::this_thread::yield();
        }
      }
    });
    std::this_thread::sleep_for(std::chrono::microseconds(round * 13 % 700));
    switch (round % 3) {
      case 0:
        source->cancel();
        break;
      case 1:
        queue->async([source] { source->cancel(); });
        break;
      case 2:  // Cancelled by its third event; make sure that happens.
        break;
    }
    ASSERT_TRUE(cancelled.waitFor(kPatience));
    stop = true;
    writer.join();
    source.reset();
    queue->sync([&] { EXPECT_EQ(shared->cancels.load(), 1); });
  }
}

}  // namespace
}  // namespace dispatch
