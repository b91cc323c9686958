#include "pagehost/Logging/TTYLogger.h"

#include <errno.h>
#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <utility>

namespace {

constexpr std::time_t kZoneCheckInterval = 60;  // Seconds.

// The length snprintf reported, bounded by what fitted into the buffer.
size_t printedLength(int reported, size_t bufferSize) {
  if (reported < 0) return 0;
  return std::min(static_cast<size_t>(reported), bufferSize - 1);
}

std::string programName() {
  char path[4096];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length > 0) {
    const std::string_view exe(path, static_cast<size_t>(length));
    return std::string(exe.substr(exe.rfind('/') + 1));
  }
  return program_invocation_short_name;
}

// Writes the parts in order with as few system calls as possible: one in
// every normal case. A write cut short by a signal or a full non-blocking
// descriptor goes on with the rest, so a line is never left half written
// for the next one to run into; any other failure drops the rest.
void writeParts(int fd, iovec* parts, int count) {
  while (count > 0) {
    const ssize_t written = writev(fd, parts, count);
    if (written < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        pollfd writable{fd, POLLOUT, 0};
        if (poll(&writable, 1, -1) >= 0 || errno == EINTR) continue;
      }
      return;
    }
    size_t left = static_cast<size_t>(written);
    while (count > 0 && left >= parts->iov_len) {
      left -= parts->iov_len;
      ++parts;
      --count;
    }
    if (count > 0) {
      parts->iov_base = static_cast<char*>(parts->iov_base) + left;
      parts->iov_len -= left;
    }
  }
}

}  // namespace

std::shared_ptr<TTYLogger> TTYLogger::sharedInstance() {
  // Kept until the process ends: queued records may still reach it while
  // static objects are being destroyed.
  static auto* instance = new std::shared_ptr<TTYLogger>(new TTYLogger());
  return *instance;
}

TTYLogger::TTYLogger()
    : AbstractLogger(kLoggerName),
      app_(programName()),
      pid_(std::to_string(getpid())),
      outputFd_(STDERR_FILENO) {}

int TTYLogger::redirectOutputForTesting(int fd) {
  assert(!isOnInternalLoggerQueue() && !isOnGlobalLoggingQueue());
  int previous = -1;
  loggerQueue()->sync([&] { previous = std::exchange(outputFd_, fd); });
  return previous;
}

void TTYLogger::localTime(std::time_t seconds, std::tm* tm) {
  if (seconds - lastZoneCheck_ >= kZoneCheckInterval ||
      seconds < lastZoneCheck_) {
    tzset();
    lastZoneCheck_ = seconds;
  }
  localtime_r(&seconds, tm);
}

void TTYLogger::logMessage(const std::shared_ptr<const LogMessage>& record) {
  std::shared_ptr<const std::string> text = record->sharedLogMsg();
  bool formatted = false;
  if (const auto& formatter = currentFormatter()) {
    text = formatter->formatLogMessage(*record);
    formatted = text != record->sharedLogMsg();
  }
  if (!text) return;

  // The parts point into the record's own text and into these buffers, so
  // no line needs a heap allocation.
  char timeText[24];
  char threadText[9];
  iovec parts[10];
  int count = 0;
  const auto add = [&](const void* bytes, size_t length) {
    parts[count++] = iovec{const_cast<void*>(bytes), length};
  };

  if (!formatted) {
    using std::chrono::floor;
    using std::chrono::seconds;
    const auto timestamp = record->timestamp();
    const auto whole = floor<seconds>(timestamp);
    const int millis = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(timestamp - whole)
            .count());
    std::tm tm{};
    localTime(static_cast<std::time_t>(whole.time_since_epoch().count()), &tm);
    const int timeLength = std::snprintf(
        timeText, sizeof timeText, "%04ld-%02ld-%02ld %02ld:%02ld:%02ld:%03d",
        tm.tm_year + 1900L, tm.tm_mon + 1L, long{tm.tm_mday}, long{tm.tm_hour},
        long{tm.tm_min}, long{tm.tm_sec}, millis);
    const int threadLength = std::snprintf(threadText, sizeof threadText, "%x",
                                           record->machThreadID());
    add(timeText, printedLength(timeLength, sizeof timeText));
    add(" ", 1);
    add(app_.data(), app_.size());
    add("[", 1);
    add(pid_.data(), pid_.size());
    add(":", 1);
    add(threadText, printedLength(threadLength, sizeof threadText));
    add("] ", 2);
  }
  add(text->data(), text->size());
  if (text->empty() || text->back() != '\n') add("\n", 1);
  writeParts(outputFd_, parts, count);
}
