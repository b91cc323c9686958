#include "pagehost/Support/NotificationCenter.h"

#include <algorithm>
#include <condition_variable>

// One registered handler. calls counts the deliveries now running; a
// removal waits for those made by other threads, which is why each thread
// remembers the observers whose handlers it is inside.
struct NotificationCenter::Observer {
  ObserverId id;
  std::string name;
  Handler handler;

  std::mutex mutex;
  std::condition_variable idle;
  int calls = 0;
  bool removed = false;
};

namespace {

// Observers whose handler the current thread is running, innermost last.
thread_local std::vector<const void*> tlsRunningObservers;

int callsOnThisThread(const void* observer) {
  return static_cast<int>(std::count(tlsRunningObservers.begin(),
                                     tlsRunningObservers.end(), observer));
}

}  // namespace

NotificationCenter::Registration& NotificationCenter::Registration::operator=(
    Registration&& other) noexcept {
  if (this != &other) {
    reset();
    center_ = std::exchange(other.center_, nullptr);
    id_ = std::exchange(other.id_, 0);
  }
  return *this;
}

void NotificationCenter::Registration::reset() {
  if (center_ != nullptr) {
    std::exchange(center_, nullptr)->removeObserver(std::exchange(id_, 0));
  }
}

NotificationCenter::NotificationCenter() = default;
NotificationCenter::~NotificationCenter() = default;

NotificationCenter& NotificationCenter::defaultCenter() {
  // Never destroyed, so observers removed during static destruction still
  // find their center.
  static NotificationCenter* center = new NotificationCenter;
  return *center;
}

NotificationCenter::ObserverId NotificationCenter::addObserver(
    std::string name, Handler handler) {
  auto observer = std::make_shared<Observer>();
  observer->name = std::move(name);
  observer->handler = std::move(handler);
  std::lock_guard<std::mutex> lock(mutex_);
  observer->id = nextId_++;
  observers_.push_back(observer);
  return observer->id;
}

NotificationCenter::Registration NotificationCenter::observe(std::string name,
                                                             Handler handler) {
  return Registration(this, addObserver(std::move(name), std::move(handler)));
}

void NotificationCenter::removeObserver(ObserverId id) {
  std::shared_ptr<Observer> observer;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = std::find_if(observers_.begin(), observers_.end(),
                           [id](const auto& o) { return o->id == id; });
    if (it == observers_.end()) return;
    observer = std::move(*it);
    observers_.erase(it);
  }
  const int own = callsOnThisThread(observer.get());
  Handler released;
  {
    std::unique_lock<std::mutex> lock(observer->mutex);
    observer->removed = true;
    observer->idle.wait(lock, [&] { return observer->calls == own; });
    // Release what the handler holds here rather than on whichever posting
    // thread lets go of the observer last; a handler that removes itself
    // is still running and keeps it.
    if (own == 0) released = std::move(observer->handler);
  }
}

void NotificationCenter::post(const std::string& name, std::any object) {
  std::vector<std::shared_ptr<Observer>> targets;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& observer : observers_) {
      if (observer->name == name) targets.push_back(observer);
    }
  }
  const Notification notification{name, std::move(object)};
  for (const auto& observer : targets) {
    {
      std::lock_guard<std::mutex> lock(observer->mutex);
      if (observer->removed) continue;
      ++observer->calls;
    }
    tlsRunningObservers.push_back(observer.get());
    observer->handler(notification);
    tlsRunningObservers.pop_back();
    std::lock_guard<std::mutex> lock(observer->mutex);
    --observer->calls;
    if (observer->removed) observer->idle.notify_all();
  }
}
