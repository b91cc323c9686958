#include "pagehost/Logging/Log.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "dispatch/Semaphore.h"
#include "dispatch/TaskGroup.h"
#include "pagehost/Logging/LoggerNode.h"

namespace {

// Queue-specific keys: their addresses are the keys. The logging queue
// carries the first; every queue on which a registered logger runs carries
// the second, so a log call can tell that waiting would wait for itself.
const char kLoggingQueueKey = 0;
const char kLoggerQueueKey = 0;

// How deep the current thread is inside work the dispatcher runs (on the
// logging queue or a logger's queue). It catches what the queue marks
// cannot see: a logger that syncs onto some other queue, whose task then
// runs on this same thread and logs.
thread_local int tlsDispatcherDepth = 0;

class DispatcherWork {
 public:
  DispatcherWork() { ++tlsDispatcherDepth; }
  ~DispatcherWork() { --tlsDispatcherDepth; }
  DispatcherWork(const DispatcherWork&) = delete;
  DispatcherWork& operator=(const DispatcherWork&) = delete;
};

long processorCount() {
  const long count = sysconf(_SC_NPROCESSORS_ONLN);
  return count < 1 ? 1 : count;
}

// Expands format with args into a string. A record's text fits the stack
// buffer most of the time, so the heap is touched once.
std::string expand(const char* format, va_list args)
    __attribute__((format(printf, 1, 0)));
std::string expand(const char* format, va_list args) {
  char buffer[512];
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(buffer, sizeof buffer, format, copy);
  va_end(copy);
  if (length < 0) return {};
  if (static_cast<size_t>(length) < sizeof buffer) {
    return std::string(buffer, static_cast<size_t>(length));
  }
  std::string text(static_cast<size_t>(length), '\0');
  std::vsnprintf(text.data(), text.size() + 1, format, args);
  return text;
}

}  // namespace

struct Log::State {
  std::vector<LoggerNode> loggers;  // Touched only on the logging queue.
  std::shared_ptr<dispatch::SerialQueue> loggingQueue =
      dispatch::SerialQueue::create(kLoggingQueueLabel);
  dispatch::TaskGroup loggingGroup;
  dispatch::Semaphore queueSemaphore{kMaxQueuedMessages};
  const long numProcessors = processorCount();

  State() {
    loggers.reserve(4);
    loggingQueue->setSpecific(&kLoggingQueueKey,
                              const_cast<char*>(&kLoggingQueueKey));
    NotificationCenter::defaultCenter().addObserver(
        kApplicationWillTerminateNotification,
        [](const Notification& n) { Log::applicationWillTerminate(n); });
  }

  // Runs task on node's queue and returns when it has finished. A logger
  // may name the logging queue itself as its queue; then the task runs
  // here, since that queue is already ours.
  void runOn(const LoggerNode& node, const std::function<void()>& task) {
    if (node.loggerQueue->isCurrent()) {
      task();
    } else {
      node.loggerQueue->sync(task);
    }
  }

  // Runs action(node) for every node that wants it, each on its node's
  // queue, and returns when all have finished. With several processors and
  // several loggers the loggers work in parallel; the last one always runs
  // on the calling thread, so a lone logger never needs a free worker
  // thread, and a synchronous log call cannot stall for want of one.
  void runOnLoggerQueues(const std::function<bool(const LoggerNode&)>& wants,
                         const std::function<void(const LoggerNode&)>& action) {
    std::vector<const LoggerNode*> chosen;
    for (const LoggerNode& node : loggers) {
      if (wants(node)) chosen.push_back(&node);
    }
    if (chosen.empty()) return;
    const bool parallel = numProcessors > 1 && chosen.size() > 1;
    const size_t inlineFrom = parallel ? chosen.size() - 1 : 0;
    for (size_t i = 0; i < inlineFrom; ++i) {
      const LoggerNode& node = *chosen[i];
      if (node.loggerQueue->isCurrent()) {
        action(node);
      } else {
        loggingGroup.async(node.loggerQueue, [&action, &node] {
          DispatcherWork work;
          action(node);
        });
      }
    }
    for (size_t i = inlineFrom; i < chosen.size(); ++i) {
      const LoggerNode& node = *chosen[i];
      runOn(node, [&action, &node] { action(node); });
    }
    if (parallel) loggingGroup.wait();
  }

  // Marks or unmarks queue as a logger's queue. Several nodes may share a
  // queue (a logger added twice), so it stays marked while one is left.
  void markLoggerQueue(dispatch::SerialQueue& queue) {
    queue.setSpecific(&kLoggerQueueKey, const_cast<char*>(&kLoggerQueueKey));
  }
  void unmarkIfUnused(dispatch::SerialQueue& queue) {
    const bool used = std::any_of(loggers.begin(), loggers.end(),
                                  [&queue](const LoggerNode& n) {
                                    return n.loggerQueue.get() == &queue;
                                  });
    if (!used) queue.setSpecific(&kLoggerQueueKey, nullptr);
  }
};

Log::State& Log::state() {
  // Never torn down: loggers and queued records may still be at work while
  // the process ends.
  static State* state = new State;
  return *state;
}

