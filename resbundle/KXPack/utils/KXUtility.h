// KXUtility: path and file helpers of the pack core. All static and
// stateless; paths are byte strings handed to the system as they are.
// Both "/" and "\\" count as separators where a path is split.
// Nothing here prints; failures show as false, null, 0 or "".
#pragma once

#include <cstdint>
#include <string>

#include "base/UniqueFd.h"

class KXUtility {
 public:
  // The last "/" or "\\" of path, or null when path is null, empty or has
  // none. A trailing separator is found at once.
  static const char* lastPathSeparator(const char* path);
  // Everything before the last separator: "/a/b/c" -> "/a/b", "dir/" ->
  // "dir", "/a" -> "". A path without separator is returned unchanged.
  static std::string pathByRemoveLastComponent(const std::string& path);
  // True when the folder exists afterwards, because it existed or was
  // created with its missing parents (mode 0777 less the umask). False for
  // a null or empty path, a path without separator, or a path naming an
  // existing non-folder. Paths of any length are handled.
  static bool createMultiDir(const char* path);
  // True when path can be opened as a folder listing.
  static bool folderExist(const std::string& path);
  // True when path can be opened for reading.
  static bool fileExist(const std::string& path);
  // Removes the entry at path (a file or an empty folder); the outcome is
  // not reported.
  static void deleteFile(const std::string& path);
  // Length of the file at path, 0 when it cannot be opened for reading.
  static uint64_t fileSize(const std::string& path);
  // The folder for temporary files: $TMPDIR when set and non-empty, else
  // "/tmp".
  static std::string tempDir();
  // A path "<tempDir>/temp_XXXXXX" (six random letters or digits) where
  // nothing exists yet; the folder is created when missing. Nothing is
  // created at the path. "" when no such path can be made.
  static std::string tempFileFullPath();
  // A new read-write temporary file in tempDir() that has no name, so the
  // system removes it when the descriptor closes. Invalid on failure.
  static base::UniqueFd openAnonymousTempFile();
  // Joins folder and name with exactly one "/" unless folder already ends
  // with one or is empty.
  static std::string joinPath(const std::string& folder,
                              const std::string& name);
};
