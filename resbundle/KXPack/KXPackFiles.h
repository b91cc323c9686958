// KXPackFiles: a pack in memory (the values of its header block and its
// groups) and, as static members, every procedure of the pack core: the
// header block codec, the XML index, the folder scan driver, the pack
// writer (KXPackFiles_startpack.cc) and the unpack reader
// (KXPackFiles_startUnpack.cc). The byte layout is in PackFormat.h.
//
// Each job runs entirely on the calling thread and starts no threads. The
// only shared state is the pair of process-wide cancel flags, written from
// any thread through setIsCanncelled and polled at every folder entry,
// file, group, record and piece; a raised flag makes the job return false.
// The core never lowers the flags. One job at a time per process.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "resbundle/KXPack/KXPackGroup.h"
#include "resbundle/KXPack/utils/KXSigleFileListInFolder.h"

class MMapBuf;

class KXPackFiles {
 public:
  using ScanLists = std::vector<std::unique_ptr<KXSingleFileListInFolder>>;
  // A header block as produced by packHeader (kHeaderSize bytes).
  using HeaderBlock = std::unique_ptr<unsigned char[]>;

  void setMajorVersion(uint32_t v) { majorVersion_ = v; }
  uint32_t majorVersion() const { return majorVersion_; }
  void setMinorVersion(uint32_t v) { minorVersion_ = v; }
  uint32_t minorVersion() const { return minorVersion_; }
  void setFileXMLIsCompressed(bool v) { xmlCompressed_ = v; }
  bool filesXMLIsCompressed() const { return xmlCompressed_; }
  void setFilesXMLOffset(uint64_t v) { xmlOffset_ = v; }
  uint64_t filesXMLOffset() const { return xmlOffset_; }
  void setFilesXMLLength(uint64_t v) { xmlLength_ = v; }
  uint64_t filesXMLLength() const { return xmlLength_; }
  void setFilesXMLCompressLength(uint64_t v) { xmlCompressLength_ = v; }
  uint64_t filesXMLCompressLength() const { return xmlCompressLength_; }
  void setFilesXMLCrc32(uint32_t v) { xmlCrc32_ = v; }
  uint32_t filesXMLCrc32() const { return xmlCrc32_; }
  void setFilesXMLCompressCrc32(uint32_t v) { xmlCompressCrc32_ = v; }
  uint32_t filesXMLCompressCrc32() const { return xmlCompressCrc32_; }

  // Appends and takes ownership; null is ignored.
  void addPackGroup(std::unique_ptr<KXPackGroup> group);
  size_t packGroupCount() const { return groups_.size(); }
  // The group at index, owned by the pack, or null when out of range.
  KXPackGroup* packGroupAtIndex(size_t index) const;

  // --- Cancel flags and constants ---
  static std::atomic<bool> mIsCanncelled;
  static bool isCanncelled() {
    return mIsCanncelled.load(std::memory_order_relaxed);
  }
  // Sets both process-wide flags (this class's and the scan's).
  static void setIsCanncelled(bool flag);
  // 65536: the window size of the reader's header search and index.
  static int allocationGranularity() { return 65536; }

  // --- Header block (PackFormat.h) ---
  // A new 460-byte block from the pack's values, checksum last. Null for a
  // null pack.
  static HeaderBlock packHeader(const KXPackFiles* pack);
  // Whether block (460 readable bytes) holds the four signatures and a
  // matching checksum. False for null.
  static bool isValidFilesSignature(const unsigned char* block);
  // A new pack without groups holding the block's versions and index
  // fields, or null when the block is not valid.
  static std::unique_ptr<KXPackFiles> buildPackHeader(
      const unsigned char* block);

  // --- XML index ---
  // Writes the index document of pack to a new temporary file and returns
  // its path (the caller deletes it), or "" when cancelled, when a record's
  // sub-path cannot be stored (KXPackSingleFile::canStoreSubPath), or when
  // the file cannot be written.
  static std::string startPack_outXMLConfigureFile(const KXPackFiles* pack);
  // Parses the whole of stream (positioned at the document) and appends
  // the groups of its fileGroupList root to pack, each marked as read from
  // the index. False on a parse error, a missing root, or a cancel.
  static bool buildPackHeaderDetail(std::FILE* stream, KXPackFiles* pack);

