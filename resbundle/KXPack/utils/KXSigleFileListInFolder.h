// KXSingleFileListInFolder: the regular files found below one folder, in
// the order the scan met them, and the recursive scan that finds them.
// The scan follows no symbolic links and reports nothing: unreadable
// folders are left out. It stops before the next directory entry once the
// class-wide cancel flag is up (set from any thread).
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "resbundle/KXPack/utils/KXSingleFileInFolder.h"

class KXSingleFileListInFolder {
 public:
  using FilterList = std::vector<std::string>;

  void setFolderFullPath(const std::string& path) { folderFullPath_ = path; }
  const std::string& folderFullPath() const { return folderFullPath_; }

  // Takes ownership of file, appends it and gives it this list's folder
  // path. False (nothing kept) for a null file.
  bool addSingleFile(std::unique_ptr<KXSingleFileInFolder> file);
  size_t singleFileCount() const { return files_.size(); }
  // The file at a 0-based index, or null when out of range. Owned by the
  // list.
  const KXSingleFileInFolder* singleFileAtIndex(size_t index) const;
  void clearAllSingleFile() { files_.clear(); }

  // Adds to list every regular file below folder, depth first in the
  // order the system lists entries. sub is the sub-path of folder so far
  // ("" at the top). A file is left out when pathExtIsFiltered or
  // fileIsFiltered says so; folderFilters is passed down, never consulted.
  static void searchFolder(const std::string& folder, const std::string& sub,
                           const FilterList& folderFilters,
                           const FilterList& extFilters,
                           const FilterList& subPathFilters,
                           KXSingleFileListInFolder* list);
  // True when the text after the last "." of subPath equals an entry.
  static bool pathExtIsFiltered(const FilterList& extensions,
                                const std::string& subPath);
  // True when subPath equals an entry exactly.
  static bool fileIsFiltered(const FilterList& subPaths,
                             const std::string& subPath);
  static void seIsCanncelled(bool flag) { mIsCanncelled.store(flag); }

  static std::atomic<bool> mIsCanncelled;

 private:
  std::string folderFullPath_;
  std::vector<std::unique_ptr<KXSingleFileInFolder>> files_;
};
