#include "dispatch/Reactor.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "dispatch/WorkerPool.h"

namespace dispatch {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint64_t kWakeId = 0;
constexpr int kMaxEvents = 64;

// What each kind of source asks epoll for, and which reported bits are an
// event for it. Errors and hang-ups wake every kind: the handler's next
// system call reports them.
struct KindBits {
  uint32_t interest;
  uint32_t matches;
};
constexpr KindBits kKindBits[] = {
    /* kRead */ {EPOLLIN, EPOLLIN | EPOLLERR | EPOLLHUP},
    /* kWrite */ {EPOLLOUT, EPOLLOUT | EPOLLERR | EPOLLHUP},
    /* kAccept */ {EPOLLIN, EPOLLIN | EPOLLERR | EPOLLHUP},
};

const KindBits& bitsFor(SourceKind kind) {
  return kKindBits[static_cast<int>(kind)];
}

// The value a handler receives: bytes waiting for a read source (0 at end
// of stream or on a pending error), a positive estimate otherwise.
size_t estimateFor(int fd, SourceKind kind) {
  if (kind != SourceKind::kRead) return 1;
  int waiting = 0;
  // A descriptor without FIONREAD is readable but cannot say how much: 1
  // makes the handler read and learn the rest from read() itself.
  if (::ioctl(fd, FIONREAD, &waiting) != 0) return 1;
  return waiting > 0 ? static_cast<size_t>(waiting) : 0;
}

[[noreturn]] void fatal(const char* what) {
  std::perror(what);
  std::abort();
}

}  // namespace

Reactor& Reactor::shared() {
  // Never destroyed: its thread runs until the process ends.
  static Reactor* reactor = new Reactor();
  return *reactor;
}

Reactor::Reactor()
    : epoll_(::epoll_create1(EPOLL_CLOEXEC)),
      wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  // Without these the library cannot work at all; there is no caller that
  // could do anything sensible with an error.
  if (!epoll_ || !wakeFd_) fatal("dispatch reactor");
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kWakeId;
  if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, wakeFd_.get(), &ev) != 0) {
    fatal("dispatch reactor: epoll_ctl");
  }
  WorkerPool::shared().startPolling(this);
}

void Reactor::poll(bool block) {
  epoll_event events[kMaxEvents];
  int count = ::epoll_wait(epoll_.get(), events, kMaxEvents,
                           block ? timeoutMs() : 0);
  if (block) {
    std::lock_guard lock(timerMutex_);
    plannedWake_ = Clock::time_point::min();
  }
  if (count < 0) {
    if (errno != EINTR) fatal("dispatch reactor: epoll_wait");
    count = 0;
  }
  handleEvents(events, count, block);
  fireDueTimers();
}

void Reactor::interrupt() {
  uint64_t one = 1;
  // A full counter (EAGAIN) already means "wake up"; nothing else can fail.
  while (::write(wakeFd_.get(), &one, sizeof one) < 0 && errno == EINTR) {
  }
}

// Sources

bool Reactor::attach(const std::shared_ptr<ReadinessSource>& source) {
  std::lock_guard lock(sourceMutex_);
  uint64_t id;
  auto found = idByFd_.find(source->fd_);
  if (found != idByFd_.end()) {
    id = found->second;
  } else {
    id = nextId_++;
    // Registered with no interest yet (one-shot, see registerLocked): the
    // source starts suspended.
    epoll_event ev{};
    ev.events = EPOLLONESHOT;
    ev.data.u64 = id;
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, source->fd_, &ev) != 0) {
      return false;
    }
    idByFd_.emplace(source->fd_, id);
    entries_.emplace(id, Entry{source->fd_, 0, {}});
  }
  entries_.at(id).sources.push_back(source);
  source->state_->entryId = id;
  return true;
}

void Reactor::setEventHandler(ReadinessSource& source,
                              ReadinessSource::EventHandler handler) {
  auto shared =
      std::make_shared<ReadinessSource::EventHandler>(std::move(handler));
  std::lock_guard lock(sourceMutex_);
  if (source.state_->finished) return;
  shared.swap(source.state_->handler);
}

