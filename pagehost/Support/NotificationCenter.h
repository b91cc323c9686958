// NotificationCenter: the in-process notification center of pagehost.
// Observers register for a notification name and receive every post of
// that name, from any sender, synchronously on the posting thread.
// Used for "KXLocalPort" (the HTTP server reports its port to the host
// link), "HTTPConnectionDidDie" (a connection tells its server it has
// ended) and the application's will-terminate notice (the log dispatcher
// flushes).
//
// Guarantees:
// - post() calls the observers of the name in the order they were added,
//   on the calling thread, and returns after the last one has returned.
// - Observers may add or remove observers, and post, from inside their
//   handler; the change applies to later posts.
// - Once removeObserver() has returned, the handler never runs again and
//   no call of it is still running on another thread (a handler that
//   removes itself is not waited for). So an object may remove its
//   observer in its destructor and then go away safely.
#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// Posted by the application when it is about to quit in an orderly way.
inline constexpr char kApplicationWillTerminateNotification[] =
    "NSApplicationWillTerminateNotification";

// One posted notice. object is the sender or the value the notice carries
// ("KXLocalPort" carries the port as a uint16_t); it may be empty.
struct Notification {
  std::string name;
  std::any object;
};

class NotificationCenter {
 public:
  using Handler = std::function<void(const Notification&)>;
  using ObserverId = uint64_t;

  // Owns one registration and removes it when destroyed. Move-only.
  class Registration {
   public:
    Registration() = default;
    Registration(Registration&& other) noexcept
        : center_(std::exchange(other.center_, nullptr)),
          id_(std::exchange(other.id_, 0)) {}
    Registration& operator=(Registration&& other) noexcept;
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;
    ~Registration() { reset(); }

    // Removes the observer now (see removeObserver); idempotent.
    void reset();
    ObserverId id() const { return id_; }

   private:
    friend class NotificationCenter;
    Registration(NotificationCenter* center, ObserverId id)
        : center_(center), id_(id) {}
    NotificationCenter* center_ = nullptr;
    ObserverId id_ = 0;
  };

  NotificationCenter();
  ~NotificationCenter();
  NotificationCenter(const NotificationCenter&) = delete;
  NotificationCenter& operator=(const NotificationCenter&) = delete;

  // The process-wide center, made on first use and never destroyed.
  static NotificationCenter& defaultCenter();

  // Registers handler for every post of name, from any sender. The
  // returned id stays valid until removeObserver(id).
  ObserverId addObserver(std::string name, Handler handler);
  // As addObserver, with an owner that removes the observer when it ends.
  Registration observe(std::string name, Handler handler);

  // Unregisters the observer; unknown ids are ignored. Waits until calls of
  // the handler running on other threads have returned.
  // Requires: the caller holds nothing those handlers wait for.
  void removeObserver(ObserverId id);

  // Delivers a notice with name and object to the current observers of
  // name, synchronously on the calling thread.
  void post(const std::string& name, std::any object = {});

 private:
  struct Observer;
  std::mutex mutex_;
  ObserverId nextId_ = 1;
  std::vector<std::shared_ptr<Observer>> observers_;  // In adding order.
};