  // --- Folder scan ---
  // One list per folder that holds at least one regular file, in the
  // order of folders; empty paths are skipped. Stops when cancelled.
  static ScanLists searchVecSingleFileListInFolder(
      const std::vector<std::string>& folders);
  static void clearSingleFileListInFolder(ScanLists& lists) { lists.clear(); }

  // --- Pack writer (KXPackFiles_startpack.cc) ---
  // Packs every regular file below the folders into the file at
  // destination (appending to its bytes, or merging into the pack it
  // holds) and replaces it atomically. True when the product is in place
  // and no cancel was raised; on false the destination is unchanged.
  static bool startPack(const std::string& destination,
                        const std::vector<std::string>& folders);
  // Packs each list as a new group of pack, data appended to buffer;
  // offsets are counted from headerPos.
  static bool startPack_packAllFiles(const ScanLists& lists, MMapBuf* buffer,
                                     uint64_t headerPos, KXPackFiles* pack);
  static bool startPack_packFilesInFolder(const KXSingleFileListInFolder* list,
                                          MMapBuf* buffer, uint64_t headerPos,
                                          KXPackGroup* group);
  // Appends the file's raw deflate stream to buffer and reports the
  // checksums of its bytes and of the stored bytes.
  static bool compressFileToMapBuf(const std::string& path, MMapBuf* buffer,
                                   uint32_t* contentCrc, uint32_t* storedCrc);
  // Appends the file's bytes to buffer. False when it cannot be read
  // completely, the buffer cannot grow, or on a cancel.
  static bool writeFileToMapBuf(const std::string& path, MMapBuf* buffer);
  // Stores the index after the data and sets the pack's index fields.
  static bool startPack_packConfigureFile(KXPackFiles* pack, uint64_t headerPos,
                                          MMapBuf* buffer);
  // Writes the pack's header block at headerPos in buffer.
  static bool startPack_setupPackFileHeader(KXPackFiles* pack,
                                            uint64_t headerPos,
                                            MMapBuf* buffer);
  // Replaces destination with the buffer's bytes (mapBufToFile).
  static bool startPack_outputProduct(const std::string& destination,
                                      MMapBuf* buffer);
  // Replaces the file at path with buffer[offset, offset + length):
  // written to a temporary file beside it, flushed to disk and renamed
  // into place, so a failure or cancel leaves the old file as it was. Sets
  // *checksum (when given) to the myCRC32 of the range.
  static bool mapBufToFile(const std::string& path, MMapBuf* buffer,
                           int64_t offset, int64_t length, uint32_t* checksum);

  // --- Unpack reader (KXPackFiles_startUnpack.cc) ---
  // Restores every file of the pack in packPath below folder. Only paths
  // that stay below folder are ever written.
  static bool startUnpack(const std::string& packPath,
                          const std::string& folder);
  // Finds and restores the pack of path. Null when none is found (then
  // *headerPos is untouched) or when the found pack cannot be restored
  // (then *headerPos is set). headerPos may be null.
  static std::unique_ptr<KXPackFiles> searchAndRestorePackFiles(
      const std::string& path, uint64_t* headerPos);
  // The lowest offset of a valid header block in the file.
  static bool searchPackOffset(const std::string& path, uint64_t* headerPos);
  // Reads the header block at headerPos and the index it points at
  // (checked against its checksum, parsed). Null on any failure.
  static std::unique_ptr<KXPackFiles> makeAllPackHeader(const std::string& path,
                                                        uint64_t headerPos);
  static bool outPackAllFiles(const std::string& packPath, uint64_t headerPos,
                              const std::string& folder,
                              const KXPackFiles* pack);
  static bool outPackGroup(const std::string& packPath, uint64_t headerPos,
                           const std::string& folder, const KXPackGroup* group);
  static bool outPackSingleFile(const std::string& packPath, uint64_t headerPos,
                                const std::string& folder,
                                const KXPackSingleFile* record);

 private:
  uint32_t majorVersion_ = 1;
  uint32_t minorVersion_ = 1;
  bool xmlCompressed_ = false;
  uint64_t xmlOffset_ = 0;
  uint64_t xmlLength_ = 0;
  uint64_t xmlCompressLength_ = 0;
  uint32_t xmlCrc32_ = 0;
  uint32_t xmlCompressCrc32_ = 0;
  std::vector<std::unique_ptr<KXPackGroup>> groups_;
};
