// Log: the process-wide log dispatcher of pagehost. Any thread hands it a
// log call; Log turns it into a LogMessage on the calling thread and passes
// the record, on its serial logging queue "pagehost.log", to every
// registered logger, each on the logger's own serial queue.
//
// Levels and flags: a flag names the kind of one message (1 error,
// 2 warning), a level is a bit mask of flags. Log carries level, flag and
// context to the loggers without filtering on them: a caller logs only what
// its own level allows and checks that before it calls.
//
// Guarantees:
// - Every logger sees the records one at a time, all loggers in the same
//   order: the order in which the calls reached the logging queue. Calls
//   made by one thread reach it in the order they were made.
// - At most kMaxQueuedMessages records are queued or being handled at any
//   time; a call beyond that waits until the oldest has been handled by
//   every logger.
// - A synchronous call returns after every logger has handled the record.
// - Code that runs on the logging queue or on a registered logger's queue
//   never waits on the dispatcher, since that would wait for itself: there
//   a synchronous call is made asynchronous, a call that finds the backlog
//   full is dropped, and flushLog() does not wait.
// - The dispatcher is made on first use, registers for the application's
//   will-terminate notice (on which it flushes), and is never torn down.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <memory>

#include "dispatch/SerialQueue.h"
#include "pagehost/Logging/LogMessage.h"
#include "pagehost/Logging/Logger.h"
#include "pagehost/Support/NotificationCenter.h"

class Log {
 public:
  static constexpr long kMaxQueuedMessages = 1000;
  static constexpr char kLoggingQueueLabel[] = "pagehost.log";

  Log() = delete;

  // Expands format with the arguments (printf conversions; describe an
  // object by passing its description text to "%s", which keeps the
  // compiler's format checking), makes a record with options 0 on the
  // calling thread and queues it (queueLogMessage). A null format does
  // nothing. file and function are referred to, not copied.
  // Requires: file and function live as long as the program (__FILE__,
  // __func__).
  static void log(bool asynchronous, int32_t level, int32_t flag,
                  int32_t context, const char* file, const char* function,
                  int32_t line, std::shared_ptr<const void> tag,
                  const char* format, ...)
      __attribute__((format(printf, 9, 10)));
  // The same with the arguments as a prepared argument list.
  static void log(bool asynchronous, int32_t level, int32_t flag,
                  int32_t context, const char* file, const char* function,
                  int32_t line, std::shared_ptr<const void> tag,
                  const char* format, va_list args)
      __attribute__((format(printf, 9, 0)));

  // Waits, without time limit, for room in the backlog, then hands record
  // to the logging queue; when not asynchronously, returns after every
  // logger has handled it.
  static void queueLogMessage(std::shared_ptr<const LogMessage> record,
                              bool asynchronously);

  // Registers logger (nullptr is ignored). Asynchronous; a record queued
  // later by the same thread is handled by it. Adding one logger twice
  // makes it handle every record twice.
  static void addLogger(std::shared_ptr<Logger> logger);
  // Unregisters the first registration of this very logger, if any.
  // Asynchronous.
  static void removeLogger(const std::shared_ptr<Logger>& logger);
  // Unregisters every logger. Asynchronous.
  static void removeAllLoggers();

  // Returns after every record queued before it has been handled and every
  // logger that flushes has flushed.
  static void flushLog();

  // Runs flushLog(); the observer of the will-terminate notice.
  static void applicationWillTerminate(const Notification& notification);

  // The logging queue, for loggers.
  static std::shared_ptr<dispatch::SerialQueue> loggingQueue();
  // The queue-specific key that marks the logging queue.
  static const void* loggingQueueSpecificKey();
  // True when the calling code runs on the logging queue or on the queue of
  // a registered logger, where it must not wait on the dispatcher.
  static bool isOnLoggingOrLoggerQueue();

 private:
  struct State;
  static State& state();

  static void lt_addLogger(const std::shared_ptr<Logger>& logger);
  static void lt_removeLogger(const std::shared_ptr<Logger>& logger);
  static void lt_removeAllLoggers();
  static void lt_log(const std::shared_ptr<const LogMessage>& record);
  static void lt_flush();
};
