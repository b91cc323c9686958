#include "dispatch/ReadinessSource.h"

#include <atomic>
#include <cassert>
#include <cerrno>

#include "dispatch/Reactor.h"

namespace dispatch {
namespace {

std::atomic<size_t> liveSources{0};

}  // namespace

std::shared_ptr<ReadinessSource> ReadinessSource::create(
    int fd, SourceKind kind, std::shared_ptr<SerialQueue> target) {
  assert(target != nullptr);
  std::shared_ptr<ReadinessSource> source(
      new ReadinessSource(fd, kind, std::move(target)));
  if (!Reactor::shared().attach(source)) {
    const int saved = errno;
    source.reset();
    errno = saved;
    return nullptr;
  }
  return source;
}

ReadinessSource::ReadinessSource(int fd, SourceKind kind,
                                 std::shared_ptr<SerialQueue> target)
    : fd_(fd), kind_(kind), state_(std::make_unique<State>(std::move(target))) {
  liveSources.fetch_add(1, std::memory_order_relaxed);
}

ReadinessSource::~ReadinessSource() {
  liveSources.fetch_sub(1, std::memory_order_relaxed);
}

size_t ReadinessSource::liveCount() {
  return liveSources.load(std::memory_order_relaxed);
}

void ReadinessSource::setEventHandler(EventHandler handler) {
  Reactor::shared().setEventHandler(*this, std::move(handler));
}

void ReadinessSource::setCancelHandler(Task handler) {
  Reactor::shared().setCancelHandler(*this, std::move(handler));
}

void ReadinessSource::resume() { Reactor::shared().resume(*this); }

void ReadinessSource::suspend() { Reactor::shared().suspend(*this); }

void ReadinessSource::cancel() { Reactor::shared().cancel(shared_from_this()); }

bool ReadinessSource::isCancelled() const {
  return Reactor::shared().isCancelled(*this);
}

}  // namespace dispatch
