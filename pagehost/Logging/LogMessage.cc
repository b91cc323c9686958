#include "pagehost/Logging/LogMessage.h"

#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <utility>

#include "dispatch/SerialQueue.h"

namespace {

uint32_t currentThreadID() {
  // The kernel's id never changes for a thread, so one system call each.
  thread_local const uint32_t id = static_cast<uint32_t>(gettid());
  return id;
}

std::string currentThreadName() {
  // The name may change at any time, so it is read per record; PR_GET_NAME
  // reads it in one call without opening /proc.
  char name[17] = {};
  if (prctl(PR_GET_NAME, name, 0, 0, 0) != 0) return {};
  return name;
}

}  // namespace

std::unique_ptr<char[]> log_str_copy(const char* str) {
  if (str == nullptr) return nullptr;
  const size_t size = std::strlen(str) + 1;
  auto copy = std::make_unique<char[]>(size);
  std::memcpy(copy.get(), str, size);
  return copy;
}

std::optional<std::string_view> ExtractFileNameWithoutExtension(
    const char* path) {
  if (path == nullptr) return std::nullopt;
  std::string_view name(path);
  if (const size_t slash = name.rfind('/'); slash != std::string_view::npos) {
    name.remove_prefix(slash + 1);
  }
  if (const size_t dot = name.rfind('.'); dot != std::string_view::npos) {
    name = name.substr(0, dot);
  }
  return name;
}

LogMessage::Origin LogMessage::Origin::current() {
  Origin origin;
  origin.timestamp = Clock::now();
  origin.machThreadID = currentThreadID();
  if (const dispatch::SerialQueue* queue = dispatch::SerialQueue::current()) {
    origin.queueLabel = queue->label();
  }
  origin.threadName = currentThreadName();
  return origin;
}

LogMessage::LogMessage(std::string logMsg, int32_t level, int32_t flag,
                       int32_t context, const char* file, const char* function,
                       int32_t line, std::shared_ptr<const void> tag,
                       int32_t options)
    : LogMessage(std::move(logMsg), level, flag, context, file, function, line,
                 std::move(tag), options, Origin::current()) {}

LogMessage::LogMessage(std::string logMsg, int32_t level, int32_t flag,
                       int32_t context, const char* file, const char* function,
                       int32_t line, std::shared_ptr<const void> tag,
                       int32_t options, Origin origin)
    : logLevel_(level),
      logFlag_(flag),
      logContext_(context),
      logMsg_(std::make_shared<const std::string>(std::move(logMsg))),
      timestamp_(origin.timestamp),
      fileCopy_((options & kLogMessageCopyFile) ? log_str_copy(file) : nullptr),
      functionCopy_((options & kLogMessageCopyFunction) ? log_str_copy(function)
                                                        : nullptr),
      file_((options & kLogMessageCopyFile) ? fileCopy_.get() : file),
      function_((options & kLogMessageCopyFunction) ? functionCopy_.get()
                                                    : function),
      lineNumber_(line),
      machThreadID_(origin.machThreadID),
      // The queue may end before the record, so its label is copied.
      queueLabel_(origin.queueLabel ? log_str_copy(origin.queueLabel->c_str())
                                    : nullptr),
      threadName_(std::move(origin.threadName)),
      tag_(std::move(tag)),
      options_(options) {}

std::string LogMessage::threadID() const {
  char text[9];
  std::snprintf(text, sizeof text, "%x", machThreadID_);
  return text;
}

std::optional<std::string_view> LogMessage::fileName() const {
  return ExtractFileNameWithoutExtension(file_);
}

std::optional<std::string_view> LogMessage::methodName() const {
  if (function_ == nullptr) return std::nullopt;
  return std::string_view(function_);
}
