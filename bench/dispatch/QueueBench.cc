// Serial queue throughput and queue-to-queue hop latency, against the
// plainest alternative: threads handing work over through a mutex and a
// condition variable.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "dispatch/SerialQueue.h"
#include "dispatch/Semaphore.h"

namespace {

using dispatch::Semaphore;
using dispatch::SerialQueue;

constexpr int kTasksPerBatch = 10000;
constexpr int kRoundTrips = 1000;

// One thread submits a batch of empty tasks to one serial queue and waits
// for the last one.
void BM_SerialQueueThroughput(benchmark::State& state) {
  auto queue = SerialQueue::create("bench");
  int counter = 0;  // Only on the queue.
  for (auto _ : state) {
    Semaphore done(0);
    for (int i = 0; i < kTasksPerBatch - 1; ++i) {
      queue->async([&counter] { ++counter; });
    }
    queue->async([&] {
      ++counter;
      done.signal();
    });
    done.wait();
  }
  benchmark::DoNotOptimize(counter);
  state.SetItemsProcessed(state.iterations() * kTasksPerBatch);
}
BENCHMARK(BM_SerialQueueThroughput)->UseRealTime();

// The baseline: one consumer thread draining a mutex-guarded deque of
// std::function, woken by a condition variable.
class MutexWorker {
 public:
  MutexWorker() : thread_([this] { run(); }) {}
  ~MutexWorker() {
    post(nullptr);
    thread_.join();
  }
  void post(std::function<void()> task) {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
    cv_.notify_one();
  }

 private:
  void run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      cv_.wait(lock, [this] { return !tasks_.empty(); });
      auto task = std::move(tasks_.front());
      tasks_.pop_front();
      if (!task) return;
      lock.unlock();
      task();
      lock.lock();
    }
  }
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> tasks_;
  std::thread thread_;
};

void BM_MutexWorkerThroughput(benchmark::State& state) {
  MutexWorker worker;
  int counter = 0;
  for (auto _ : state) {
    Semaphore done(0);
    for (int i = 0; i < kTasksPerBatch - 1; ++i) {
      worker.post([&counter] { ++counter; });
    }
    worker.post([&] {
      ++counter;
      done.signal();
    });
    done.wait();
  }
  benchmark::DoNotOptimize(counter);
  state.SetItemsProcessed(state.iterations() * kTasksPerBatch);
}
BENCHMARK(BM_MutexWorkerThroughput)->UseRealTime();

// Ping-pong between two serial queues: a task on A submits to B, which
// submits back to A. Items are hops (two per round trip).
struct PingPong {
  std::shared_ptr<SerialQueue> a = SerialQueue::create("ping");
  std::shared_ptr<SerialQueue> b = SerialQueue::create("pong");
  int left = 0;
  Semaphore* done = nullptr;

  void onA() {
    if (left-- == 0) {
      done->signal();
      return;
    }
    b->async([this] { onB(); });
  }
  void onB() {
    a->async([this] { onA(); });
  }
};

void BM_QueueHop(benchmark::State& state) {
  PingPong game;
  for (auto _ : state) {
    Semaphore done(0);
    game.left = kRoundTrips;
    game.done = &done;
    game.a->async([&game] { game.onA(); });
    done.wait();
  }
  state.SetItemsProcessed(state.iterations() * kRoundTrips * 2);
}
BENCHMARK(BM_QueueHop)->UseRealTime();

// The baseline hop: two threads passing a turn back and forth through one
// mutex and one condition variable each.
class MutexPingPong {
 public:
  MutexPingPong() : pong_([this] { serve(1, 0); }) {}
  ~MutexPingPong() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    cv_[1].notify_one();
    pong_.join();
  }
  // Plays `rounds` round trips from the calling thread.
  void play(int rounds) {
    for (int i = 0; i < rounds; ++i) {
      std::unique_lock lock(mutex_);
      turn_ = 1;
      cv_[1].notify_one();
      cv_[0].wait(lock, [this] { return turn_ == 0; });
    }
  }

 private:
  void serve(int mine, int other) {
    std::unique_lock lock(mutex_);
    for (;;) {
      cv_[mine].wait(lock, [&] { return turn_ == mine || stop_; });
      if (stop_) return;
      turn_ = other;
      cv_[other].notify_one();
    }
  }
  std::mutex mutex_;
  std::condition_variable cv_[2];
  int turn_ = 0;
  bool stop_ = false;
  std::thread pong_;
};

void BM_MutexHop(benchmark::State& state) {
  MutexPingPong game;
  for (auto _ : state) game.play(kRoundTrips);
  state.SetItemsProcessed(state.iterations() * kRoundTrips * 2);
}
BENCHMARK(BM_MutexHop)->UseRealTime();

// sync onto an idle queue: the cost of taking and handing back its turn.
void BM_SyncIdleQueue(benchmark::State& state) {
  auto queue = SerialQueue::create("sync");
  int counter = 0;
  for (auto _ : state) queue->sync([&counter] { ++counter; });
  benchmark::DoNotOptimize(counter);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SyncIdleQueue);

}  // namespace

BENCHMARK_MAIN();