void Reactor::setCancelHandler(ReadinessSource& source, Task handler) {
  auto shared = std::make_shared<Task>(std::move(handler));
  std::lock_guard lock(sourceMutex_);
  if (source.state_->finished) return;
  shared.swap(source.state_->cancelHandler);
}

void Reactor::resume(ReadinessSource& source) {
  std::lock_guard lock(sourceMutex_);
  source.state_->suspended = false;
  rearmLocked(source);
}

void Reactor::suspend(ReadinessSource& source) {
  std::lock_guard lock(sourceMutex_);
  source.state_->suspended = true;
  rearmLocked(source);
}

bool Reactor::isCancelled(const ReadinessSource& source) {
  std::lock_guard lock(sourceMutex_);
  return source.state_->cancelled;
}

void Reactor::cancel(const std::shared_ptr<ReadinessSource>& source) {
  ReadinessSource::State& st = *source->state_;
  {
    std::lock_guard lock(sourceMutex_);
    if (st.cancelled) return;
    st.cancelled = true;
    rearmLocked(*source);
    // A running handler finishes the cancellation itself when it returns,
    // so the cancellation handler still follows it directly.
    if (st.inHandler) return;
    finishLocked(*source);
  }
  // Submitted now, so it runs ahead of anything the caller submits later.
  // An event task already queued finds the source cancelled and does
  // nothing.
  st.target->async([this, source] { runCancellation(source); });
}

void Reactor::rearmLocked(ReadinessSource& source) {
  ReadinessSource::State& st = *source.state_;
  if (st.finished) return;
  const bool want =
      !st.suspended && !st.cancelled && !st.queued && !st.inHandler;
  if (want == st.armed) return;
  st.armed = want;
  // An interest no longer wanted stays registered until it is reported
  // (handleEvents drops it then): a handler usually takes the bytes before
  // the next poll, so most events cost no epoll_ctl at all.
  if (!want) return;
  auto found = entries_.find(st.entryId);
  if (found == entries_.end()) return;
  Entry& entry = found->second;
  const uint32_t bits = bitsFor(source.kind_).interest;
  if ((entry.kernelMask & bits) != bits) {
    registerLocked(found->first, entry, entry.kernelMask | bits);
  }
}

uint32_t Reactor::armedMaskLocked(const Entry& entry) {
  uint32_t mask = 0;
  for (const auto& source : entry.sources) {
    if (source->state_->armed) mask |= bitsFor(source->kind_).interest;
  }
  return mask;
}

void Reactor::registerLocked(uint64_t id, Entry& entry, uint32_t mask) {
  // Level-triggered for the interests given. With none, one-shot: errors
  // and hang-ups, which epoll reports whatever the interest, then come at
  // most once instead of at every poll.
  epoll_event ev{};
  ev.events = mask != 0 ? mask : EPOLLONESHOT;
  ev.data.u64 = id;
  if (::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, entry.fd, &ev) == 0) {
    entry.kernelMask = mask;
  }
}

void Reactor::finishLocked(ReadinessSource& source) {
  ReadinessSource::State& st = *source.state_;
  st.finished = true;
  st.armed = false;
  auto found = entries_.find(st.entryId);
  if (found == entries_.end()) return;
  Entry& entry = found->second;
  // The caller holds its own reference, so this never destroys the source
  // (and never runs its handlers' destructors) under the mutex.
  std::erase_if(entry.sources,
                [&](const auto& s) { return s.get() == &source; });
  // The interest of the source that left lapses at its next report.
  if (!entry.sources.empty()) return;
  // Unregister before the cancellation handler may close the descriptor:
  // epoll must not watch a number that the process could reuse.
  ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, entry.fd, nullptr);
  idByFd_.erase(entry.fd);
  entries_.erase(found);
}

