// AbstractLogger: the base of pagehost's loggers. It gives each logger a
// serial queue of its own, labelled with the logger's name, and an
// optional formatter that only that queue touches. Subclasses write
// logMessage (called on that queue by the dispatcher).
//
// Offers loggerQueue and loggerName; not flush, didAddLogger or
// willRemoveLogger.
//
// Instances must be owned by std::shared_ptr: queued work keeps its logger
// alive.
#pragma once

#include <memory>
#include <string>

#include "dispatch/SerialQueue.h"
#include "pagehost/Logging/LogFormatter.h"
#include "pagehost/Logging/Logger.h"

class AbstractLogger : public Logger,
                       public std::enable_shared_from_this<AbstractLogger> {
 public:
  ~AbstractLogger() override;

  bool offers(LoggerOperation operation) const override;
  std::shared_ptr<dispatch::SerialQueue> loggerQueue() override {
    return loggerQueue_;
  }
  std::string loggerName() const override { return loggerName_; }

  // The current formatter. Reads it in order with the records and
  // formatter changes queued before: through the logging queue, then this
  // logger's queue; from either of them (where waiting would wait for
  // itself) it reads without that round trip.
  std::shared_ptr<LogFormatter> logFormatter() override;
  // Replaces the formatter asynchronously, through the logging queue and
  // then this logger's queue, so records queued before keep the old one.
  // A formatter that differs from the current one is told: the old one
  // willRemoveFromLogger, the new one didAddToLogger (when they offer it).
  void setLogFormatter(std::shared_ptr<LogFormatter> formatter) override;

  // Whether the calling code runs on the dispatcher's logging queue.
  bool isOnGlobalLoggingQueue() const;
  // Whether the calling code runs on this logger's queue.
  bool isOnInternalLoggerQueue() const;

 protected:
  // loggerName labels the logger's queue; by custom the class's name.
  explicit AbstractLogger(std::string loggerName);

  // The formatter, for logMessage.
  // Requires: called on this logger's queue.
  const std::shared_ptr<LogFormatter>& currentFormatter() const {
    return formatter_;
  }

 private:
  void replaceFormatter(std::shared_ptr<LogFormatter> formatter);

  const std::string loggerName_;
  const std::shared_ptr<dispatch::SerialQueue> loggerQueue_;
  std::shared_ptr<LogFormatter> formatter_;  // Only on loggerQueue_.
};
