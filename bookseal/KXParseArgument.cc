#include "bookseal/KXParseArgument.h"

#include <string_view>
#include <utility>

namespace {

constexpr std::pair<std::string_view, int64_t> kModes[] = {
    {"-e", KXParseArgument::kWorkModeEncrypt},
    {"-d", KXParseArgument::kWorkModeDecrypt},
};

// ASCII only: the result must not depend on the process's locale.
bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) {
      return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

}  // namespace

KXParseArgument& KXParseArgument::shareParseArgument() {
  static KXParseArgument shared;
  return shared;
}

int KXParseArgument::parseArgument(std::span<const char* const> arguments) {
  if (arguments.size() < 4) return 1;
  mWorkMode = kWorkModeNone;
  for (const auto& [name, mode] : kModes) {
    if (equalsIgnoringCase(arguments[1], name)) {
      mWorkMode = mode;
      break;
    }
  }
  if (mWorkMode == kWorkModeNone) return -1;
  srcFilePath = arguments[2];
  dstFilePath = arguments[3];
  return 0;
}
