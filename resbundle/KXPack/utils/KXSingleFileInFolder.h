// KXSingleFileInFolder: one regular file found by the folder scan: the
// scanned folder's path as given and the file's path relative to it
// (names joined by "/", no leading separator). Its full path, used to read
// it, is folderFullPath() + "/" + subFilePath().
#pragma once

#include <string>

class KXSingleFileInFolder {
 public:
  void setFolderFullPath(const std::string& path) { folderFullPath_ = path; }
  const std::string& folderFullPath() const { return folderFullPath_; }
  void setSubFilePath(const std::string& path) { subFilePath_ = path; }
  const std::string& subFilePath() const { return subFilePath_; }

 private:
  std::string folderFullPath_;
  std::string subFilePath_;
};
