// KXParseArgument: the sealing tool's parsed command line, one shared
// instance per process.
//
//   bookseal -e SOURCE DESTINATION   seal SOURCE into DESTINATION
//   bookseal -d SOURCE DESTINATION   unseal SOURCE into DESTINATION
//
// The mode is compared without regard to case; arguments after the third
// are ignored; paths are kept as given.
#pragma once

#include <cstdint>
#include <span>
#include <string>

class KXParseArgument {
 public:
  static constexpr int64_t kWorkModeNone = 0;
  static constexpr int64_t kWorkModeEncrypt = 1;
  static constexpr int64_t kWorkModeDecrypt = 2;

  // The process's instance, made on first use (thread-safe).
  static KXParseArgument& shareParseArgument();

  // A command line with no mode and no paths.
  KXParseArgument() = default;

  // Parses the process's argument list, arguments[0] being the program
  // name. Returns 1 when fewer than three arguments follow the name (and
  // changes nothing), -1 when the mode is neither "-e" nor "-d" (mWorkMode
  // is then 0), and 0 once mWorkMode and both paths are set.
  int parseArgument(std::span<const char* const> arguments);

  int64_t mWorkMode = kWorkModeNone;  // 0 none, 1 encrypt, 2 decrypt.
  std::string srcFilePath;
  std::string dstFilePath;
};
