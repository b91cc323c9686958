// TTYLogger: the console logger of pagehost. Writes every record the log
// dispatcher hands it as one line on standard error:
//
//   2024-03-05 14:07:09:042 pagehost[4711:1a2b] the message
//
// local date and time with milliseconds (truncated), the program's name,
// the process id, the id of the thread that logged in lower-case
// hexadecimal, then the message and a newline (none is added when the
// message ends with one). Each line goes out in one gathered write, so
// lines of this process never interleave on standard error. A record that
// a formatter has rewritten is written as the formatter's text alone, plus
// the line end. Writing is best effort: a failure drops the line.
//
// There is one instance per process; its queue is "pagehost.log.tty".
// Colours are not supported: lines never carry escape sequences.
#pragma once

#include <ctime>
#include <memory>
#include <string>

#include "pagehost/Logging/AbstractLogger.h"

class TTYLogger final : public AbstractLogger {
 public:
  static constexpr char kLoggerName[] = "pagehost.log.tty";

  // The one instance, made on first use and never destroyed.
  static std::shared_ptr<TTYLogger> sharedInstance();

  // Writes record's line. Called by the dispatcher on loggerQueue().
  void logMessage(const std::shared_ptr<const LogMessage>& record) override;

  // Makes the logger write to fd instead of standard error and returns the
  // descriptor it wrote to before. The program never calls this; tests use
  // it to read the lines back. The logger does not own fd.
  // Requires: fd stays open until it is replaced; not called on the
  // logging queue or the logger's queue.
  int redirectOutputForTesting(int fd);

 private:
  TTYLogger();

  // Fills tm with the local date of seconds, re-reading the time zone at
  // most once a minute so that a change of the system's zone shows up.
  void localTime(std::time_t seconds, std::tm* tm);

  std::string app_;                // The program's name, UTF-8.
  std::string pid_;                // The process id in decimal.
  int outputFd_;                   // Only on the logger's queue.
  std::time_t lastZoneCheck_ = 0;  // Only on the logger's queue.
};
