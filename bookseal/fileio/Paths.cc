#include "bookseal/fileio/Paths.h"

#include <sys/stat.h>

#include <filesystem>
#include <system_error>

namespace bookseal {

std::string folderOf(const std::string& path) {
  size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return "/";  // "/" or "///".
  const size_t slash = path.rfind('/', end);
  if (slash == std::string::npos) return ".";
  end = path.find_last_not_of('/', slash);
  if (end == std::string::npos) return "/";
  return path.substr(0, end + 1);
}

bool pathExists(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0;
}

bool createFolders(const std::string& folder) {
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  return !error && pathExists(folder);
}

}  // namespace bookseal
