// FileError: why a file operation of the sealing tool failed, made once at
// the failing system call with the path in it. The tool prints nothing, so
// these serve tests and debugging only.
#pragma once

#include <cerrno>
#include <cstring>
#include <string>

namespace bookseal {

struct FileError {
  int code = 0;         // errno of the failing call, or 0.
  std::string message;  // "what path: reason".
};

// Fills *error (when not null) from errno after a failed call.
inline void setErrnoError(FileError* error, const std::string& what,
                          const std::string& path) {
  const int code = errno;
  if (error == nullptr) return;
  error->code = code;
  error->message = what + " " + path + ": " + std::strerror(code);
}

// Fills *error (when not null) with a failure that has no errno.
inline void setError(FileError* error, const std::string& message) {
  if (error == nullptr) return;
  error->code = 0;
  error->message = message;
}

}  // namespace bookseal
