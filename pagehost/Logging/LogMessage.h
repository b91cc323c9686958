// LogMessage: one log record of pagehost, made by Log on the thread that
// logs and read by every logger; never changed after it is made, so it is
// shared between queues as std::shared_ptr<const LogMessage>.
//
// Also the two small helpers records use: log_str_copy and
// ExtractFileNameWithoutExtension.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// Bits of LogMessage::options().
inline constexpr int32_t kLogMessageCopyFile = 1;
inline constexpr int32_t kLogMessageCopyFunction = 2;

// Returns a heap copy of the zero-terminated string str, or nullptr when
// str is nullptr.
std::unique_ptr<char[]> log_str_copy(const char* str);

// Returns the file name of path without its extension: the characters
// after the last "/" (all of path when it has none) up to the last "."
// among them (to the end when they hold none). std::nullopt for a null
// path. The view refers to path's own bytes.
// Requires: path outlives the result (callers pass __FILE__).
std::optional<std::string_view> ExtractFileNameWithoutExtension(
    const char* path);

class LogMessage {
 public:
  using Clock = std::chrono::system_clock;

  // Where and when a record was made. current() describes the calling
  // thread at this moment; tests and replays may state their own.
  struct Origin {
    Clock::time_point timestamp;
    uint32_t machThreadID = 0;
    std::optional<std::string> queueLabel;  // None: made on no queue.
    std::string threadName;

    static Origin current();
  };

  // Makes a record of the calling thread at the present moment. file and
  // function are referred to unless options asks for own copies.
  // Requires: file and function (when not copied) outlive the record.
  LogMessage(std::string logMsg, int32_t level, int32_t flag, int32_t context,
             const char* file, const char* function, int32_t line,
             std::shared_ptr<const void> tag, int32_t options);
  // The same with a stated origin.
  LogMessage(std::string logMsg, int32_t level, int32_t flag, int32_t context,
             const char* file, const char* function, int32_t line,
             std::shared_ptr<const void> tag, int32_t options, Origin origin);

  LogMessage(const LogMessage&) = delete;
  LogMessage& operator=(const LogMessage&) = delete;

  int32_t logLevel() const { return logLevel_; }
  int32_t logFlag() const { return logFlag_; }
  int32_t logContext() const { return logContext_; }
  // The formatted message text, UTF-8.
  const std::string& logMsg() const { return *logMsg_; }
  // The same text as a shared object. A formatter returns this very object
  // to say "not reformatted" (see LogFormatter).
  const std::shared_ptr<const std::string>& sharedLogMsg() const {
    return logMsg_;
  }
  Clock::time_point timestamp() const { return timestamp_; }
  const char* file() const { return file_; }          // May be nullptr.
  const char* function() const { return function_; }  // May be nullptr.
  int32_t lineNumber() const { return lineNumber_; }
  uint32_t machThreadID() const { return machThreadID_; }
  // nullptr when the record was made on no queue.
  const char* queueLabel() const { return queueLabel_.get(); }
  const std::string& threadName() const { return threadName_; }
  const std::shared_ptr<const void>& tag() const { return tag_; }
  int32_t options() const { return options_; }

  // machThreadID in lower-case hexadecimal without prefix.
  std::string threadID() const;
  // ExtractFileNameWithoutExtension of file(); refers to file().
  std::optional<std::string_view> fileName() const;
  // function() as text; std::nullopt when there is none.
  std::optional<std::string_view> methodName() const;

 private:
  int32_t logLevel_;
  int32_t logFlag_;
  int32_t logContext_;
  std::shared_ptr<const std::string> logMsg_;
  Clock::time_point timestamp_;
  std::unique_ptr<char[]> fileCopy_;
  std::unique_ptr<char[]> functionCopy_;
  const char* file_;
  const char* function_;
  int32_t lineNumber_;
  uint32_t machThreadID_;
  std::unique_ptr<char[]> queueLabel_;
  std::string threadName_;
  std::shared_ptr<const void> tag_;
  int32_t options_;
};
