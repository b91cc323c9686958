#include "pagehost/Logging/AbstractLogger.h"

#include <cassert>
#include <utility>

#include "pagehost/Logging/Log.h"

namespace {

// Marks every AbstractLogger's queue; the value is the logger itself.
const char kLoggerQueueKey = 0;

}  // namespace

AbstractLogger::AbstractLogger(std::string loggerName)
    : loggerName_(std::move(loggerName)),
      loggerQueue_(dispatch::SerialQueue::create(loggerName_)) {
  loggerQueue_->setSpecific(&kLoggerQueueKey, this);
}

AbstractLogger::~AbstractLogger() {
  loggerQueue_->setSpecific(&kLoggerQueueKey, nullptr);
}

bool AbstractLogger::offers(LoggerOperation operation) const {
  return operation == LoggerOperation::kLoggerQueue ||
         operation == LoggerOperation::kLoggerName;
}

std::shared_ptr<LogFormatter> AbstractLogger::logFormatter() {
  if (isOnInternalLoggerQueue()) return formatter_;
  std::shared_ptr<LogFormatter> result;
  const auto read = [&] { loggerQueue_->sync([&] { result = formatter_; }); };
  // On any logger's queue the logging queue may be waiting for that very
  // queue, so going through it would never return.
  if (Log::isOnLoggingOrLoggerQueue()) {
    read();
  } else {
    Log::loggingQueue()->sync(read);
  }
  return result;
}

void AbstractLogger::setLogFormatter(std::shared_ptr<LogFormatter> formatter) {
  auto self = weak_from_this().lock();
  assert(self && "an AbstractLogger must be owned by a std::shared_ptr");
  if (!self) return;
  Log::loggingQueue()->async([self, formatter = std::move(formatter)] {
    self->loggerQueue_->async(
        [self, formatter] { self->replaceFormatter(formatter); });
  });
}

void AbstractLogger::replaceFormatter(std::shared_ptr<LogFormatter> formatter) {
  if (formatter == formatter_) return;
  if (formatter_ &&
      formatter_->offers(LogFormatterOperation::kWillRemoveFromLogger)) {
    formatter_->willRemoveFromLogger(*this);
  }
  formatter_ = std::move(formatter);
  if (formatter_ &&
      formatter_->offers(LogFormatterOperation::kDidAddToLogger)) {
    formatter_->didAddToLogger(*this);
  }
}

bool AbstractLogger::isOnGlobalLoggingQueue() const {
  return dispatch::SerialQueue::getSpecific(Log::loggingQueueSpecificKey()) !=
         nullptr;
}

bool AbstractLogger::isOnInternalLoggerQueue() const {
  return dispatch::SerialQueue::getSpecific(&kLoggerQueueKey) == this;
}
