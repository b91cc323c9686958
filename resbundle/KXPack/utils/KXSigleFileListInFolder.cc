#include "resbundle/KXPack/utils/KXSigleFileListInFolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>

std::atomic<bool> KXSingleFileListInFolder::mIsCanncelled{false};

namespace {

enum class EntryKind { kFolder, kFile, kOther };

// Some file systems do not report entry types in the listing; the entry
// itself is then asked, without following a link.
EntryKind kindOf(DIR* dir, const dirent* entry) {
  switch (entry->d_type) {
    case DT_DIR:
      return EntryKind::kFolder;
    case DT_REG:
      return EntryKind::kFile;
    case DT_UNKNOWN:
      break;
    default:
      return EntryKind::kOther;
  }
  struct stat st;
  if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return EntryKind::kOther;
  }
  if (S_ISDIR(st.st_mode)) return EntryKind::kFolder;
  if (S_ISREG(st.st_mode)) return EntryKind::kFile;
  return EntryKind::kOther;
}

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

}  // namespace

bool KXSingleFileListInFolder::addSingleFile(
    std::unique_ptr<KXSingleFileInFolder> file) {
  if (!file) return false;
  file->setFolderFullPath(folderFullPath_);
  files_.push_back(std::move(file));
  return true;
}

const KXSingleFileInFolder* KXSingleFileListInFolder::singleFileAtIndex(
    size_t index) const {
  return index < files_.size() ? files_[index].get() : nullptr;
}

void KXSingleFileListInFolder::searchFolder(const std::string& folder,
                                            const std::string& sub,
                                            const FilterList& folderFilters,
                                            const FilterList& extFilters,
                                            const FilterList& subPathFilters,
                                            KXSingleFileListInFolder* list) {
  if (folder.empty() || list == nullptr) return;
  std::unique_ptr<DIR, DirCloser> dir(opendir(folder.c_str()));
  if (!dir) return;
  while (!mIsCanncelled.load(std::memory_order_relaxed)) {
    const dirent* entry = readdir(dir.get());
    if (entry == nullptr) break;
    const std::string name = entry->d_name;
    switch (kindOf(dir.get(), entry)) {
      case EntryKind::kFolder: {
        if (name == "." || name == "..") break;
        std::string childFolder =
            folder.back() == '/' ? folder + name : folder + "/" + name;
        std::string childSub =
            sub.empty() || sub.back() == '/' ? sub + name : sub + "/" + name;
        searchFolder(childFolder, childSub, folderFilters, extFilters,
                     subPathFilters, list);
        break;
      }
      case EntryKind::kFile: {
        std::string subPath = sub.empty() ? name : sub + "/" + name;
        if (pathExtIsFiltered(extFilters, subPath) ||
            fileIsFiltered(subPathFilters, subPath)) {
          break;
        }
        auto file = std::make_unique<KXSingleFileInFolder>();
        file->setSubFilePath(subPath);
        list->addSingleFile(std::move(file));
        break;
      }
      case EntryKind::kOther:
        break;
    }
  }
}

bool KXSingleFileListInFolder::pathExtIsFiltered(const FilterList& extensions,
                                                 const std::string& subPath) {
  if (extensions.empty() || subPath.empty()) return false;
  const size_t dot = subPath.rfind('.');
  if (dot == std::string::npos || dot + 1 == subPath.size()) return false;
  const std::string extension = subPath.substr(dot + 1);
  return std::find(extensions.begin(), extensions.end(), extension) !=
         extensions.end();
}

bool KXSingleFileListInFolder::fileIsFiltered(const FilterList& subPaths,
                                              const std::string& subPath) {
  if (subPaths.empty() || subPath.empty()) return false;
  return std::find(subPaths.begin(), subPaths.end(), subPath) != subPaths.end();
}
