// LoggerNode: one logger registered with the log dispatcher and the queue
// on which the dispatcher calls it. Made and kept only on the logging
// queue.
#pragma once

#include <memory>
#include <utility>

#include "dispatch/SerialQueue.h"
#include "pagehost/Logging/Logger.h"

struct LoggerNode {
  std::shared_ptr<Logger> logger;
  std::shared_ptr<dispatch::SerialQueue> loggerQueue;

  static LoggerNode nodeWithLogger(
      std::shared_ptr<Logger> logger,
      std::shared_ptr<dispatch::SerialQueue> loggerQueue) {
    return LoggerNode{std::move(logger), std::move(loggerQueue)};
  }
};
