// Logger: the contract of every object the log dispatcher (Log) hands
// records to. The dispatcher calls logMessage on the logger's own serial
// queue, one record at a time, in the order the records were queued.
//
// Optional operations. A logger offers some of didAddLogger,
// willRemoveLogger, flush, loggerQueue and loggerName; the dispatcher asks
// offers() before it uses one, and an operation not offered gets its
// default (stated below). They are plain virtuals with a single offers()
// query rather than std::function slots because callers need the answer
// before they do anything else (a dispatcher only makes a queue for a
// logger that offers none, and only waits on the queues of loggers that
// flush), and C++ cannot ask whether a virtual is overridden. A logger that
// overrides an optional operation must also say so in offers().
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "dispatch/SerialQueue.h"
#include "pagehost/Logging/LogMessage.h"

class LogFormatter;

enum class LoggerOperation {
  kDidAddLogger,
  kWillRemoveLogger,
  kFlush,
  kLoggerQueue,
  kLoggerName,
};

class Logger {
 public:
  virtual ~Logger() = default;

  // Handles one record. Runs on the logger's queue.
  // Requires: does not log synchronously (it would wait for itself).
  virtual void logMessage(const std::shared_ptr<const LogMessage>& record) = 0;
  // The formatter in use, or nullptr.
  virtual std::shared_ptr<LogFormatter> logFormatter() = 0;
  // Replaces the formatter; nullptr removes it.
  virtual void setLogFormatter(std::shared_ptr<LogFormatter> formatter) = 0;

  // True when this logger offers the optional operation. Default: none.
  virtual bool offers(LoggerOperation operation) const { return false; }

  // Called on the logger's queue once it is registered. Default: nothing.
  virtual void didAddLogger() {}
  // Called on the logger's queue when it is unregistered. Default: nothing.
  virtual void willRemoveLogger() {}
  // Writes out anything buffered; runs on the logger's queue.
  // Default: nothing to flush, and the dispatcher does not wait for it.
  virtual void flush() {}
  // The queue on which the logger wants its calls. Default (or nullptr):
  // the dispatcher makes a new serial queue for it.
  virtual std::shared_ptr<dispatch::SerialQueue> loggerQueue() {
    return nullptr;
  }
  // A name for people; labels the queue the dispatcher makes.
  // Default: an unlabelled queue.
  virtual std::string loggerName() const { return {}; }
};
