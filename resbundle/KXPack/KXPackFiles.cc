#include "resbundle/KXPack/KXPackFiles.h"

#include <fcntl.h>
#include <tinyxml2.h>

#include <cstring>

#include "base/RetryOnEintr.h"
#include "resbundle/KXPack/PackFormat.h"
#include "resbundle/KXPack/store/mycrc32.h"
#include "resbundle/KXPack/utils/KXUtility.h"

namespace pf = packformat;

std::atomic<bool> KXPackFiles::mIsCanncelled{false};

void KXPackFiles::addPackGroup(std::unique_ptr<KXPackGroup> group) {
  if (group) groups_.push_back(std::move(group));
}

KXPackGroup* KXPackFiles::packGroupAtIndex(size_t index) const {
  return index < groups_.size() ? groups_[index].get() : nullptr;
}

void KXPackFiles::setIsCanncelled(bool flag) {
  mIsCanncelled.store(flag);
  KXSingleFileListInFolder::seIsCanncelled(flag);
}

KXPackFiles::HeaderBlock KXPackFiles::packHeader(const KXPackFiles* pack) {
  if (pack == nullptr) return nullptr;
  HeaderBlock block(new unsigned char[pf::kHeaderSize]());
  unsigned char* b = block.get();
  for (const auto& signature : pf::kSignatures) {
    std::memcpy(b + signature.offset, signature.text.data(),
                signature.text.size());
  }
  pf::storeLE32(b + pf::kOffHeaderSize, pf::kHeaderSize);
  pf::storeLE32(b + pf::kOffMajorVersion, pack->majorVersion_);
  pf::storeLE32(b + pf::kOffMinorVersion, pack->minorVersion_);
  pf::storeLE32(b + pf::kOffGroupCount,
                static_cast<uint32_t>(pack->groups_.size()));
  pf::storeLE64(b + pf::kOffXMLOffset, pack->xmlOffset_);
  pf::storeLE64(b + pf::kOffXMLLength, pack->xmlLength_);
  pf::storeLE64(b + pf::kOffXMLCompressLength, pack->xmlCompressLength_);
  pf::storeLE32(b + pf::kOffXMLCrc32, pack->xmlCrc32_);
  pf::storeLE32(b + pf::kOffXMLCompressCrc32, pack->xmlCompressCrc32_);
  pf::storeLE32(b + pf::kOffXMLIsCompressed, pack->xmlCompressed_ ? 1 : 0);
  pf::storeLE32(b + pf::kOffChecksum, myCRC32(0, b, pf::kChecksummedLength));
  return block;
}

bool KXPackFiles::isValidFilesSignature(const unsigned char* block) {
  if (block == nullptr) return false;
  for (const auto& signature : pf::kSignatures) {
    if (std::memcmp(block + signature.offset, signature.text.data(),
                    signature.text.size()) != 0) {
      return false;
    }
  }
  return pf::loadLE32(block + pf::kOffChecksum) ==
         myCRC32(0, block, pf::kChecksummedLength);
}

std::unique_ptr<KXPackFiles> KXPackFiles::buildPackHeader(
    const unsigned char* block) {
  if (!isValidFilesSignature(block)) return nullptr;
  auto pack = std::make_unique<KXPackFiles>();
  pack->majorVersion_ = pf::loadLE32(block + pf::kOffMajorVersion);
  pack->minorVersion_ = pf::loadLE32(block + pf::kOffMinorVersion);
  pack->xmlOffset_ = pf::loadLE64(block + pf::kOffXMLOffset);
  pack->xmlLength_ = pf::loadLE64(block + pf::kOffXMLLength);
  pack->xmlCompressLength_ = pf::loadLE64(block + pf::kOffXMLCompressLength);
  pack->xmlCrc32_ = pf::loadLE32(block + pf::kOffXMLCrc32);
  pack->xmlCompressCrc32_ = pf::loadLE32(block + pf::kOffXMLCompressCrc32);
  pack->xmlCompressed_ = pf::loadLE32(block + pf::kOffXMLIsCompressed) != 0;
  return pack;
}

std::string KXPackFiles::startPack_outXMLConfigureFile(
    const KXPackFiles* pack) {
  if (pack == nullptr) return "";
  // An index that would not read back as written is never made: a merge
  // keeps the old records, and one odd sub-path must not make the whole
  // product unreadable.
  for (const auto& group : pack->groups_) {
    for (size_t i = 0; i < group->fileRecordCount(); ++i) {
      if (!KXPackSingleFile::canStoreSubPath(
              group->fileRecordAtIndex(i)->subFilePath())) {
        return "";
      }
    }
  }
  tinyxml2::XMLDocument document(true, tinyxml2::PRESERVE_WHITESPACE);
  document.InsertFirstChild(document.NewDeclaration());
  tinyxml2::XMLElement* root = document.NewElement("fileGroupList");
  document.InsertEndChild(root);
  for (const auto& group : pack->groups_) {
    if (isCanncelled()) break;
    root->InsertEndChild(KXPackGroup::packGroupElement(group.get(), &document));
  }
  if (isCanncelled()) return "";

  std::string path = KXUtility::tempFileFullPath();
  if (path.empty()) return "";
  KXUtility::deleteFile(path);
  base::UniqueFd fd(base::retryOnEintr([&] {
    return open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  }));
  if (!fd.valid()) return "";
  std::FILE* file = fdopen(fd.release(), "wb");
  if (file == nullptr) {
    KXUtility::deleteFile(path);
    return "";
  }
  const bool saved = document.SaveFile(file, false) == tinyxml2::XML_SUCCESS &&
                     std::ferror(file) == 0;
  const bool closed = std::fclose(file) == 0;
  if (!saved || !closed) {
    KXUtility::deleteFile(path);
    return "";
  }
  return path;
}

bool KXPackFiles::buildPackHeaderDetail(std::FILE* stream, KXPackFiles* pack) {
  if (stream == nullptr || pack == nullptr) return false;
  tinyxml2::XMLDocument document(true, tinyxml2::PRESERVE_WHITESPACE);
  if (document.LoadFile(stream) != tinyxml2::XML_SUCCESS) return false;
  const tinyxml2::XMLElement* root =
      document.FirstChildElement("fileGroupList");
  if (root == nullptr) return false;
  for (const tinyxml2::XMLElement* element =
           root->FirstChildElement("filegroup");
       element != nullptr && !isCanncelled();
       element = element->NextSiblingElement("filegroup")) {
    std::unique_ptr<KXPackGroup> group = KXPackGroup::buildPackGroup(element);
    group->setIsFromXMLFile(true);
    pack->addPackGroup(std::move(group));
  }
  return !isCanncelled();
}

KXPackFiles::ScanLists KXPackFiles::searchVecSingleFileListInFolder(
    const std::vector<std::string>& folders) {
  ScanLists lists;
  for (const std::string& folder : folders) {
    if (isCanncelled()) break;
    if (folder.empty()) continue;
    auto list = std::make_unique<KXSingleFileListInFolder>();
    list->setFolderFullPath(folder);
    KXSingleFileListInFolder::searchFolder(folder, "", {}, {}, {}, list.get());
    if (list->singleFileCount() > 0) lists.push_back(std::move(list));
  }
  return lists;
}
