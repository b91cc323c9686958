#include "resbundle/KXPack/KXPackGroup.h"

#include <tinyxml2.h>

void KXPackGroup::addFileRecord(std::unique_ptr<KXPackSingleFile> record) {
  if (record) records_.push_back(std::move(record));
}

void KXPackGroup::addFileRecordList(
    std::vector<std::unique_ptr<KXPackSingleFile>> records) {
  for (auto& record : records) addFileRecord(std::move(record));
}

const KXPackSingleFile* KXPackGroup::fileRecordAtIndex(size_t index) const {
  return index < records_.size() ? records_[index].get() : nullptr;
}

tinyxml2::XMLElement* KXPackGroup::packGroupElement(
    const KXPackGroup* group, tinyxml2::XMLDocument* document) {
  if (group == nullptr || document == nullptr) return nullptr;
  tinyxml2::XMLElement* element = document->NewElement("filegroup");
  element->SetAttribute("majorVer", group->majorVersion_);
  element->SetAttribute("minorVer", group->minorVersion_);
  element->SetAttribute("fileCount",
                        static_cast<unsigned>(group->records_.size()));
  for (const auto& record : group->records_) {
    element->InsertEndChild(
        KXPackSingleFile::singleFileXMLElement(record.get(), document));
  }
  return element;
}

std::unique_ptr<KXPackGroup> KXPackGroup::buildPackGroup(
    const tinyxml2::XMLElement* element) {
  if (element == nullptr) return nullptr;
  auto group = std::make_unique<KXPackGroup>();
  int major = 0, minor = 0;
  unsigned fileCount = 0;
  element->QueryIntAttribute("majorVer", &major);
  element->QueryIntAttribute("minorVer", &minor);
  element->QueryUnsignedAttribute("fileCount", &fileCount);
  group->majorVersion_ = major;
  group->minorVersion_ = minor;
  for (const tinyxml2::XMLElement* child =
           element->FirstChildElement("singleFile");
       child != nullptr; child = child->NextSiblingElement()) {
    group->addFileRecord(KXPackSingleFile::buildPackSingleFile(child));
  }
  return group;
}
