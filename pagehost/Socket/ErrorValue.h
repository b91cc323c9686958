// ErrorValue: a failure reported as a value: a domain, an integer code, a
// description for people and, for failed system calls, the reason (which
// call failed). Used by QueueSocket (disconnect notices, listening errors)
// and by the HTTP server, which passes the socket's errors on.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Domain of errors made from errno: code is the errno value, description
// is strerror's text for it.
inline constexpr std::string_view kPOSIXErrorDomain = "POSIXErrorDomain";

struct ErrorValue {
  std::string domain;
  int64_t code = 0;
  std::string description;
  std::optional<std::string> failureReason;

  // An error of kPOSIXErrorDomain for errnum, with reason as the failure
  // reason ("Error in bind() function").
  static ErrorValue posix(int errnum, std::string reason);

  // "domain code: description (reason)", for logs and test output.
  std::string toString() const;

  bool operator==(const ErrorValue&) const = default;
};