void Reactor::handleEvents(const epoll_event* events, int count,
                           bool block) {
  std::vector<std::shared_ptr<ReadinessSource>> ready;
  {
    std::lock_guard lock(sourceMutex_);
    for (int i = 0; i < count; ++i) {
      const uint64_t id = events[i].data.u64;
      if (id == kWakeId) {
        uint64_t drained;
        while (::read(wakeFd_.get(), &drained, sizeof drained) < 0 &&
               errno == EINTR) {
        }
        continue;
      }
      // An event of a registration removed since epoll_wait returned.
      auto found = entries_.find(id);
      if (found == entries_.end()) continue;
      Entry& entry = found->second;
      const uint32_t reported = events[i].events;
      // Bits that reached an armed source, and interests to keep: those of
      // the sources just handed an event (they usually want the next one).
      uint32_t delivered = 0;
      uint32_t keep = 0;
      for (const auto& source : entry.sources) {
        ReadinessSource::State& st = *source->state_;
        const KindBits& bits = bitsFor(source->kind_);
        if (!st.armed || (reported & bits.matches) == 0) continue;
        st.armed = false;
        st.queued = true;
        delivered |= bits.matches;
        keep |= bits.interest;
        ready.push_back(source);
      }
      // Reported for nobody: a source that is busy, suspended or gone. A
      // level-triggered interest reports it at every poll, so a poll that
      // could block (and would return at once, again and again) registers
      // only what is wanted now. A quick look between jobs leaves it: the
      // busy source's event is among the jobs, and a suspended source is
      // often resumed by one of them, which then costs no epoll_ctl.
      if (block && (reported & ~delivered) != 0) {
        const uint32_t mask = keep | armedMaskLocked(entry);
        if (mask != entry.kernelMask) registerLocked(id, entry, mask);
      }
    }
  }
  for (auto& source : ready) {
    source->state_->target->async([this, source] { deliver(source); });
  }
}

void Reactor::deliver(const std::shared_ptr<ReadinessSource>& source) {
  ReadinessSource::State& st = *source->state_;
  std::shared_ptr<ReadinessSource::EventHandler> handler;
  {
    std::lock_guard lock(sourceMutex_);
    st.queued = false;
    // The source may have been suspended or cancelled since the event was
    // queued: then it gets nothing (resume() re-arms it).
    if (st.cancelled || st.suspended) {
      rearmLocked(*source);
      return;
    }
    st.inHandler = true;
    handler = st.handler;
  }
  if (handler && *handler) (*handler)(estimateFor(source->fd_, source->kind_));
  bool finishNow = false;
  {
    std::lock_guard lock(sourceMutex_);
    st.inHandler = false;
    if (st.cancelled && !st.finished) {
      finishLocked(*source);
      finishNow = true;
    } else {
      rearmLocked(*source);
    }
  }
  // Cancelled during the handler: the cancellation handler runs right here,
  // before any task the handler submitted to this queue.
  if (finishNow) runCancellation(source);
}

void Reactor::runCancellation(const std::shared_ptr<ReadinessSource>& source) {
  std::shared_ptr<Task> cancelHandler;
  std::shared_ptr<ReadinessSource::EventHandler> handler;
  {
    std::lock_guard lock(sourceMutex_);
    cancelHandler = std::move(source->state_->cancelHandler);
    handler = std::move(source->state_->handler);
  }
  if (cancelHandler && *cancelHandler) (*cancelHandler)();
  // Both handlers are released here, on the target queue: they often hold
  // the object that owns the source, and that cycle ends now.
}

// Timers

int Reactor::timeoutMs() {
  std::lock_guard lock(timerMutex_);
  if (heap_.empty()) {
    plannedWake_ = Clock::time_point::max();
    return -1;
  }
  const auto now = Clock::now();
  const auto wait = heap_.front().deadline - now;
  if (wait <= Clock::duration::zero()) {
    plannedWake_ = now;
    return 0;
  }
  // Rounded up: waking early would only spin until the deadline.
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(wait).count();
  if (ms > INT_MAX) {
    plannedWake_ = now + std::chrono::milliseconds(INT_MAX);
    return INT_MAX;
  }
  plannedWake_ = now + std::chrono::milliseconds(ms);
  return static_cast<int>(ms);
}

void Reactor::arm(const std::shared_ptr<Timer>& timer) {
  bool earliest;
  {
    std::lock_guard lock(timerMutex_);
    if (timer->state_->cancelled) return;
    heapPushLocked(timer);
    // A timer due after the poller's planned wake-up is found then, and
    // one armed while nobody blocks in epoll_wait by the next poll. That
    // spares the eventfd write and the extra epoll_wait round that a
    // timeout armed for every request would otherwise cost.
    earliest = timer->state_->deadline < plannedWake_;
    if (earliest) plannedWake_ = timer->state_->deadline;
  }
  if (earliest) interrupt();
}

