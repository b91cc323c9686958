// KXPackSingleFile: one packed file, i.e. one singleFile entry of a pack's
// XML index: where its stored bytes lie (counted from the header block),
// how long they are, their checksums and the file's sub-path.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace tinyxml2 {
class XMLDocument;
class XMLElement;
}  // namespace tinyxml2

class KXPackSingleFile {
 public:
  void setMajorVersion(int32_t v) { majorVersion_ = v; }
  int32_t majorVersion() const { return majorVersion_; }
  void setMinorVersion(int32_t v) { minorVersion_ = v; }
  int32_t minorVersion() const { return minorVersion_; }
  void setIsCompressed(bool v) { compressed_ = v; }
  bool isCompressed() const { return compressed_; }
  void setFileLength(uint64_t v) { fileLength_ = v; }
  uint64_t fileLength() const { return fileLength_; }
  void setCompressedLength(uint64_t v) { compressedLength_ = v; }
  uint64_t compressedLength() const { return compressedLength_; }
  void setFileOffset(uint64_t v) { fileOffset_ = v; }
  uint64_t fileOffset() const { return fileOffset_; }
  void setFileContextCrc32(uint32_t v) { contentCrc32_ = v; }
  uint32_t fileContextCrc32() const { return contentCrc32_; }
  void setFileContextCompressedCrc32(uint32_t v) { storedCrc32_ = v; }
  uint32_t fileContextCompressedCrc32() const { return storedCrc32_; }
  void setSubFilePath(const std::string& v) { subFilePath_ = v; }
  const std::string& subFilePath() const { return subFilePath_; }

  // Whether subPath can go into the index and come back unchanged: free of
  // what a CDATA section cannot carry (its end marker "]]>", and carriage
  // returns, which XML readers turn into line feeds).
  static bool canStoreSubPath(const std::string& subPath);

  // A new singleFile element of document (not inserted anywhere; the
  // document owns it) with the eight attributes in index order and a
  // subFilePath child holding the sub-path as CDATA. Null for a null
  // record or document.
  static tinyxml2::XMLElement* singleFileXMLElement(
      const KXPackSingleFile* record, tinyxml2::XMLDocument* document);
  // A new record from a singleFile element; missing or unreadable
  // attributes read as 0 or false, a missing sub-path as "". Null only for
  // a null element.
  static std::unique_ptr<KXPackSingleFile> buildPackSingleFile(
      const tinyxml2::XMLElement* element);

 private:
  int32_t majorVersion_ = 1;
  int32_t minorVersion_ = 1;
  bool compressed_ = false;
  uint64_t fileLength_ = 0;
  uint64_t compressedLength_ = 0;
  uint64_t fileOffset_ = 0;
  uint32_t contentCrc32_ = 0;
  uint32_t storedCrc32_ = 0;
  std::string subFilePath_;
};
