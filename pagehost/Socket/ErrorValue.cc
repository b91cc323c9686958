#include "pagehost/Socket/ErrorValue.h"

#include <cstring>
#include <utility>

ErrorValue ErrorValue::posix(int errnum, std::string reason) {
  // strerror_r (GNU form) is safe to call from several threads at once,
  // unlike strerror.
  char text[256];
  const char* description = strerror_r(errnum, text, sizeof(text));
  return ErrorValue{std::string(kPOSIXErrorDomain), errnum, description,
                    std::move(reason)};
}

std::string ErrorValue::toString() const {
  std::string text = domain + " " + std::to_string(code) + ": " + description;
  if (failureReason) text += " (" + *failureReason + ")";
  return text;
}