bool Reactor::isCancelled(const Timer& timer) {
  std::lock_guard lock(timerMutex_);
  return timer.state_->cancelled;
}

void Reactor::cancel(const std::shared_ptr<Timer>& timer) {
  Timer::State& st = *timer->state_;
  std::shared_ptr<Timer> heapRef;
  std::shared_ptr<Task> handler;
  {
    std::lock_guard lock(timerMutex_);
    if (st.cancelled) return;
    st.cancelled = true;
    if (st.heapIndex != Timer::State::kNotInHeap) {
      heapRef = heapRemoveLocked(st.heapIndex);
    }
    handler = std::move(st.handler);
  }
  // heapRef and handler die here, outside the lock. A firing that is
  // running keeps its own reference to the handler.
}

void Reactor::fireDueTimers() {
  std::vector<std::shared_ptr<Timer>> due;
  {
    std::lock_guard lock(timerMutex_);
    const auto now = Clock::now();
    while (!heap_.empty() && heap_.front().deadline <= now) {
      std::shared_ptr<Timer> timer = heap_.front().timer;
      Timer::State& st = *timer->state_;
      if (st.interval > Timer::Duration::zero()) {
        st.deadline += st.interval;
        // Behind by more than a period (a stopped process, a long stall):
        // skip the missed firings rather than fire them in a burst.
        if (st.deadline <= now) st.deadline = now + st.interval;
        heap_.front().deadline = st.deadline;
        heapSiftDownLocked(0);
      } else {
        heapRemoveLocked(0);
      }
      if (!st.firePending) {
        st.firePending = true;
        due.push_back(std::move(timer));
      }
    }
  }
  for (auto& timer : due) {
    timer->state_->target->async([this, timer] { fire(timer); });
  }
}

void Reactor::fire(const std::shared_ptr<Timer>& timer) {
  Timer::State& st = *timer->state_;
  std::shared_ptr<Task> handler;
  {
    std::lock_guard lock(timerMutex_);
    st.firePending = false;
    if (st.cancelled) return;
    handler = st.handler;
  }
  if (handler && *handler) (*handler)();
  if (st.interval > Timer::Duration::zero()) return;
  // A one-shot timer is spent: release what its handler holds, here on the
  // target queue.
  std::shared_ptr<Task> spent;
  std::lock_guard lock(timerMutex_);
  spent = std::move(st.handler);
}

void Reactor::heapPushLocked(std::shared_ptr<Timer> timer) {
  Timer::State* state = timer->state_.get();
  state->heapIndex = heap_.size();
  heap_.push_back(HeapEntry{state->deadline, state, std::move(timer)});
  heapSiftUpLocked(heap_.size() - 1);
}

std::shared_ptr<Timer> Reactor::heapRemoveLocked(size_t index) {
  const size_t last = heap_.size() - 1;
  if (index != last) heapSwapLocked(index, last);
  std::shared_ptr<Timer> removed = std::move(heap_.back().timer);
  heap_.pop_back();
  removed->state_->heapIndex = Timer::State::kNotInHeap;
  if (index < heap_.size()) {
    heapSiftUpLocked(index);
    heapSiftDownLocked(index);
  }
  return removed;
}

void Reactor::heapSiftUpLocked(size_t index) {
  while (index > 0) {
    const size_t parent = (index - 1) / 2;
    if (heap_[parent].deadline <= heap_[index].deadline) {
      return;
    }
    heapSwapLocked(parent, index);
    index = parent;
  }
}

void Reactor::heapSiftDownLocked(size_t index) {
  for (;;) {
    size_t smallest = index;
    for (size_t child : {2 * index + 1, 2 * index + 2}) {
      if (child < heap_.size() &&
          heap_[child].deadline < heap_[smallest].deadline) {
        smallest = child;
      }
    }
    if (smallest == index) return;
    heapSwapLocked(index, smallest);
    index = smallest;
  }
}

void Reactor::heapSwapLocked(size_t a, size_t b) {
  std::swap(heap_[a], heap_[b]);
  heap_[a].state->heapIndex = a;
  heap_[b].state->heapIndex = b;
}

}  // namespace dispatch
