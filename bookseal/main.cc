// bookseal: seals a book file into the sealed book format, or unseals one.
//
//   bookseal -e SOURCE DESTINATION
//   bookseal -d SOURCE DESTINATION
//
// Prints nothing; the exit status is the only report (KXWORK.h lists the
// codes; 1 means fewer than three arguments, and -1, seen by the parent as
// 255, also means an unknown mode).
#include <cstdint>
#include <span>
#include <string>
#include <utility>

#include "bookseal/KXParseArgument.h"
#include "bookseal/KXWORK.h"

namespace {

using Job = int (*)(const std::string& src, const std::string& dst);

constexpr std::pair<int64_t, Job> kJobs[] = {
    {KXParseArgument::kWorkModeEncrypt, &KXWORK::encryptFile},
    {KXParseArgument::kWorkModeDecrypt, &KXWORK::decryptFile},
};

int runJob(const KXParseArgument& arguments) {
  for (const auto& [mode, job] : kJobs) {
    if (mode == arguments.mWorkMode) {
      return job(arguments.srcFilePath, arguments.dstFilePath);
    }
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  KXParseArgument& arguments = KXParseArgument::shareParseArgument();
  const int parsed = arguments.parseArgument(
      std::span<const char* const>(argv, static_cast<size_t>(argc)));
  if (parsed != 0) return parsed;
  return runJob(arguments);
}
