#include "resbundle/KXPack/utils/KXUtility.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/RetryOnEintr.h"

namespace {

bool isSeparator(char c) { return c == '/' || c == '\\'; }

// Fills name with random characters from a 62-letter alphabet.
void randomName(char* name, size_t length) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char bytes[16];
  if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
    // getrandom never fails for 16 bytes once the pool is ready; fall back
    // to something unique per call all the same.
    static unsigned counter = 0;
    const unsigned seed =
        static_cast<unsigned>(getpid()) * 2654435761u ^ ++counter * 40503u;
    for (size_t i = 0; i < sizeof bytes; ++i) bytes[i] = seed >> (i % 4 * 8);
  }
  for (size_t i = 0; i < length; ++i) {
    name[i] = kAlphabet[bytes[i % sizeof bytes] % (sizeof kAlphabet - 1)];
  }
}

}  // namespace

const char* KXUtility::lastPathSeparator(const char* path) {
  if (path == nullptr || *path == '\0') return nullptr;
  for (const char* p = path + std::strlen(path); p != path;) {
    --p;
    if (isSeparator(*p)) return p;
  }
  return nullptr;
}

std::string KXUtility::pathByRemoveLastComponent(const std::string& path) {
  const char* sep = lastPathSeparator(path.c_str());
  if (sep == nullptr) return path;
  return path.substr(0, static_cast<size_t>(sep - path.c_str()));
}

bool KXUtility::createMultiDir(const char* path) {
  if (path == nullptr || *path == '\0') return false;
  const char* sep = lastPathSeparator(path);
  if (sep == nullptr) return false;
  if (folderExist(path)) return true;
  // The parent's outcome is not looked at: the folder's own creation below
  // tells whether the whole chain exists.
  const std::string parent(path, static_cast<size_t>(sep - path));
  if (!parent.empty()) createMultiDir(parent.c_str());
  if (mkdir(path, 0777) == 0) return true;
  // A folder made by someone else in the meantime serves as well.
  return errno == EEXIST && folderExist(path);
}

bool KXUtility::folderExist(const std::string& path) {
  if (path.empty()) return false;
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return false;
  closedir(dir);
  return true;
}

bool KXUtility::fileExist(const std::string& path) {
  if (path.empty()) return false;
  base::UniqueFd fd(base::retryOnEintr(
      [&] { return open(path.c_str(), O_RDONLY | O_CLOEXEC); }));
  return fd.valid();
}

void KXUtility::deleteFile(const std::string& path) {
  if (path.empty()) return;
  std::remove(path.c_str());
}

uint64_t KXUtility::fileSize(const std::string& path) {
  if (path.empty()) return 0;
  base::UniqueFd fd(base::retryOnEintr(
      [&] { return open(path.c_str(), O_RDONLY | O_CLOEXEC); }));
  if (!fd.valid()) return 0;
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  return static_cast<uint64_t>(st.st_size);
}

std::string KXUtility::tempDir() {
  const char* dir = std::getenv("TMPDIR");
  if (dir != nullptr && *dir != '\0') return dir;
  return "/tmp";
}

std::string KXUtility::joinPath(const std::string& folder,
                                const std::string& name) {
  if (folder.empty() || folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

std::string KXUtility::tempFileFullPath() {
  const std::string dir = tempDir();
  if (dir.empty()) return "";
  if (!folderExist(dir) && !createMultiDir(dir.c_str())) return "";
  for (int attempt = 0; attempt < 100; ++attempt) {
    char name[] = "temp_XXXXXX";
    randomName(name + 5, 6);
    std::string path = joinPath(dir, name);
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 && errno == ENOENT) return path;
  }
  return "";
}

base::UniqueFd KXUtility::openAnonymousTempFile() {
  const std::string dir = tempDir();
  base::UniqueFd fd(base::retryOnEintr(
      [&] { return open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600); }));
  if (fd.valid()) return fd;
  // Some file systems have no unnamed files: make a named one and unlink
  // it at once, which has the same effect.
  std::string pattern = joinPath(dir, "temp_XXXXXX");
  fd.reset(mkostemp(pattern.data(), O_CLOEXEC));
  if (fd.valid()) unlink(pattern.c_str());
  return fd;
}
