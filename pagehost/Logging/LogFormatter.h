// LogFormatter: the contract of an object that turns a record into the
// text a logger writes. Optional operations are modelled as in Logger: a
// single offers() query answers which of them an object implements.
#pragma once

#include <memory>
#include <string>

#include "pagehost/Logging/LogMessage.h"

class Logger;

enum class LogFormatterOperation {
  kDidAddToLogger,
  kWillRemoveFromLogger,
};

class LogFormatter {
 public:
  virtual ~LogFormatter() = default;

  // Returns the text to write for record: nullptr writes nothing;
  // record.sharedLogMsg() itself leaves the record as it is, so the logger
  // writes it in its own line format; any other text is written as it
  // stands. Runs on the logger's queue.
  virtual std::shared_ptr<const std::string> formatLogMessage(
      const LogMessage& record) = 0;

  // True when the optional operation is implemented. Default: none.
  virtual bool offers(LogFormatterOperation operation) const { return false; }

  // Called on the logger's queue when this formatter becomes, or stops
  // being, logger's formatter. Default: nothing.
  virtual void didAddToLogger(Logger& logger) {}
  virtual void willRemoveFromLogger(Logger& logger) {}
};