void Log::log(bool asynchronous, int32_t level, int32_t flag, int32_t context,
              const char* file, const char* function, int32_t line,
              std::shared_ptr<const void> tag, const char* format, ...) {
  if (format == nullptr) return;
  va_list args;
  va_start(args, format);
  log(asynchronous, level, flag, context, file, function, line, std::move(tag),
      format, args);
  va_end(args);
}

void Log::log(bool asynchronous, int32_t level, int32_t flag, int32_t context,
              const char* file, const char* function, int32_t line,
              std::shared_ptr<const void> tag, const char* format,
              va_list args) {
  if (format == nullptr) return;
  auto record = std::make_shared<const LogMessage>(
      expand(format, args), level, flag, context, file, function, line,
      std::move(tag), /*options=*/0);
  queueLogMessage(std::move(record), asynchronous);
}

void Log::queueLogMessage(std::shared_ptr<const LogMessage> record,
                          bool asynchronously) {
  State& s = state();
  auto handle = [record = std::move(record)] { lt_log(record); };
  if (isOnLoggingOrLoggerQueue()) {
    // Waiting for room or for the loggers would wait for this very code.
    if (!s.queueSemaphore.waitFor(std::chrono::seconds(0))) return;
    s.loggingQueue->async(std::move(handle));
    return;
  }
  s.queueSemaphore.wait();
  if (asynchronously) {
    s.loggingQueue->async(std::move(handle));
  } else {
    s.loggingQueue->sync(handle);
  }
}

void Log::addLogger(std::shared_ptr<Logger> logger) {
  if (!logger) return;
  state().loggingQueue->async(
      [logger = std::move(logger)] { lt_addLogger(logger); });
}

void Log::removeLogger(const std::shared_ptr<Logger>& logger) {
  if (!logger) return;
  state().loggingQueue->async([logger] { lt_removeLogger(logger); });
}

void Log::removeAllLoggers() {
  state().loggingQueue->async([] { lt_removeAllLoggers(); });
}

void Log::flushLog() {
  State& s = state();
  if (isOnLoggingOrLoggerQueue()) {
    s.loggingQueue->async([] { lt_flush(); });
    return;
  }
  s.loggingQueue->sync([] { lt_flush(); });
}

void Log::applicationWillTerminate(const Notification&) { flushLog(); }

std::shared_ptr<dispatch::SerialQueue> Log::loggingQueue() {
  return state().loggingQueue;
}

const void* Log::loggingQueueSpecificKey() { return &kLoggingQueueKey; }

bool Log::isOnLoggingOrLoggerQueue() {
  return tlsDispatcherDepth > 0 ||
         dispatch::SerialQueue::getSpecific(&kLoggingQueueKey) != nullptr ||
         dispatch::SerialQueue::getSpecific(&kLoggerQueueKey) != nullptr;
}

void Log::lt_addLogger(const std::shared_ptr<Logger>& logger) {
  DispatcherWork work;
  State& s = state();
  std::shared_ptr<dispatch::SerialQueue> queue;
  if (logger->offers(LoggerOperation::kLoggerQueue)) {
    queue = logger->loggerQueue();
  }
  if (!queue) {
    queue = dispatch::SerialQueue::create(
        logger->offers(LoggerOperation::kLoggerName) ? logger->loggerName()
                                                     : std::string());
  }
  s.markLoggerQueue(*queue);
  s.loggers.push_back(LoggerNode::nodeWithLogger(logger, queue));
  if (logger->offers(LoggerOperation::kDidAddLogger)) {
    queue->async([logger] { logger->didAddLogger(); });
  }
}

void Log::lt_removeLogger(const std::shared_ptr<Logger>& logger) {
  DispatcherWork work;
  State& s = state();
  auto it = std::find_if(
      s.loggers.begin(), s.loggers.end(),
      [&logger](const LoggerNode& n) { return n.logger == logger; });
  if (it == s.loggers.end()) return;
  const LoggerNode node = std::move(*it);
  s.loggers.erase(it);
  if (node.logger->offers(LoggerOperation::kWillRemoveLogger)) {
    node.loggerQueue->async(
        [logger = node.logger] { logger->willRemoveLogger(); });
  }
  s.unmarkIfUnused(*node.loggerQueue);
}

void Log::lt_removeAllLoggers() {
  DispatcherWork work;
  State& s = state();
  std::vector<LoggerNode> nodes = std::move(s.loggers);
  s.loggers.clear();
  for (const LoggerNode& node : nodes) {
    if (node.logger->offers(LoggerOperation::kWillRemoveLogger)) {
      node.loggerQueue->async(
          [logger = node.logger] { logger->willRemoveLogger(); });
    }
    s.unmarkIfUnused(*node.loggerQueue);
  }
}

void Log::lt_log(const std::shared_ptr<const LogMessage>& record) {
  DispatcherWork work;
  State& s = state();
  s.runOnLoggerQueues(
      [](const LoggerNode&) { return true; },
      [&record](const LoggerNode& node) { node.logger->logMessage(record); });
  s.queueSemaphore.signal();
}

void Log::lt_flush() {
  DispatcherWork work;
  state().runOnLoggerQueues(
      [](const LoggerNode& node) {
        return node.logger->offers(LoggerOperation::kFlush);
      },
      [](const LoggerNode& node) { node.logger->flush(); });
}
