// KXPackGroup: one group of a pack, the files packed from one folder in
// one run, in packing order; one filegroup element of the XML index.
// Owns its records.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "resbundle/KXPack/KXPackSingleFile.h"

class KXPackGroup {
 public:
  void setMajorVersion(int32_t v) { majorVersion_ = v; }
  int32_t majorVersion() const { return majorVersion_; }
  void setMinorVersion(int32_t v) { minorVersion_ = v; }
  int32_t minorVersion() const { return minorVersion_; }
  // True for a group read back from an existing pack's index.
  void setIsFromXMLFile(bool v) { fromXMLFile_ = v; }
  bool isFromXMLFile() const { return fromXMLFile_; }

  // Appends and takes ownership; a null record is ignored.
  void addFileRecord(std::unique_ptr<KXPackSingleFile> record);
  void addFileRecordList(
      std::vector<std::unique_ptr<KXPackSingleFile>> records);
  size_t fileRecordCount() const { return records_.size(); }
  // The record at index, owned by the group, or null when out of range.
  const KXPackSingleFile* fileRecordAtIndex(size_t index) const;
  void removeAllSingleFileRecords() { records_.clear(); }

  // A new filegroup element of document (not inserted; the document owns
  // it) with majorVer, minorVer, fileCount and one singleFile child per
  // record. Null for a null group or document.
  static tinyxml2::XMLElement* packGroupElement(
      const KXPackGroup* group, tinyxml2::XMLDocument* document);
  // A new group from a filegroup element: its records are made from the
  // first singleFile child and every later sibling element, whatever its
  // name. fileCount is not trusted. Null for a null element.
  static std::unique_ptr<KXPackGroup> buildPackGroup(
      const tinyxml2::XMLElement* element);

 private:
  int32_t majorVersion_ = 1;
  int32_t minorVersion_ = 1;
  bool fromXMLFile_ = false;
  std::vector<std::unique_ptr<KXPackSingleFile>> records_;
};
